#include "app/ClientMain.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
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
  d.CloseQuestion = [open] {
    if (*open) (*open)->done(QMessageBox::No);
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
  lblStatus = MakeLabel(pnlMy, 20, 188, UiFont(12));
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  lblStatus->resize(300, 17);
  SetTextColor(lblStatus, Grey);

  pnlRemote = new QWidget(this);
  pnlRemote->setGeometry(392, 88, 344, 232);
  SetBackground(pnlRemote, PanelStart);
  lblRemoteCaption = MakeLabel(pnlRemote, 20, 16, UiFont(13));
  lblRemoteHint = MakeLabel(pnlRemote, 20, 48, UiFont(12));
  SetTextColor(lblRemoteHint, Grey);
  edtRemoteID = new QLineEdit(pnlRemote);
  edtRemoteID->setObjectName(QStringLiteral("edtRemoteID"));
  edtRemoteID->setGeometry(20, 72, 304, 36);
  edtRemoteID->setFont(MonoFont(24));
  edtRemoteID->setPlaceholderText(QStringLiteral("000 000 000"));
  connect(edtRemoteID, &QLineEdit::returnPressed, this, &TfrmClientMain::ConnectClicked);
  btnConnect = new QPushButton(pnlRemote);
  btnConnect->setObjectName(QStringLiteral("btnConnect"));
  btnConnect->setGeometry(20, 128, 304, 44);
  btnConnect->setFont(UiFont(17, true));
  btnConnect->setStyleSheet(QStringLiteral("QPushButton { background-color: #3B4A6C; color: white; border: none; }"
                                           "QPushButton:pressed { background-color: #2C3852; }"));
  connect(btnConnect, &QPushButton::clicked, this, &TfrmClientMain::ConnectClicked);
  cbQuality = new QComboBox(pnlRemote);
  cbQuality->setObjectName(QStringLiteral("cbQuality"));
  cbQuality->setGeometry(20, 188, 140, 25);
  cbQuality->setEditable(false);

  pnlRecent = new QWidget(this);
  pnlRecent->setGeometry(24, 340, 712, 196);
  SetBackground(pnlRecent, RecentBack);
  lblRecent = MakeLabel(pnlRecent, 16, 12, UiFont(13));
  lstRecent = new QListWidget(pnlRecent);
  lstRecent->setObjectName(QStringLiteral("lstRecent"));
  lstRecent->setGeometry(16, 36, 400, 144);
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
    QAction* remove = menu.addAction(QStringLiteral("목록에서 삭제"));
    if (menu.exec(lstRecent->viewport()->mapToGlobal(APos)) == remove) RemoveRecentAt(row);
  });
  lstRecent->installEventFilter(this);  // the Delete key
  mmoLog = new QPlainTextEdit(pnlRecent);
  mmoLog->setObjectName(QStringLiteral("mmoLog"));
  mmoLog->setGeometry(432, 36, 264, 144);
  mmoLog->setFrameShape(QFrame::NoFrame);
  mmoLog->setReadOnly(true);
  mmoLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  mmoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmoLog->setFont(MonoFont(11));
  SetBackground(mmoLog, LogBack);
  SetTextColor(mmoLog, Grey);
  // The range grows as new lines are laid out, possibly after AddLog has returned.
  connect(mmoLog->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] { ChangeLog([] {}); });
  edtChat = new QLineEdit(pnlRecent);
  edtChat->setObjectName(QStringLiteral("edtChat"));
  edtChat->setGeometry(432, 158, 264, 24);
  edtChat->setPlaceholderText(QStringLiteral("채팅 메시지 입력 후 Enter"));
  edtChat->setMaxLength(int(TLogEntry::MaxLogEntryChars));
  edtChat->hide();
  connect(edtChat, &QLineEdit::returnPressed, this, &TfrmClientMain::SendChatLine);

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
  set(lblRemoteHint, QStringLiteral("상대방 접속 ID를 입력하세요"));
  btnConnect->setText(QStringLiteral("접속"));
  set(lblRecent, QStringLiteral("최근 접속"));
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
  if (!FDialogs.Input(this, QStringLiteral("무인 접속 비밀번호"),
                      QStringLiteral("상대방이 비밀번호를 설정했다면 입력하세요 (없으면 비워두고 확인 → 상대 동의 필요):"),
                      answer))
    return;
  FCore.Connect(AID, U(answer));
}

void TfrmClientMain::ConnectClicked() { ConnectTo(DigitsOnly(U(edtRemoteID->text()))); }

void TfrmClientMain::RecentActivated() {
  const int index = lstRecent->currentRow();
  if (index >= 0 && size_t(index) < FCore.Recent().size()) ConnectTo(FCore.Recent()[size_t(index)].ID);
}

void TfrmClientMain::RemoveRecentAt(int ARow) {
  if (ARow >= 0) FCore.RemoveRecent(size_t(ARow));
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

void TfrmClientMain::HostIdChanged(const std::string& AID) { lblMyID->setText(Q(DisplayID(AID))); }

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

void TfrmClientMain::SessionChanged(bool AInSession) {
  btnEndSession->setVisible(AInSession);
  edtChat->setVisible(AInSession);
  ChangeLog([&] { mmoLog->resize(264, AInSession ? 118 : 144); });
  SetMyPanelColor(AInSession ? PanelInSession : PanelEnded);
  RefreshHeader();  // the header tells the state now, not at the next tick
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
  const bool allow = FDialogs.Question(this, Q(AText));
  // A question that lapsed or was withdrawn meanwhile closed the prompt; the agent ignores this.
  FCore.AnswerConsent(AQuestion.Ticket, allow);
}

void TfrmClientMain::ConsentClosed() {
  if (FDialogs.CloseQuestion) FDialogs.CloseQuestion();
}

void TfrmClientMain::SetMyPanelColor(const QColor& AColor) { SetBackground(pnlMy, AColor); }

void TfrmClientMain::RefreshHeader() { lblHeaderState->setText(Q(HostStateText(FCore.HostState()))); }

bool TfrmClientMain::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == lstRecent && AEvent->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(AEvent)->key() == Qt::Key_Delete) {
    RemoveRecentAt(lstRecent->currentRow());
    return true;
  }
  return QWidget::eventFilter(AWatched, AEvent);
}

void TfrmClientMain::closeEvent(QCloseEvent* AEvent) {
  // Closing the main window ends the program, whatever viewer windows are still open.
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
