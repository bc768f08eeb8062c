#include "app/ClientMain.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QTime>
#include <QTimer>
#include <cstdlib>
#include <fstream>

#include "protocol/Credentials.h"
#include "protocol/Messages.h"
#include "protocol/RelayLink.h"
#include "tlm/Version.h"

namespace tlm {

namespace {

constexpr int MaxLogLines = 200;  // before a new line is added; 201 with it
const QColor HeaderColor(0x3B, 0x4A, 0x6C);
const QColor PanelStart(0xEB, 0xF3, 0xF5);
const QColor PanelInSession(0xE6, 0xF0, 0xE6);
const QColor PanelEnded(0xFB, 0xFA, 0xF5);
const QColor RecentBack(0xF6, 0xF9, 0xFB);
const QColor LogBack(0xF7, 0xF7, 0xF7);
const QColor Grey(0x80, 0x80, 0x80);
const char* NoID = "--- --- ---";

QString Q(const std::string& AText) { return QString::fromStdString(AText); }

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
  d.Question = [](QWidget* AParent, const QString& AText) {
    return QMessageBox::question(AParent, QStringLiteral("TALMIR Remote"), AText,
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  };
  d.Input = [](QWidget* AParent, const QString& ATitle, const QString& APrompt, QString& AText) {
    bool ok = false;
    QString text = QInputDialog::getText(AParent, ATitle, APrompt, QLineEdit::Normal, AText, &ok);
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
  BuildControls();
  ApplyCaptions();
  cbQuality->addItems({QStringLiteral("빠름"), QStringLiteral("표준"), QStringLiteral("고화질")});
  // A stored preset outside 0..2 leaves no selection (index -1).
  const int quality = FConfig->DefaultQuality();
  cbQuality->setCurrentIndex(quality >= 0 && quality < cbQuality->count() ? quality : -1);
  connect(cbQuality, &QComboBox::activated, this, &TfrmClientMain::cbQualityChange);
  chkAutoPw->setChecked(FConfig->HasPassword());
  SetTextColor(btnConnect, Qt::white);
  RefreshRecent();

  SetRelayTlsConfigured(FConfig->RelayTls());
  FHost = std::make_unique<THostAgent>(AUi, GetRelayHost(), FRelayPort, FConfig->DeviceKey(),
                                       FConfig->PasswordHash(), std::move(AServices), ATimings);
  FHost->SetQuality(quality);
  FHost->OnID = [this](const std::string& AText) { HostID(AText); };
  FHost->OnStatus = [this](const std::string& AText) { HostStatus(AText); };
  FHost->OnLog = [this](const std::string& AText) { AddLog(Q(AText)); };
  FHost->OnConsent = [this](const std::string& AName, const std::string& AIP, bool& AAllow) {
    HostConsent(AName, AIP, AAllow);
  };
  FHost->OnSessionStart = [this](const std::string&) { HostSessionStart(); };
  FHost->OnSessionEnd = [this] { HostSessionEnd(); };
  FHost->OnChat = [this](const std::string& AText) { HostChat(AText); };
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
    FHost.reset();
  }
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
  mmoLog = new QPlainTextEdit(pnlRecent);
  mmoLog->setGeometry(432, 36, 264, 144);
  mmoLog->setFrameShape(QFrame::NoFrame);
  mmoLog->setReadOnly(true);
  mmoLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  mmoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmoLog->setFont(MonoFont(11));
  SetBackground(mmoLog, LogBack);
  SetTextColor(mmoLog, Grey);

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
  FConfig->AddRecent(AID, "");
  RefreshRecent();
  OpenViewer(AID, FConfig->MyName(), proof);
}

void TfrmClientMain::btnConnectClick() { ConnectTo(DigitsOnly(edtRemoteID->text().toStdString())); }

void TfrmClientMain::lstRecentDblClick() {
  const int index = lstRecent->currentRow();
  if (index >= 0 && index < int(FRecent.size())) ConnectTo(FRecent[size_t(index)].ID);
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
    FConfig->SetPasswordHash(hash);
    FHost->ChangePassword(hash);
    edtPassword->clear();
    edtPassword->setPlaceholderText(QStringLiteral("설정됨 ******"));
    FDialogs.Info(this, QStringLiteral("무인 접속 비밀번호가 설정되었습니다."));
  } else {
    FConfig->SetPasswordHash("");
    FHost->ChangePassword("");
    edtPassword->clear();
    chkAutoPw->setChecked(false);
    FDialogs.Info(this, QStringLiteral("무인 접속 비밀번호가 해제되었습니다. 이제 접속 시 동의 팝업으로 승인합니다."));
  }
}

void TfrmClientMain::cbQualityChange(int AIndex) { FConfig->SetDefaultQuality(AIndex); }

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
  // Lines are counted as the memo shows them: a wrapped entry counts once per piece.
  QTextDocument* doc = mmoLog->document();
  mmoLog->setUpdatesEnabled(false);
  if (!doc->isEmpty()) {
    while (LogLineCount() > MaxLogLines) {
      QTextBlock first = doc->begin();
      QTextCursor cursor(first);
      const int pieces = first.layout() ? first.layout()->lineCount() : 1;
      if (pieces > 1) {
        // Drop the first wrapped piece only, as a memo deleting its first line does.
        const QTextLine line = first.layout()->lineAt(0);
        cursor.setPosition(first.position() + line.textLength(), QTextCursor::KeepAnchor);
      } else {
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
      }
      cursor.removeSelectedText();
      doc->documentLayout()->documentSize();  // re-lays out the changed block
    }
  }
  const QString line = QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ') + AText;
  mmoLog->appendPlainText(line);
  mmoLog->setUpdatesEnabled(true);
  // TLMREMOTE_LOGFILE: every log line is also appended there, for unattended runs and scripts.
  // Best effort, like the ID file: a refused write must not disturb the user.
  const std::string logFile = Env("TLMREMOTE_LOGFILE");
  if (!logFile.empty()) {
    std::ofstream out(logFile, std::ios::binary | std::ios::app);
    if (out) out << line.toStdString() << '\n';
  }
}

void TfrmClientMain::HostChat(const std::string& AText) { AddLog(QStringLiteral("[채팅] 원격: ") + Q(AText)); }

void TfrmClientMain::HostConsent(const std::string& AViewerName, const std::string& AViewerIP, bool& AAllow) {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  const QString text = QStringLiteral("원격 지원 접속 요청이 있습니다.\r\n요청자: ") + Q(AViewerName) +
                       QStringLiteral(" (") + Q(AViewerIP) + QStringLiteral(")") + QStringLiteral("\r\n") +
                       QStringLiteral("\r\n") + QStringLiteral("이 접속을 허용하시겠습니까?");
  AAllow = FDialogs.Question(this, text);
}

void TfrmClientMain::SetMyPanelColor(const QColor& AColor) { SetBackground(pnlMy, AColor); }

void TfrmClientMain::HostSessionStart() { SetMyPanelColor(PanelInSession); }

void TfrmClientMain::HostSessionEnd() { SetMyPanelColor(PanelEnded); }

void TfrmClientMain::tmrUITimer() {
  if (FHost->InSession())
    lblHeaderState->setText(QStringLiteral("화면 공유 중"));
  else if (FHost->Connected())
    lblHeaderState->setText(QStringLiteral("온라인"));
  else
    lblHeaderState->setText(QStringLiteral("오프라인"));
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
