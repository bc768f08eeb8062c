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
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "protocol/Credentials.h"
#include "protocol/Messages.h"
#include "protocol/RelayLink.h"
#include "tlm/Version.h"

namespace tlm {

namespace {

constexpr int MaxLogLines = 200;  // before a new line is added; 201 with it
constexpr int MaxLogEntryChars = 2000;  // longer entries are shown cut: the log is for reading
const QColor HeaderColor(0x3B, 0x4A, 0x6C);
const QColor PanelStart(0xEB, 0xF3, 0xF5);
const QColor PanelInSession(0xE6, 0xF0, 0xE6);
const QColor PanelEnded(0xFB, 0xFA, 0xF5);
const QColor RecentBack(0xF6, 0xF9, 0xFB);
const QColor LogBack(0xF7, 0xF7, 0xF7);
const QColor Grey(0x80, 0x80, 0x80);
const char* NoID = "--- --- ---";

QString Q(const std::string& AText) { return QString::fromStdString(AText); }

// Enough of a peer's text for one log entry (which shows MaxLogEntryChars at most): a megabyte
// of chat is never converted whole. A UTF-8 character takes at most four bytes, so the cut,
// which may split one, lies beyond what the entry shows.
QString LogPrefix(const std::string& AText) {
  const size_t enough = 4 * size_t(MaxLogEntryChars) + 8;
  return QString::fromUtf8(AText.data(), qsizetype(std::min(AText.size(), enough)));
}

std::string Env(const char* AName) {
  const char* v = std::getenv(AName);
  return v ? std::string(v) : std::string();
}

void SetBackground(QWidget* AWidget, const QColor& AColor) {
  AWidget->setAutoFillBackground(true);
  QPalette pal = AWidget->palette();
  pal.setColor(QPalette::Window, AColor);
  pal.setColor(QPalette::Base, AColor);
  AWidget->setPalette(pal);
}

void SetTextColor(QWidget* AWidget, const QColor& AColor) {
  QPalette pal = AWidget->palette();
  pal.setColor(QPalette::WindowText, AColor);
  pal.setColor(QPalette::Text, AColor);
  pal.setColor(QPalette::ButtonText, AColor);
  AWidget->setPalette(pal);
}

QLabel* MakeLabel(QWidget* AParent, int ALeft, int ATop, const QFont& AFont) {
  auto* label = new QLabel(AParent);
  label->setFont(AFont);
  label->move(ALeft, ATop);
  return label;
}

}  // namespace

QFont UiFont(int APixelHeight, bool ABold) {
  QFont f;
  f.setFamilies({"Malgun Gothic", "Noto Sans CJK KR", "Noto Sans KR", "DejaVu Sans"});
  f.setPixelSize(APixelHeight);
  f.setBold(ABold);
  return f;
}

QFont MonoFont(int APixelHeight, bool ABold) {
  QFont f;
  f.setFamilies({"Consolas", "DejaVu Sans Mono", "Noto Sans Mono CJK KR", "Noto Sans CJK KR"});
  f.setStyleHint(QFont::Monospace);
  f.setPixelSize(APixelHeight);
  f.setBold(ABold);
  return f;
}

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

TfrmClientMain::TfrmClientMain(IUiDispatcher& AUi, THostServices AServices, TMainDialogs ADialogs,
                               TViewerOpener AOpenViewer, uint16_t ARelayPort, THostTimings ATimings,
                               TRunOptions ARunOptions)
    : QWidget(nullptr,
              Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                  Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      FRelayPort(ARelayPort),
      FRunOptions(std::move(ARunOptions)),
      FDialogs(std::move(ADialogs)),
      FOpenViewer(std::move(AOpenViewer)) {
  // FormCreate, in its order.
  FConfig = std::make_unique<TAppConfig>();
  FClipFallback = AServices.Clipboard;
  AServices.Clipboard = &FClipEntry;
  BuildControls();
  ApplyCaptions();
  cbQuality->addItems({QStringLiteral("빠름"), QStringLiteral("표준"), QStringLiteral("고화질"), QStringLiteral("부드럽게")});
  // A stored preset outside 0..3 leaves no selection (index -1).
  const int quality = FConfig->DefaultQuality();
  cbQuality->setCurrentIndex(quality >= 0 && quality < cbQuality->count() ? quality : -1);
  connect(cbQuality, &QComboBox::activated, this, &TfrmClientMain::cbQualityChange);
  chkAutoPw->setChecked(FConfig->HasPassword());
  // The password itself is never shown, but that one is set is.
  if (FConfig->HasPassword()) edtPassword->setPlaceholderText(QStringLiteral("설정됨 ******"));
  SetTextColor(btnConnect, Qt::white);
  RefreshRecent();

  SetRelayTlsConfigured(FConfig->RelayTls());
  std::string deviceKey;
  SaveConfig([&] { deviceKey = FConfig->DeviceKey(); });
  if (deviceKey.empty()) deviceKey = FConfig->DeviceKey();  // not stored, but kept for this run
  FHost = std::make_unique<THostAgent>(AUi, GetRelayHost(), FRelayPort, deviceKey, FConfig->PasswordHash(),
                                       std::move(AServices), ATimings);
  FHost->SetQuality(quality);
  FHost->OnID = [this](const std::string& AText) { HostID(AText); };
  FHost->OnStatus = [this](const std::string& AText) { HostStatus(AText); };
  FHost->OnLog = [this](const std::string& AText) { AddLog(Q(AText)); };
  FHost->OnConsent = [this](const TConsentQuestion& AQuestion) { HostConsent(AQuestion); };
  FHost->OnSessionStart = [this](const std::string&) { HostSessionStart(); };
  FHost->OnSessionEnd = [this] { HostSessionEnd(); };
  FHost->OnChat = [this](const std::string& AText) { HostChat(AText); };
  FHost->OnConsentClosed = [this] {
    if (FDialogs.CloseQuestion) FDialogs.CloseQuestion();
  };
  FHost->OnAdmission = [this](const std::string& AName, const std::string& AIP, EAdmission AHow) {
    HostAdmission(AName, AIP, AHow);
  };
  FHost->Start();

  if (!FRunOptions.AutoConnect.empty())
    QMetaObject::invokeMethod(this, &TfrmClientMain::AutoConnect, Qt::QueuedConnection);
}

TfrmClientMain::~TfrmClientMain() {
  // FormDestroy: slots first, then the agent (which stops and waits for its reader), then the store.
  if (FHost) {
    FHost->OnID = nullptr;
    FHost->OnStatus = nullptr;
    FHost->OnLog = nullptr;
    FHost->OnConsent = nullptr;
    FHost->OnSessionStart = nullptr;
    FHost->OnSessionEnd = nullptr;
    FHost->OnChat = nullptr;
    FHost->OnConsentClosed = nullptr;
    FHost->OnAdmission = nullptr;
    FHost.reset();
  }
  FClipSync.reset();
  FConfig.reset();
}

void TfrmClientMain::BuildControls() {
  setWindowTitle(QStringLiteral("TALMIR Remote"));
  setFixedSize(760, 560);
  setFont(UiFont(13));
  SetBackground(this, Qt::white);

  pnlHeader = new QWidget(this);
  pnlHeader->setGeometry(0, 0, 760, 64);
  SetBackground(pnlHeader, HeaderColor);
  lblTitle = MakeLabel(pnlHeader, 24, 18, UiFont(21, true));
  lblTitle->setText(QStringLiteral("TALMIR Remote"));
  lblTitle->setToolTip(QStringLiteral("TALMIR Remote ") + QString::fromLatin1(ProgramVersion));
  SetTextColor(lblTitle, Qt::white);
  lblTitle->adjustSize();
  lblHeaderState = MakeLabel(pnlHeader, 560, 24, UiFont(12));
  lblHeaderState->resize(176, 17);
  lblHeaderState->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  SetTextColor(lblHeaderState, Qt::white);
  btnEndSession = new QPushButton(pnlHeader);
  btnEndSession->setGeometry(424, 17, 120, 30);
  btnEndSession->setFont(UiFont(13, true));
  btnEndSession->setStyleSheet(QStringLiteral("QPushButton { background-color: #C0392B; color: white; border: none; }"
                                              "QPushButton:pressed { background-color: #962D22; }"));
  btnEndSession->hide();
  connect(btnEndSession, &QPushButton::clicked, this, &TfrmClientMain::btnEndSessionClick);

  pnlMy = new QWidget(this);
  pnlMy->setGeometry(24, 88, 344, 232);
  SetBackground(pnlMy, PanelStart);
  lblMyCaption = MakeLabel(pnlMy, 20, 16, UiFont(13));
  lblMyID = MakeLabel(pnlMy, 18, 44, MonoFont(32, true));
  lblMyID->setText(QString::fromLatin1(NoID));
  lblMyID->resize(320, 48);
  SetTextColor(lblMyID, HeaderColor);
  lblPwCaption = MakeLabel(pnlMy, 20, 104, UiFont(13));
  edtPassword = new QLineEdit(pnlMy);
  edtPassword->setGeometry(20, 126, 200, 25);
  edtPassword->setEchoMode(QLineEdit::Password);
  // A typed password is meant to be used: the box ticks itself, so "설정" stores it.
  connect(edtPassword, &QLineEdit::textEdited, this, [this](const QString& AText) {
    if (!AText.trimmed().isEmpty()) chkAutoPw->setChecked(true);
  });
  btnSetPw = new QPushButton(pnlMy);
  btnSetPw->setGeometry(228, 125, 96, 27);
  connect(btnSetPw, &QPushButton::clicked, this, &TfrmClientMain::btnSetPwClick);
  chkAutoPw = new QCheckBox(pnlMy);
  chkAutoPw->setGeometry(20, 160, 300, 17);
  lblStatus = MakeLabel(pnlMy, 20, 188, UiFont(12));
  lblStatus->resize(300, 17);
  SetTextColor(lblStatus, Grey);

  pnlRemote = new QWidget(this);
  pnlRemote->setGeometry(392, 88, 344, 232);
  SetBackground(pnlRemote, PanelStart);
  lblRemoteCaption = MakeLabel(pnlRemote, 20, 16, UiFont(13));
  lblRemoteHint = MakeLabel(pnlRemote, 20, 48, UiFont(12));
  SetTextColor(lblRemoteHint, Grey);
  edtRemoteID = new QLineEdit(pnlRemote);
  edtRemoteID->setGeometry(20, 72, 304, 36);
  edtRemoteID->setFont(MonoFont(24));
  edtRemoteID->setPlaceholderText(QStringLiteral("000 000 000"));
  connect(edtRemoteID, &QLineEdit::returnPressed, this, &TfrmClientMain::btnConnectClick);
  btnConnect = new QPushButton(pnlRemote);
  btnConnect->setGeometry(20, 128, 304, 44);
  btnConnect->setFont(UiFont(17, true));
  btnConnect->setStyleSheet(QStringLiteral("QPushButton { background-color: #3B4A6C; color: white; border: none; }"
                                           "QPushButton:pressed { background-color: #2C3852; }"));
  connect(btnConnect, &QPushButton::clicked, this, &TfrmClientMain::btnConnectClick);
  cbQuality = new QComboBox(pnlRemote);
  cbQuality->setGeometry(20, 188, 140, 25);
  cbQuality->setEditable(false);

  pnlRecent = new QWidget(this);
  pnlRecent->setGeometry(24, 340, 712, 196);
  SetBackground(pnlRecent, RecentBack);
  lblRecent = MakeLabel(pnlRecent, 16, 12, UiFont(13));
  lstRecent = new QListWidget(pnlRecent);
  lstRecent->setGeometry(16, 36, 400, 144);
  lstRecent->setFrameShape(QFrame::NoFrame);
  SetBackground(lstRecent, RecentBack);
  lstRecent->setStyleSheet(QStringLiteral("QListWidget::item { height: 17px; }"));
  connect(lstRecent, &QListWidget::itemDoubleClicked, this, [this] { lstRecentDblClick(); });
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
  edtChat->setGeometry(432, 158, 264, 24);
  edtChat->setPlaceholderText(QStringLiteral("채팅 메시지 입력 후 Enter"));
  edtChat->setMaxLength(MaxLogEntryChars);
  edtChat->hide();
  connect(edtChat, &QLineEdit::returnPressed, this, &TfrmClientMain::SendChatLine);

  tmrUI = new QTimer(this);
  tmrUI->setInterval(1500);
  connect(tmrUI, &QTimer::timeout, this, &TfrmClientMain::tmrUITimer);
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

void TfrmClientMain::RefreshRecent() {
  FRecent = FConfig->GetRecent();
  lstRecent->setUpdatesEnabled(false);
  lstRecent->clear();
  for (const auto& item : FRecent) {
    QString line = Q(FormatID(item.ID));
    if (!item.Name.empty()) line += QStringLiteral("   ") + Q(item.Name);
    lstRecent->addItem(line);
  }
  lstRecent->setUpdatesEnabled(true);
}

void TfrmClientMain::OpenViewer(const std::string& ATarget, const std::string& AName, const std::string& AProof) {
  if (!FOpenViewer) return;
  FOpenViewer(TViewerRequest{GetRelayHost(), FRelayPort, ATarget, AName, AProof, cbQuality->currentIndex()});
}

void TfrmClientMain::AutoConnect() {
  const std::string& target = FRunOptions.AutoConnect;
  if (target.empty()) return;
  std::string proof;
  const std::string& password = FRunOptions.AutoPassword;
  if (!password.empty()) proof = MakeSessionProof(target, HashPassword(password));
  OpenViewer(target, "AutoViewer", proof);
}

void TfrmClientMain::ConnectTo(std::string AID) {
  if (AID.empty()) {
    FDialogs.Info(this, QStringLiteral("접속할 ID를 입력하세요."));
    return;
  }
  if (AID == FMyID) {
    FDialogs.Info(this, QStringLiteral("자기 자신에게는 접속할 수 없습니다."));
    return;
  }
  QString answer;
  if (!FDialogs.Input(this, QStringLiteral("무인 접속 비밀번호"),
                      QStringLiteral("상대방이 비밀번호를 설정했다면 입력하세요 (없으면 비워두고 확인 → 상대 동의 필요):"),
                      answer))
    return;
  std::string proof;
  const std::string password = TrimControl(answer.toStdString());
  if (!password.empty()) proof = MakeSessionProof(AID, HashPassword(password));
  bool known = false;
  for (const TRecentItem& item : FRecent) known = known || item.ID == AID;
  FNewRecentID = known ? std::string() : AID;
  SaveConfig([&] { FConfig->AddRecent(AID, ""); });
  RefreshRecent();
  OpenViewer(AID, FConfig->MyName(), proof);
}

void TfrmClientMain::btnConnectClick() { ConnectTo(DigitsOnly(edtRemoteID->text().toStdString())); }

void TfrmClientMain::lstRecentDblClick() {
  const int index = lstRecent->currentRow();
  if (index >= 0 && index < int(FRecent.size())) ConnectTo(FRecent[size_t(index)].ID);
}

void TfrmClientMain::RemoveRecentAt(int ARow) {
  if (ARow < 0 || ARow >= int(FRecent.size())) return;
  const std::string id = FRecent[size_t(ARow)].ID;
  SaveConfig([&] { FConfig->RemoveRecent(id); });
  RefreshRecent();
}

void TfrmClientMain::RelayRefused(const std::string& AID, const QString& AText) {
  // An ID the relay does not know is not worth keeping; one that is merely offline now is, and
  // so is any ID that was in the list before this attempt.
  if (AID.empty() || AID != FNewRecentID || !AText.contains(QStringLiteral("존재하지 않는 ID"))) return;
  FNewRecentID.clear();
  SaveConfig([&] { FConfig->RemoveRecent(AID); });
  RefreshRecent();
}

void TfrmClientMain::SaveConfig(const std::function<void()>& AWrite) {
  try {
    AWrite();
  } catch (const std::exception& e) {
    const QString text = QStringLiteral("설정을 저장하지 못했습니다. 이번 실행 동안은 바뀐 값을 그대로 씁니다.\n\n") +
                         QString::fromStdString(e.what());
    if (FDialogs.Error) FDialogs.Error(this, text);
  }
}

void TfrmClientMain::btnSetPwClick() {
  const std::string password = TrimControl(edtPassword->text().toStdString());
  if (chkAutoPw->isChecked() && !password.empty()) {
    // Length in characters, not UTF-8 bytes.
    if (QString::fromStdString(password).size() < 4) {
      FDialogs.Info(this, QStringLiteral("비밀번호는 4자 이상으로 설정하세요."));
      return;
    }
    const std::string hash = HashPassword(password);
    SaveConfig([&] { FConfig->SetPasswordHash(hash); });
    FHost->ChangePassword(hash);
    edtPassword->clear();
    edtPassword->setPlaceholderText(QStringLiteral("설정됨 ******"));
    FDialogs.Info(this, QStringLiteral("무인 접속 비밀번호가 설정되었습니다."));
  } else {
    SaveConfig([&] { FConfig->SetPasswordHash(""); });
    FHost->ChangePassword("");
    edtPassword->clear();
    edtPassword->setPlaceholderText(QString());
    chkAutoPw->setChecked(false);
    FDialogs.Info(this, QStringLiteral("무인 접속 비밀번호가 해제되었습니다. 이제 접속 시 동의 팝업으로 승인합니다."));
  }
}

void TfrmClientMain::cbQualityChange(int AIndex) {
  SaveConfig([&] { FConfig->SetDefaultQuality(AIndex); });
}

void TfrmClientMain::HostID(const std::string& AText) {
  FMyID = AText;
  lblMyID->setText(AText.empty() ? QString::fromLatin1(NoID) : Q(FormatID(AText)));
  const std::string idFile = Env("TLMREMOTE_IDFILE");
  if (!idFile.empty() && !AText.empty()) {
    // Best effort: a missing folder or a refused write must not disturb the user.
    std::ofstream out(idFile, std::ios::binary | std::ios::trunc);
    if (out) out << AText;
  }
}

void TfrmClientMain::HostStatus(const std::string& AText) { lblStatus->setText(Q(AText)); }

void TfrmClientMain::AddLog(const QString& AText) {
  QString text = AText;
  if (text.size() > MaxLogEntryChars) text = text.left(MaxLogEntryChars) + QChar(0x2026);
  const QString stamp = QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ');
  ChangeLog([&] {
    mmoLog->setUpdatesEnabled(false);
    QTextDocument* doc = mmoLog->document();
    if (!doc->isEmpty() && text == FLastLogText && !text.contains(QLatin1Char('\n'))) {
      // The same entry again (a relay refusing every few seconds): one line that counts.
      ++FLogRepeats;
      QTextCursor cursor(doc->lastBlock());
      cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
      cursor.insertText(stamp + text + QStringLiteral(" (%1회 반복)").arg(FLogRepeats + 1));
    } else {
      FLastLogText = text;
      FLogRepeats = 0;
      TrimLog();
      // Through the document, not appendPlainText, which scrolls by rules of its own: where the
      // view goes is ChangeLog's decision.
      QTextCursor cursor(doc);
      cursor.movePosition(QTextCursor::End);
      if (!doc->isEmpty()) cursor.insertBlock();
      cursor.insertText(stamp + text);
    }
    mmoLog->setUpdatesEnabled(true);
  });
  WriteLogFile(stamp + text);
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

void TfrmClientMain::WriteLogFile(const QString& ALine) {
  // TLMREMOTE_LOGFILE: every log line is also appended there, for unattended runs and scripts.
  // Best effort, like the ID file: a refused write must not disturb the user.
  const std::string logFile = Env("TLMREMOTE_LOGFILE");
  if (!logFile.empty()) {
    std::ofstream out(logFile, std::ios::binary | std::ios::app);
    if (out) out << ALine.toStdString() << '\n';
  }
}

void TfrmClientMain::HostChat(const std::string& AText) {
  AddLog(QStringLiteral("[채팅] 원격: ") + LogPrefix(AText));
  // A grey line alone goes unnoticed, so the window asks for attention (the task bar entry
  // flashes); it neither comes forward nor takes the focus from what the user is doing.
  QApplication::alert(this);
}

void TfrmClientMain::SendChatLine() {
  const QString text = edtChat->text();
  if (text.trimmed().isEmpty() || !FHost->InSession()) return;
  // Queued, never waited for: a connection that takes nothing drops the line instead.
  if (!FHost->SendChat(text.toStdString())) {
    AddLog(QStringLiteral("채팅 전송 실패: 보낼 수 없습니다 (연결이 밀려 있거나 끊겼습니다)"));
    return;
  }
  edtChat->clear();
  AddLog(QStringLiteral("[채팅] 나: ") + text);
}

void TfrmClientMain::btnEndSessionClick() {
  FHost->EndSessionByUser();
  ShowSessionControls(false);
}

void TfrmClientMain::ApplyViewerClipboard(const std::string& AText) {
  if (FClipSync) {
    FClipSync->ApplyRemote(Q(AText));
  } else if (FClipFallback) {
    FClipFallback->SetClipboardText(AText);
  }
}

void TfrmClientMain::HostAdmission(const std::string& AName, const std::string& AIP, EAdmission AHow) {
  if (AHow == EAdmission::Password || AHow == EAdmission::Accepted) FViewerName = AName + " (" + AIP + ")";
  try {
    FConfig->RecordAdmission(std::time(nullptr), AName, AIP, AdmissionText(AHow));
  } catch (const std::exception& e) {
    AddLog(QStringLiteral("접속 기록 저장 실패: ") + Q(e.what()));
  }
}

void TfrmClientMain::ShowSessionControls(bool AInSession) {
  btnEndSession->setVisible(AInSession);
  edtChat->setVisible(AInSession);
  ChangeLog([&] { mmoLog->resize(264, AInSession ? 118 : 144); });
  if (!AInSession) {
    FClipSync.reset();
    return;
  }
  // Text copied on this computer during the session goes to the viewer; what is on the
  // clipboard already stays here.
  FClipSync = std::make_unique<TClipboardSync>();
  FClipSync->OnLocalCopy = [this](const QString& AText) {
    // Outside a session (it may be ending) nothing is owed; a full send queue is worth a line.
    if (!FHost->PushClipboard(AText.toStdString()) && FHost->InSession())
      AddLog(QStringLiteral("클립보드 전송 실패: 연결이 밀려 있습니다"));
  };
}

void TfrmClientMain::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  QApplication::alert(this);
}

void TfrmClientMain::HostConsent(const TConsentQuestion& AQuestion) {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  QString why;
  if (AQuestion.Cause == EConsentCause::WrongPassword)
    why = QStringLiteral("요청자가 입력한 비밀번호가 맞지 않습니다.\r\n");
  else if (AQuestion.Cause == EConsentCause::JustEnded)
    why = QStringLiteral("방금 연결을 끊었으므로 비밀번호가 맞아도 다시 묻습니다.\r\n");
  const QString text = QStringLiteral("원격 지원 접속 요청이 있습니다.\r\n요청자: ") + Q(AQuestion.ViewerName) +
                       QStringLiteral(" (") + Q(AQuestion.ViewerIP) + QStringLiteral(")") + QStringLiteral("\r\n") +
                       why + QStringLiteral("\r\n") + QStringLiteral("이 접속을 허용하시겠습니까?");
  const bool allow = FDialogs.Question(this, text);
  // A question that lapsed or was withdrawn meanwhile closed the prompt; the agent ignores this.
  if (FHost) FHost->AnswerConsent(AQuestion.Ticket, allow);
}

void TfrmClientMain::SetMyPanelColor(const QColor& AColor) { SetBackground(pnlMy, AColor); }

void TfrmClientMain::HostSessionStart() {
  SetMyPanelColor(PanelInSession);
  ShowSessionControls(true);
  tmrUITimer();  // the header tells the state now, not at the next tick
}

void TfrmClientMain::HostSessionEnd() {
  SetMyPanelColor(PanelEnded);
  ShowSessionControls(false);
  tmrUITimer();
  // The helped person sees in the log that nobody is watching any more.
  AddLog(FViewerName.empty() ? QStringLiteral("상담원 연결 종료")
                             : QStringLiteral("상담원 연결 종료: ") + LogPrefix(FViewerName));
  FViewerName.clear();
}

void TfrmClientMain::tmrUITimer() {
  if (FHost->InSession())
    lblHeaderState->setText(QStringLiteral("화면 공유 중"));
  else if (FHost->Connected())
    lblHeaderState->setText(QStringLiteral("온라인"));
  else
    lblHeaderState->setText(QStringLiteral("오프라인"));
}

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
