#include "app/ClientMain.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QVBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QTimer>
#include <chrono>

#include "app/CloseRule.h"
#include "app/SettingsDialog.h"
#include "app/TrayIcon.h"
#include "platform/Folders.h"
#include "protocol/Credentials.h"
#include "protocol/Messages.h"
#include "qtui/QtLook.h"
#include "tlm/Version.h"

namespace tlm {

namespace {

constexpr int MaxLogLines = 200;  // before a new line is added; 201 with it
const QColor PanelStart(0xEB, 0xF3, 0xF5);
const QColor PanelInSession(0xE6, 0xF0, 0xE6);
const QColor PanelEnded(0xFB, 0xFA, 0xF5);
const QColor RecentBack(0xF6, 0xF9, 0xFB);
const QColor LogBack(0xF7, 0xF7, 0xF7);
const QColor Grey(0x80, 0x80, 0x80);

QLabel* MakeLabel(QWidget* AParent, int ALeft, int ATop, const QFont& AFont) {
  auto* label = new QLabel(AParent);
  label->setFont(AFont);
  label->move(ALeft, ATop);
  return label;
}

}  // namespace

TMainDialogs TMainDialogs::Standard() {
  TMainDialogs d;
  d.Info = [](QWidget* AParent, const QString& AText) {
    QMessageBox::information(AParent, QStringLiteral("TALMIR Remote"), AText);
  };
  d.Error = [](QWidget* AParent, const QString& AText) {
    QMessageBox::critical(AParent, QStringLiteral("TALMIR Remote"), AText);
  };
  // The open question box, so that CloseQuestion can end it from outside.
  auto open = std::make_shared<QPointer<QMessageBox>>();
  d.Question = [open](QWidget* AParent, const QString& AText) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("TALMIR Remote"), AText, QMessageBox::Yes | QMessageBox::No,
                    AParent);
    *open = &box;
    const int answer = box.exec();
    *open = nullptr;
    return answer == QMessageBox::Yes;
  };
  d.Consent = [open](QWidget* AParent, const QString& AText) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("TALMIR Remote"), AText, QMessageBox::NoButton, AParent);
    QPushButton* allow = box.addButton(QStringLiteral("허용"), QMessageBox::YesRole);
    QPushButton* viewOnly = box.addButton(QStringLiteral("보기만 허용"), QMessageBox::AcceptRole);
    QPushButton* refuse = box.addButton(QStringLiteral("거부"), QMessageBox::NoRole);
    box.setDefaultButton(allow);
    box.setEscapeButton(refuse);
    *open = &box;
    box.exec();
    *open = nullptr;
    QAbstractButton* clicked = box.clickedButton();
    return clicked == allow ? 1 : clicked == viewOnly ? 2 : 0;
  };
  d.CloseQuestion = [open] {
    if (*open) (*open)->done(QMessageBox::No);
  };
  d.Settings = [](QWidget* AParent, TClientSettings& ASettings, bool& AAutostart, const TSettingsOverrides& AEnv) {
    TfrmSettings dialog(ASettings, AAutostart, AEnv, AParent);
    if (dialog.exec() != QDialog::Accepted) return false;
    ASettings = dialog.Settings();
    AAutostart = dialog.Autostart();
    return true;
  };
  d.PartnerPassword = [](QWidget* AParent, QString& APassword, bool& ARemember) {
    QDialog dialog(AParent);
    dialog.setWindowTitle(QStringLiteral("무인 접속 비밀번호"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* prompt = new QLabel(
        QStringLiteral("상대방이 비밀번호를 설정했다면 입력하세요 (없으면 비워두고 확인 → 상대 동의 필요):"), &dialog);
    prompt->setWordWrap(true);
    auto* edit = new QLineEdit(&dialog);
    edit->setEchoMode(QLineEdit::Password);
    auto* remember = new QCheckBox(QStringLiteral("비밀번호 기억 (최근 접속에서 다시 묻지 않음)"), &dialog);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(prompt);
    layout->addWidget(edit);
    layout->addWidget(remember);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted) return false;
    APassword = edit->text();
    ARemember = remember->isChecked() && !APassword.trimmed().isEmpty();
    return true;
  };
  d.Text = [](QWidget* AParent, const QString& ATitle, const QString& APrompt, QString& AText) {
    bool ok = false;
    QString text = QInputDialog::getText(AParent, ATitle, APrompt, QLineEdit::Normal, AText, &ok);
    if (ok) AText = text;
    return ok;
  };
  d.Input = [](QWidget* AParent, const QString& ATitle, const QString& APrompt, QString& AText) {
    bool ok = false;
    // It asks for the partner's password: someone watching the screen must not read it.
    QString text = QInputDialog::getText(AParent, ATitle, APrompt, QLineEdit::Password, AText, &ok);
    if (ok) AText = text;
    return ok;
  };
  return d;
}

TfrmClientMain::TfrmClientMain(TClientApp& ACore, TMainDialogs ADialogs)
    : QWidget(nullptr,
              Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                  Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      FCore(ACore),
      FDialogs(std::move(ADialogs)) {
  BuildControls();
  ApplyCaptions();
  cbQuality->addItems(QualityPresetNames());
  // A stored preset outside the list leaves no selection (index -1).
  const int quality = FCore.Quality();
  cbQuality->setCurrentIndex(quality >= 0 && quality < cbQuality->count() ? quality : -1);
  connect(cbQuality, &QComboBox::activated, this, [this](int AIndex) { FCore.SetQuality(AIndex); });
  chkAutoPw->setChecked(FCore.HasPassword());
  // The password itself is never shown, but that one is set is.
  if (FCore.HasPassword()) edtPassword->setPlaceholderText(QStringLiteral("설정됨 ******"));
  SetTextColor(btnConnect, Qt::white);
  RecentChanged();
  HostIdChanged(FCore.MyID());
  FTrayAvailable = [] { return TTrayIcon::Available(); };
  FTray = new TTrayIcon(this);
  FTray->OnOpen = [this] { BringToFront(); };
  FTray->OnQuit = [] { QCoreApplication::quit(); };
  if (FTrayAvailable()) FTray->Show();
  FCore.AddView(this);
}

TfrmClientMain::~TfrmClientMain() { FCore.RemoveView(this); }

void TfrmClientMain::BuildControls() {
  setWindowTitle(QStringLiteral("TALMIR Remote"));
  setFixedSize(760, 560);
  setFont(UiFont(13));
  SetBackground(this, Qt::white);

  pnlHeader = new QWidget(this);
  pnlHeader->setGeometry(0, 0, 760, 64);
  SetBackground(pnlHeader, BrandColor);
  lblTitle = MakeLabel(pnlHeader, 24, 18, UiFont(21, true));
  lblTitle->setText(QStringLiteral("TALMIR Remote"));
  lblTitle->setToolTip(QStringLiteral("TALMIR Remote ") + QString::fromLatin1(ProgramVersion));
  SetTextColor(lblTitle, Qt::white);
  lblTitle->adjustSize();
  lblHeaderState = MakeLabel(pnlHeader, 560, 24, UiFont(12));
  lblHeaderState->setObjectName(QStringLiteral("lblHeaderState"));
  lblHeaderState->resize(176, 17);
  lblHeaderState->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  SetTextColor(lblHeaderState, Qt::white);
  btnEndSession = new QPushButton(pnlHeader);
  btnEndSession->setObjectName(QStringLiteral("btnEndSession"));
  btnEndSession->setGeometry(424, 17, 120, 30);
  btnEndSession->setFont(UiFont(13, true));
  btnEndSession->setStyleSheet(QStringLiteral("QPushButton { background-color: #C0392B; color: white; border: none; }"
                                              "QPushButton:pressed { background-color: #962D22; }"));
  btnEndSession->hide();
  connect(btnEndSession, &QPushButton::clicked, this, [this] { FCore.EndSessionByUser(); });
  btnSettings = new QPushButton(QStringLiteral("설정"), pnlHeader);
  btnSettings->setObjectName(QStringLiteral("btnSettings"));
  btnSettings->setGeometry(560, 19, 64, 26);
  btnSettings->setStyleSheet(QStringLiteral("QPushButton { background-color: #4E5F85; color: white; border: none; }"
                                            "QPushButton:pressed { background-color: #2C3852; }"));
  btnSettings->setFocusPolicy(Qt::TabFocus);
  connect(btnSettings, &QPushButton::clicked, this, [this] { OpenSettings(); });

  pnlMy = new QWidget(this);
  pnlMy->setGeometry(24, 88, 344, 232);
  SetBackground(pnlMy, PanelStart);
  lblMyCaption = MakeLabel(pnlMy, 20, 16, UiFont(13));
  lblMyID = MakeLabel(pnlMy, 18, 44, MonoFont(32, true));
  lblMyID->setObjectName(QStringLiteral("lblMyID"));
  lblMyID->resize(320, 48);
  SetTextColor(lblMyID, BrandColor);
  lblPwCaption = MakeLabel(pnlMy, 20, 104, UiFont(13));
  edtPassword = new QLineEdit(pnlMy);
  edtPassword->setObjectName(QStringLiteral("edtPassword"));
  edtPassword->setGeometry(20, 126, 200, 25);
  edtPassword->setEchoMode(QLineEdit::Password);
  // A typed password is meant to be used: the box ticks itself, so "설정" stores it.
  connect(edtPassword, &QLineEdit::textEdited, this, [this](const QString& AText) {
    if (!AText.trimmed().isEmpty()) chkAutoPw->setChecked(true);
  });
  btnSetPw = new QPushButton(pnlMy);
  btnSetPw->setObjectName(QStringLiteral("btnSetPw"));
  btnSetPw->setGeometry(228, 125, 96, 27);
  connect(btnSetPw, &QPushButton::clicked, this, &TfrmClientMain::SetPasswordClicked);
  chkAutoPw = new QCheckBox(pnlMy);
  chkAutoPw->setObjectName(QStringLiteral("chkAutoPw"));
  chkAutoPw->setGeometry(20, 160, 300, 17);
  // The one-time password beside the ID: read out on the phone, renewed after every session.
  lblOtpCaption = MakeLabel(pnlMy, 150, 19, UiFont(12));
  lblOtpCaption->setText(QStringLiteral("임시 비밀번호"));
  lblOtpCaption->adjustSize();
  SetTextColor(lblOtpCaption, Grey);
  lblOtp = MakeLabel(pnlMy, 236, 12, MonoFont(18, true));
  lblOtp->setObjectName(QStringLiteral("lblOtp"));
  lblOtp->resize(70, 26);
  lblOtp->setTextInteractionFlags(Qt::TextSelectableByMouse);
  SetTextColor(lblOtp, BrandColor);
  btnRenewOtp = new QPushButton(QStringLiteral("↻"), pnlMy);
  btnRenewOtp->setObjectName(QStringLiteral("btnRenewOtp"));
  btnRenewOtp->setToolTip(QStringLiteral("새 임시 비밀번호"));
  btnRenewOtp->setGeometry(312, 13, 24, 24);
  connect(btnRenewOtp, &QPushButton::clicked, this, [this] { FCore.RenewOneTimePassword(); });
  lblStatus = MakeLabel(pnlMy, 20, 188, UiFont(12));
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  lblStatus->resize(300, 17);
  SetTextColor(lblStatus, Grey);
  lblSession = MakeLabel(pnlMy, 20, 207, UiFont(12, true));
  lblSession->setObjectName(QStringLiteral("lblSession"));
  lblSession->resize(210, 17);
  lblSession->hide();
  chkBlockInput = new QCheckBox(QStringLiteral("입력 차단"), pnlMy);
  chkBlockInput->setObjectName(QStringLiteral("chkBlockInput"));
  chkBlockInput->setToolTip(QStringLiteral("상담원의 마우스와 키보드 입력을 이 컴퓨터에 전달하지 않습니다"));
  chkBlockInput->setGeometry(236, 206, 100, 19);
  chkBlockInput->hide();
  connect(chkBlockInput, &QCheckBox::toggled, this, [this](bool AOn) { FCore.SetViewerInputBlocked(AOn); });
  // Under the ID. Read out on the phone, it lets the helper check that the program reached is this one.
  lblSecurityCode = MakeLabel(pnlMy, 20, 89, UiFont(11));
  lblSecurityCode->setObjectName(QStringLiteral("lblSecurityCode"));
  lblSecurityCode->resize(310, 15);
  SetTextColor(lblSecurityCode, Grey);
  ShowSecurityCode();

  pnlRemote = new QWidget(this);
  pnlRemote->setGeometry(392, 88, 344, 232);
  SetBackground(pnlRemote, PanelStart);
  lblRemoteCaption = MakeLabel(pnlRemote, 20, 16, UiFont(13));
  // Two lines: the wait for the partner carries the session code the helper reads out.
  lblRemoteHint = MakeLabel(pnlRemote, 20, 37, UiFont(12));
  lblRemoteHint->setObjectName(QStringLiteral("lblRemoteHint"));
  lblRemoteHint->resize(236, 34);
  lblRemoteHint->setWordWrap(true);
  lblRemoteHint->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  SetTextColor(lblRemoteHint, Grey);
  btnCancelPending = new QPushButton(QStringLiteral("취소"), pnlRemote);
  btnCancelPending->setObjectName(QStringLiteral("btnCancelPending"));
  btnCancelPending->setGeometry(264, 44, 60, 24);
  btnCancelPending->hide();
  connect(btnCancelPending, &QPushButton::clicked, this, [this] {
    auto cancel = std::move(FCancelPending);
    FCancelPending = nullptr;
    btnCancelPending->hide();
    SetRemoteHint(QStringLiteral("상대방 접속 ID를 입력하세요"), Grey);
    if (cancel) cancel();
  });
  edtRemoteID = new QLineEdit(pnlRemote);
  edtRemoteID->setObjectName(QStringLiteral("edtRemoteID"));
  edtRemoteID->setGeometry(20, 72, 304, 36);
  edtRemoteID->setFont(MonoFont(24));
  edtRemoteID->setPlaceholderText(QStringLiteral("000 000 000"));
  connect(edtRemoteID, &QLineEdit::returnPressed, this, &TfrmClientMain::ConnectClicked);
  // A reason left from the last attempt goes once the user types another ID.
  connect(edtRemoteID, &QLineEdit::textEdited, this, [this] {
    if (!FCancelPending) SetRemoteHint(QStringLiteral("상대방 접속 ID를 입력하세요"), Grey);
  });
  btnConnect = new QPushButton(pnlRemote);
  btnConnect->setObjectName(QStringLiteral("btnConnect"));
  btnConnect->setGeometry(20, 128, 304, 44);
  btnConnect->setFont(UiFont(17, true));
  btnConnect->setStyleSheet(QStringLiteral("QPushButton { background-color: #3B4A6C; color: white; border: none; }"
                                           "QPushButton:pressed { background-color: #2C3852; }"));
  connect(btnConnect, &QPushButton::clicked, this, &TfrmClientMain::ConnectClicked);
  lblQuality = MakeLabel(pnlRemote, 20, 192, UiFont(13));
  lblQuality->setObjectName(QStringLiteral("lblQuality"));
  cbQuality = new QComboBox(pnlRemote);
  cbQuality->setObjectName(QStringLiteral("cbQuality"));
  cbQuality->setGeometry(64, 188, 140, 25);
  lblQuality->setBuddy(cbQuality);
  cbQuality->setEditable(false);

  pnlRecent = new QWidget(this);
  pnlRecent->setGeometry(24, 340, 712, 196);
  SetBackground(pnlRecent, RecentBack);
  lblRecent = MakeLabel(pnlRecent, 16, 12, UiFont(13));
  lstRecent = new QListWidget(pnlRecent);
  lstRecent->setObjectName(QStringLiteral("lstRecent"));
  lstRecent->setGeometry(16, 36, 332, 144);
  lstRecent->setFrameShape(QFrame::NoFrame);
  SetBackground(lstRecent, RecentBack);
  lstRecent->setStyleSheet(QStringLiteral("QListWidget::item { height: 17px; }"));
  connect(lstRecent, &QListWidget::itemDoubleClicked, this, [this] { RecentActivated(); });
  lstRecent->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lstRecent, &QWidget::customContextMenuRequested, this, [this](const QPoint& APos) {
    QListWidgetItem* item = lstRecent->itemAt(APos);
    if (!item) return;
    const int row = lstRecent->row(item);
    QMenu menu(this);
    QAction* rename = menu.addAction(QStringLiteral("이름 붙이기..."));
    QAction* remove = menu.addAction(QStringLiteral("목록에서 삭제"));
    QAction* chosen = menu.exec(lstRecent->viewport()->mapToGlobal(APos));
    if (chosen == remove) RemoveRecentAt(row);
    if (chosen == rename) RenameRecentAt(row);
  });
  lstRecent->installEventFilter(this);  // the Delete key
  // The log has a panel side of its own, under its own caption, in text dark enough to read.
  lblLog = MakeLabel(pnlRecent, 368, 12, UiFont(13));
  lblLog->setObjectName(QStringLiteral("lblLog"));
  mmoLog = new QPlainTextEdit(pnlRecent);
  mmoLog->setObjectName(QStringLiteral("mmoLog"));
  mmoLog->setGeometry(368, 36, 328, 144);
  mmoLog->setFrameShape(QFrame::NoFrame);
  mmoLog->setReadOnly(true);
  mmoLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  mmoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmoLog->setFont(MonoFont(12));
  mmoLog->setFocusPolicy(Qt::ClickFocus);
  SetBackground(mmoLog, LogBack);
  SetTextColor(mmoLog, QColor(0x40, 0x40, 0x40));
  // The range grows as new lines are laid out, possibly after AddLog has returned.
  connect(mmoLog->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] { ChangeLog([] {}); });
  edtChat = new QLineEdit(pnlRecent);
  edtChat->setObjectName(QStringLiteral("edtChat"));
  edtChat->setGeometry(368, 158, 328, 24);
  edtChat->setPlaceholderText(QStringLiteral("채팅 메시지 입력 후 Enter"));
  edtChat->setMaxLength(int(TLogEntry::MaxLogEntryChars));
  edtChat->hide();
  connect(edtChat, &QLineEdit::returnPressed, this, &TfrmClientMain::SendChatLine);

  // Tab order from the partner's ID, where the window starts.
  QWidget::setTabOrder(edtRemoteID, btnConnect);
  QWidget::setTabOrder(btnConnect, cbQuality);
  QWidget::setTabOrder(cbQuality, edtPassword);
  QWidget::setTabOrder(edtPassword, btnSetPw);
  QWidget::setTabOrder(btnSetPw, chkAutoPw);
  QWidget::setTabOrder(chkAutoPw, lstRecent);

  tmrUI = new QTimer(this);
  tmrUI->setInterval(1500);
  connect(tmrUI, &QTimer::timeout, this, &TfrmClientMain::RefreshHeader);
  tmrUI->start();

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TfrmClientMain::ApplyCaptions() {
  auto set = [](QLabel* ALabel, const QString& AText) {
    ALabel->setText(AText);
    ALabel->adjustSize();
  };
  set(lblMyCaption, QStringLiteral("내 컴퓨터"));
  set(lblPwCaption, QStringLiteral("비밀번호 (무인 접속용)"));
  btnSetPw->setText(QStringLiteral("설정"));
  btnEndSession->setText(QStringLiteral("연결 끊기"));
  chkAutoPw->setText(QStringLiteral("비밀번호로 무인 접속 허용"));
  set(lblRemoteCaption, QStringLiteral("원격 제어"));
  lblRemoteHint->setText(QStringLiteral("상대방 접속 ID를 입력하세요"));  // keeps its two-line box
  btnConnect->setText(QStringLiteral("접속"));
  set(lblRecent, QStringLiteral("최근 접속"));
  set(lblLog, QStringLiteral("활동 기록"));
  set(lblQuality, QStringLiteral("화질"));
  lblStatus->setText(QStringLiteral("시작하는 중..."));
  lblHeaderState->setText(QStringLiteral("연결 중"));
}

void TfrmClientMain::RecentChanged() {
  lstRecent->setUpdatesEnabled(false);
  lstRecent->clear();
  for (const TRecentItem& item : FCore.Recent()) {
    QString line = Q(FormatID(item.ID));
    if (!item.Name.empty()) line += QStringLiteral("   ") + Q(item.Name);
    lstRecent->addItem(line);
  }
  lstRecent->setUpdatesEnabled(true);
}

void TfrmClientMain::ConnectTo(std::string AID) {
  if (const ETargetProblem problem = FCore.CheckTarget(AID); problem != ETargetProblem::None) {
    FDialogs.Info(this, Q(TargetProblemText(problem)));
    return;
  }
  QString answer;
  bool remember = false;
  if (FDialogs.PartnerPassword) {
    if (!FDialogs.PartnerPassword(this, answer, remember)) return;
  } else if (!FDialogs.Input(this, QStringLiteral("무인 접속 비밀번호"),
                             QStringLiteral("상대방이 비밀번호를 설정했다면 입력하세요 (없으면 비워두고 확인 → 상대 동의 필요):"),
                             answer)) {
    return;
  }
  FCore.Connect(AID, U(answer), remember);
}

void TfrmClientMain::ConnectClicked() { ConnectTo(DigitsOnly(U(edtRemoteID->text()))); }

void TfrmClientMain::RecentActivated() {
  const int index = lstRecent->currentRow();
  if (index < 0 || size_t(index) >= FCore.Recent().size()) return;
  // By value: connecting rebuilds the list.
  const std::string id = FCore.Recent()[size_t(index)].ID;
  // A proof the user asked to keep connects at once; otherwise the password is asked for.
  if (!FCore.ConnectRemembered(id)) ConnectTo(id);
}

void TfrmClientMain::RenameRecentAt(int ARow) {
  if (ARow < 0 || size_t(ARow) >= FCore.Recent().size() || !FDialogs.Text) return;
  QString name = Q(FCore.Recent()[size_t(ARow)].Name);
  if (!FDialogs.Text(this, QStringLiteral("이름 붙이기"), QStringLiteral("이 접속 ID에 붙일 이름 (예: 회계팀 김 과장):"), name))
    return;
  FCore.RenameRecent(size_t(ARow), U(name));
}

void TfrmClientMain::RemoveRecentAt(int ARow) {
  if (ARow >= 0) FCore.RemoveRecent(size_t(ARow));
}

void TfrmClientMain::SetRemoteHint(const QString& AText, const QColor& AColour) {
  lblRemoteHint->setText(AText);
  lblRemoteHint->setToolTip(AText);  // a long reason is cut in the line, whole in the tooltip
  SetTextColor(lblRemoteHint, AColour);
}

QString TfrmClientMain::RemoteHintText() const { return lblRemoteHint->text(); }

void TfrmClientMain::ShowPending(const QString& AText, std::function<void()> ACancel) {
  FCancelPending = std::move(ACancel);
  btnCancelPending->setVisible(bool(FCancelPending));
  SetRemoteHint(AText, BrandColor);
}

void TfrmClientMain::EndPending(const QString& AText) {
  FCancelPending = nullptr;
  btnCancelPending->hide();
  if (AText.isEmpty())
    SetRemoteHint(QStringLiteral("상대방 접속 ID를 입력하세요"), Grey);
  else
    SetRemoteHint(AText, QColor(0xC0, 0x39, 0x2B));
}

void TfrmClientMain::ViewerRefused(const TViewerRefusal& ARefusal) {
  // The reason itself came with EndPending; an ID the relay does not know has left the list.
  if (ARefusal.Forgotten) SetRemoteHint(lblRemoteHint->text() + QStringLiteral(" (목록에서 뺐습니다)"), QColor(0xC0, 0x39, 0x2B));
}

void TfrmClientMain::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  // A supporter's first keys go to the partner's ID, never into this computer's password.
  if (!FFocusedOnce) {
    FFocusedOnce = true;
    edtRemoteID->setFocus(Qt::OtherFocusReason);
  }
}

void TfrmClientMain::ConfigWriteFailed(const std::string& AText) {
  if (FDialogs.Error) FDialogs.Error(this, Q(AText));
}

void TfrmClientMain::SetPasswordClicked() {
  const EPasswordChange change = FCore.ChangePassword(chkAutoPw->isChecked(), U(edtPassword->text()));
  if (change == EPasswordChange::Set) {
    edtPassword->clear();
    edtPassword->setPlaceholderText(QStringLiteral("설정됨 ******"));
  } else if (change == EPasswordChange::Cleared) {
    edtPassword->clear();
    edtPassword->setPlaceholderText(QString());
    chkAutoPw->setChecked(false);
  }
  FDialogs.Info(this, Q(PasswordChangeText(change)));
}

void TfrmClientMain::HostIdChanged(const std::string& AID) {
  lblMyID->setText(Q(DisplayID(AID)));
  if (FTray) FTray->SetToolTip(QStringLiteral("TALMIR Remote - ") + Q(DisplayID(AID)));
}

void TfrmClientMain::HostStatusChanged(const std::string& AText) { lblStatus->setText(Q(AText)); }

void TfrmClientMain::LogAdded(const TLogEntry& AEntry) {
  const QString line = Q(AEntry.Line());
  ChangeLog([&] {
    mmoLog->setUpdatesEnabled(false);
    QTextDocument* doc = mmoLog->document();
    if (AEntry.Repeats > 0 && !doc->isEmpty()) {
      QTextCursor cursor(doc->lastBlock());
      cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
      cursor.insertText(line);
    } else {
      TrimLog();
      // Through the document, not appendPlainText, which scrolls by rules of its own: where the
      // view goes is ChangeLog's decision.
      QTextCursor cursor(doc);
      cursor.movePosition(QTextCursor::End);
      if (!doc->isEmpty()) cursor.insertBlock();
      cursor.insertText(line);
    }
    mmoLog->setUpdatesEnabled(true);
  });
}

template <typename TChange>
void TfrmClientMain::ChangeLog(TChange AChange) {
  if (FLogAdjusting) {  // from the scroll bar's own signals while a change runs
    AChange();
    return;
  }
  QScrollBar* bar = mmoLog->verticalScrollBar();
  // Moved since the window last placed it: the user scrolled (a wheel, the bar, Page Up), and
  // where they left it decides.
  if (bar->value() != FLogLeftAt) FLogFollows = bar->value() >= bar->maximum();
  FLogAdjusting = true;
  AChange();
  if (FLogFollows) bar->setValue(bar->maximum());
  FLogLeftAt = bar->value();
  FLogAdjusting = false;
}

// Cuts the log to MaxLogLines displayed lines (a wrapped entry counts once per piece) in one
// removal from the top, measured on the current layout: linear in what it removes.
void TfrmClientMain::TrimLog() {
  QTextDocument* doc = mmoLog->document();
  for (int round = 0; round < 4 && !doc->isEmpty(); ++round) {
    int excess = LogLineCount() - MaxLogLines;
    if (excess <= 0) return;
    int cut = 0;
    for (QTextBlock b = doc->begin(); b.isValid() && excess > 0; b = b.next()) {
      const int pieces = b.layout() && b.layout()->lineCount() > 0 ? b.layout()->lineCount() : 1;
      if (pieces <= excess || !b.next().isValid()) {
        excess -= pieces;
        cut = b.next().isValid() ? b.next().position() : b.position() + b.length() - 1;
      } else {
        // Drop the first wrapped pieces only, as a memo deleting its first lines does.
        const QTextLine last = b.layout()->lineAt(excess - 1);
        cut = b.position() + last.textStart() + last.textLength();
        excess = 0;
      }
    }
    QTextCursor cursor(doc);
    cursor.setPosition(0);
    cursor.setPosition(cut, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    doc->documentLayout()->documentSize();  // re-lays out the changed block
  }
}

void TfrmClientMain::ChatReceived(const std::string&) {
  // A grey line alone goes unnoticed, so the window asks for attention (the task bar entry
  // flashes); it neither comes forward nor takes the focus from what the user is doing.
  QApplication::alert(this);
}

void TfrmClientMain::SendChatLine() {
  if (FCore.SendChat(U(edtChat->text()))) edtChat->clear();
}

void TfrmClientMain::ShowSecurityCode() {
  SetTextColor(lblSecurityCode, Grey);
  lblSecurityCode->setStyleSheet(QString());
  lblSecurityCode->setText(FCore.SecurityCode().empty() ? QString()
                                                        : QStringLiteral("보안 코드 ") + Q(FCore.SecurityCode()));
}

void TfrmClientMain::SessionSecurityChanged(const std::string& AText) {
  // In clear: said plainly, in the colour of a warning, for as long as the session lasts.
  const bool plain = AText == PlainConnectionText;
  lblSecurityCode->setStyleSheet(plain ? QStringLiteral("color: #C0392B; font-weight: bold;") : QString());
  lblSecurityCode->setText(Q(AText));
}

void TfrmClientMain::SessionChanged(bool AInSession) {
  FInSession = AInSession;
  if (!AInSession) ShowSecurityCode();
  btnEndSession->setVisible(AInSession);
  edtChat->setVisible(AInSession);
  ChangeLog([&] { mmoLog->resize(328, AInSession ? 118 : 144); });
  SetMyPanelColor(AInSession ? PanelInSession : PanelEnded);
  RefreshHeader();  // the header tells the state now, not at the next tick, with the session's line
}

void TfrmClientMain::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  QApplication::alert(this);
}

void TfrmClientMain::ConsentAsked(const TConsentQuestion& AQuestion, const std::string& AText) {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  const int answer = FDialogs.Consent ? FDialogs.Consent(this, Q(AText)) : FDialogs.Question(this, Q(AText)) ? 1 : 0;
  // A question that lapsed or was withdrawn meanwhile closed the prompt; the agent ignores this.
  FCore.AnswerConsent(AQuestion.Ticket, answer != 0, answer == 2);
}

void TfrmClientMain::ConsentClosed() {
  if (FDialogs.CloseQuestion) FDialogs.CloseQuestion();
}

void TfrmClientMain::SetMyPanelColor(const QColor& AColor) { SetBackground(pnlMy, AColor); }

void TfrmClientMain::RefreshHeader() {
  lblHeaderState->setText(Q(HostStateText(FCore.HostState())));
  RefreshSessionLine();
}

void TfrmClientMain::RefreshSessionLine() {
  // As the core reported the session: the agent may be in one before its start (who, since
  // when) reached the core.
  lblSession->setVisible(FInSession);
  chkBlockInput->setVisible(FInSession);
  if (!FInSession) return;
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch()).count();
  const int64_t seconds = std::max<int64_t>(0, (now - FCore.SessionStartedMs()) / 1000);
  const QString name = FCore.ViewerName().empty() ? QStringLiteral("상담원") : Q(FCore.ViewerName());
  lblSession->setText(QStringLiteral("%1 · %2:%3").arg(name).arg(seconds / 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0')));
  lblSession->setToolTip(lblSession->text());
  const QSignalBlocker quiet(chkBlockInput);  // shows the state; only the user's click changes it
  chkBlockInput->setChecked(FCore.ViewerInputBlocked());
}

void TfrmClientMain::OneTimePasswordChanged(const std::string& AText) { lblOtp->setText(Q(AText)); }

QString TfrmClientMain::OneTimePasswordText() const { return lblOtp->text(); }

QString TfrmClientMain::SessionLineText() const { return lblSession->isHidden() ? QString() : lblSession->text(); }

bool TfrmClientMain::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == lstRecent && AEvent->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(AEvent)->key() == Qt::Key_Delete) {
    RemoveRecentAt(lstRecent->currentRow());
    return true;
  }
  return QWidget::eventFilter(AWatched, AEvent);
}

TAutostartEntry TfrmClientMain::Autostart() const {
  return TAutostartEntry(UserConfigDir(FCore.Environment().Folders), U(QCoreApplication::applicationFilePath()));
}

void TfrmClientMain::OpenSettings() {
  if (!FDialogs.Settings) return;
  TClientSettings settings = FCore.Settings();
  TAutostartEntry autostart = Autostart();
  const bool wasAutostart = autostart.Enabled();
  bool wantAutostart = wasAutostart;
  if (!FDialogs.Settings(this, settings, wantAutostart, FCore.Overrides())) return;
  FCore.ChangeSettings(settings);
  if (wantAutostart == wasAutostart) return;
  try {
    if (wantAutostart)
      autostart.Enable();
    else
      autostart.Disable();
  } catch (const std::exception& e) {
    if (FDialogs.Error) FDialogs.Error(this, QStringLiteral("자동 실행을 바꿀 수 없습니다: ") + Q(e.what()));
  }
}

void TfrmClientMain::closeEvent(QCloseEvent* AEvent) {
  // Whatever viewer windows are still open, the main window decides whether the program ends.
  const bool tray = FTrayAvailable && FTrayAvailable();
  ECloseChoice choice = CloseChoice(tray, FCore.HasPassword(), FCore.KeepRunningOnClose());
  if (choice == ECloseChoice::AskToTray) {
    const bool keep = FDialogs.Question(this, QString::fromUtf8(KeepRunningQuestion()));
    FCore.SetKeepRunningOnClose(keep);
    choice = keep ? ECloseChoice::ToTray : ECloseChoice::Quit;
  } else if (choice == ECloseChoice::AskToQuit) {
    if (!FDialogs.Question(this, QString::fromUtf8(QuitUnattendedQuestion()))) {
      AEvent->ignore();
      return;
    }
    choice = ECloseChoice::Quit;
  }
  if (choice == ECloseChoice::ToTray) {
    AEvent->ignore();
    hide();
    FTray->Show();
    if (!FToldAboutTray) {
      FToldAboutTray = true;
      FTray->Notify(QStringLiteral("TALMIR Remote"), QString::fromUtf8(InTrayNotice()));
    }
    return;
  }
  AEvent->accept();
  QCoreApplication::quit();
}

QString TfrmClientMain::MyIDText() const { return lblMyID->text(); }
QString TfrmClientMain::StatusText() const { return lblStatus->text(); }
QString TfrmClientMain::HeaderState() const { return lblHeaderState->text(); }
QString TfrmClientMain::LogText() const { return mmoLog->toPlainText(); }

int TfrmClientMain::LogLineCount() const {
  int lines = 0;
  for (QTextBlock b = mmoLog->document()->begin(); b.isValid(); b = b.next())
    lines += b.layout() && b.layout()->lineCount() > 0 ? b.layout()->lineCount() : 1;
  return lines;
}
QColor TfrmClientMain::MyPanelColor() const { return pnlMy->palette().color(QPalette::Window); }

QStringList TfrmClientMain::RecentLines() const {
  QStringList lines;
  for (int i = 0; i < lstRecent->count(); ++i) lines << lstRecent->item(i)->text();
  return lines;
}

}  // namespace tlm
