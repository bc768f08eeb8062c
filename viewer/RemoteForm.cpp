#include "viewer/RemoteForm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "app/ClipboardSync.h"
#include "platform/Folders.h"
#include "platform/Input.h"
#include "platform/KeyCodes.h"
#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/ReceivedFile.h"
#include "viewer/RemotePaths.h"
#include "viewer/TileDecoder.h"

namespace tlm {

namespace {

constexpr int ConnectTimeoutMs = 8000;
constexpr int ReadTimeoutMs = 45000;

enum : int { TagParent = 1, TagFolder = 2, TagFile = 3 };

QString Q(const std::string& AText) { return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size())); }
std::string U(const QString& AText) { return AText.toStdString(); }
QString TextOfPayload(const std::vector<uint8_t>& APayload) {
  return QString::fromUtf8(reinterpret_cast<const char*>(APayload.data()), static_cast<qsizetype>(APayload.size()));
}

QFont KoreanFont(const QFont& ABase) {
  QFont f = ABase;
  f.setFamilies({QStringLiteral("Malgun Gothic"), QStringLiteral("Noto Sans CJK KR"), QStringLiteral("Noto Sans KR")});
  return f;
}

void SetBackground(QWidget* AWidget, const QColor& AColour) {
  QPalette pal = AWidget->palette();
  pal.setColor(QPalette::Window, AColour);
  AWidget->setPalette(pal);
  AWidget->setAutoFillBackground(true);
}

QLabel* WhiteLabel(const QString& AText, QWidget* AParent, int AX, int AY, int AW, int AH) {
  auto* label = new QLabel(AText, AParent);
  label->setGeometry(AX, AY, AW, AH);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, Qt::white);
  label->setPalette(pal);
  return label;
}

uint8_t ButtonCode(Qt::MouseButton AButton) {
  switch (AButton) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 3;
    default: return 0;
  }
}

}  // namespace

// The paint box: no keyboard focus, hands paint and mouse events to its window.
class TRemoteCanvas final : public QWidget {
public:
  TRemoteCanvas(TfrmRemote* AOwner, QWidget* AParent) : QWidget(AParent), FOwner(AOwner) {
    setObjectName(QStringLiteral("FCanvas"));
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    FOwner->CanvasPaint(painter);
  }
  void mousePressEvent(QMouseEvent* AEvent) override { FOwner->CanvasMouseDown(AEvent); }
  void mouseReleaseEvent(QMouseEvent* AEvent) override { FOwner->CanvasMouseUp(AEvent); }
  void mouseMoveEvent(QMouseEvent* AEvent) override { FOwner->CanvasMouseMove(AEvent); }
  void mouseDoubleClickEvent(QMouseEvent* AEvent) override { FOwner->CanvasDblClick(AEvent); }

private:
  TfrmRemote* FOwner;
};

TViewerDialogs TViewerDialogs::Standard() {
  TViewerDialogs d;
  const QString title = QStringLiteral("TALMIR Remote");
  d.Error = [title](QWidget* AParent, const QString& AText) { QMessageBox::critical(AParent, title, AText); };
  d.Warning = [title](QWidget* AParent, const QString& AText) { QMessageBox::warning(AParent, title, AText); };
  d.Info = [title](QWidget* AParent, const QString& AText) { QMessageBox::information(AParent, title, AText); };
  d.OpenFile = [](QWidget* AParent) { return QFileDialog::getOpenFileName(AParent); };
  return d;
}

// ---------------------------------------------------------------------------------------
// Construction and teardown

TfrmRemote::TfrmRemote(QObject* AOwner, const std::string& AServer, uint16_t APort, const std::string& ATargetID,
                       const std::string& AMyName, const std::string& AProof, int ADefaultQuality)
    : QWidget(nullptr),
      FGuard(NewLifeGuard()),
      FServer(AServer),
      FPort(APort),
      FMyName(AMyName),
      FTargetID(ATargetID),
      FProof(AProof),
      FDialogs(TViewerDialogs::Standard()),
      FDownloadsDir(UserDownloadDir()) {
  if (AOwner) {
    QPointer<TfrmRemote> self(this);
    if (auto* app = qobject_cast<QCoreApplication*>(AOwner))
      connect(app, &QCoreApplication::aboutToQuit, [self] { delete self.data(); });
    else
      connect(AOwner, &QObject::destroyed, [self] { delete self.data(); });
  }

  setObjectName(QStringLiteral("frmRemote"));
  setWindowTitle(QStringLiteral("TALMIR Remote - ") + Q(FormatID(FTargetID)));
  resize(1100, 720);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(550, 360));
  setFont(KoreanFont(font()));
  // The dark theme: every control inherits these colours.
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(32, 32, 32));
  pal.setColor(QPalette::WindowText, QColor(230, 230, 230));
  pal.setColor(QPalette::Base, QColor(30, 30, 30));
  pal.setColor(QPalette::AlternateBase, QColor(37, 37, 37));
  pal.setColor(QPalette::Text, Qt::white);
  pal.setColor(QPalette::Button, QColor(58, 58, 58));
  pal.setColor(QPalette::ButtonText, Qt::white);
  pal.setColor(QPalette::Highlight, QColor(59, 74, 108));
  pal.setColor(QPalette::HighlightedText, Qt::white);
  setPalette(pal);
  setAutoFillBackground(true);
  // Key preview: the window sees key and wheel events before the focused control does.
  qApp->installEventFilter(this);

  BuildControls();
  cbQuality->setCurrentIndex(ADefaultQuality >= 0 && ADefaultQuality <= 2 ? ADefaultQuality : 1);
  FQualityIndex.store(cbQuality->currentIndex());
  // The first control in tab order holds the focus when the window opens.
  cbQuality->setFocus(Qt::OtherFocusReason);

  FClip = std::make_unique<TClipboardSync>();
  FClip->OnLocalCopy = [this](const QString& AText) { ClipLocalCopy(AText); };
}

void TfrmRemote::BuildControls() {
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  FToolbar = new QWidget(this);
  FToolbar->setObjectName(QStringLiteral("FToolbar"));
  FToolbar->setFixedHeight(42);
  SetBackground(FToolbar, QColor(43, 43, 43));
  WhiteLabel(QStringLiteral("화질"), FToolbar, 12, 13, 40, 16);
  cbQuality = new QComboBox(FToolbar);
  cbQuality->setObjectName(QStringLiteral("cbQuality"));
  cbQuality->setGeometry(48, 8, 96, 28);
  cbQuality->addItems({QStringLiteral("빠름"), QStringLiteral("표준"), QStringLiteral("고화질")});
  cbQuality->setCurrentIndex(1);
  WhiteLabel(QStringLiteral("모니터"), FToolbar, 158, 13, 40, 16);
  cbMonitor = new QComboBox(FToolbar);
  cbMonitor->setObjectName(QStringLiteral("cbMonitor"));
  cbMonitor->setGeometry(200, 8, 120, 28);
  auto* btnSendFile = new QPushButton(QStringLiteral("파일 보내기"), FToolbar);
  btnSendFile->setObjectName(QStringLiteral("btnSendFile"));
  btnSendFile->setGeometry(332, 6, 96, 30);
  auto* btnFiles = new QPushButton(QStringLiteral("원격 파일"), FToolbar);
  btnFiles->setObjectName(QStringLiteral("btnFiles"));
  btnFiles->setGeometry(434, 6, 96, 30);
  auto* btnChat = new QPushButton(QStringLiteral("채팅"), FToolbar);
  btnChat->setObjectName(QStringLiteral("btnChat"));
  btnChat->setGeometry(536, 6, 96, 30);

  FStatus = new QStatusBar(this);
  FStatus->setObjectName(QStringLiteral("FStatus"));
  FStatus->setSizeGripEnabled(false);
  FStatusLabel = new QLabel(QStringLiteral("연결 중..."), FStatus);
  FStatusLabel->setContentsMargins(6, 0, 0, 0);
  FStatus->addWidget(FStatusLabel, 1);

  FChatPanel = new QWidget(this);
  FChatPanel->setObjectName(QStringLiteral("FChatPanel"));
  FChatPanel->setFixedWidth(260);
  SetBackground(FChatPanel, QColor(37, 37, 37));
  auto* chatLayout = new QVBoxLayout(FChatPanel);
  chatLayout->setContentsMargins(0, 0, 0, 0);
  chatLayout->setSpacing(0);
  FChatLog = new QPlainTextEdit(FChatPanel);
  FChatLog->setObjectName(QStringLiteral("FChatLog"));
  FChatLog->setReadOnly(true);
  FChatLog->setFrameShape(QFrame::NoFrame);
  FChatLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  {
    QPalette pal = FChatLog->palette();
    pal.setColor(QPalette::Base, QColor(30, 30, 30));
    pal.setColor(QPalette::Text, Qt::white);
    FChatLog->setPalette(pal);
  }
  FChatEdit = new QLineEdit(FChatPanel);
  FChatEdit->setObjectName(QStringLiteral("FChatEdit"));
  chatLayout->addWidget(FChatLog, 1);
  chatLayout->addWidget(FChatEdit);
  FChatPanel->hide();

  FFilePanel = new QWidget(this);
  FFilePanel->setObjectName(QStringLiteral("FFilePanel"));
  FFilePanel->setFixedHeight(200);
  auto* fileLayout = new QVBoxLayout(FFilePanel);
  fileLayout->setContentsMargins(0, 0, 0, 0);
  FFileList = new QTreeWidget(FFilePanel);
  FFileList->setObjectName(QStringLiteral("FFileList"));
  FFileList->setColumnCount(2);
  FFileList->setHeaderLabels({QStringLiteral("이름"), QStringLiteral("크기")});
  FFileList->setColumnWidth(0, 380);
  FFileList->setColumnWidth(1, 120);
  FFileList->setRootIsDecorated(false);
  FFileList->setSelectionBehavior(QAbstractItemView::SelectRows);
  FFileList->setSelectionMode(QAbstractItemView::SingleSelection);
  FFileList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  fileLayout->addWidget(FFileList);
  FFilePanel->hide();

  FScroll = new QScrollArea(this);
  FScroll->setObjectName(QStringLiteral("FScroll"));
  FScroll->setFrameShape(QFrame::NoFrame);
  FScroll->setFocusPolicy(Qt::NoFocus);
  FScroll->setWidgetResizable(true);
  FScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  SetBackground(FScroll->viewport(), Qt::black);
  FCanvas = new TRemoteCanvas(this, FScroll);
  FScroll->setWidget(FCanvas);

  // Top: toolbar; bottom: file panel above the status bar; the chat panel on the right of
  // the picture between them.
  auto* middle = new QHBoxLayout;
  middle->setContentsMargins(0, 0, 0, 0);
  middle->setSpacing(0);
  middle->addWidget(FScroll, 1);
  middle->addWidget(FChatPanel);
  root->addWidget(FToolbar);
  root->addLayout(middle, 1);
  root->addWidget(FFilePanel);
  root->addWidget(FStatus);

  connect(cbQuality, &QComboBox::currentIndexChanged, this, [this](int AIndex) { FQualityIndex.store(AIndex); });
  connect(cbQuality, &QComboBox::activated, this, [this](int AIndex) { QualityChange(AIndex); });
  connect(cbMonitor, &QComboBox::activated, this, [this](int AIndex) { MonitorChange(AIndex); });
  connect(btnSendFile, &QPushButton::clicked, this, [this] { SendFileClick(); });
  connect(btnFiles, &QPushButton::clicked, this, [this] { ToggleFiles(); });
  connect(btnChat, &QPushButton::clicked, this, [this] { ToggleChat(); });
  connect(FFileList, &QTreeWidget::itemDoubleClicked, this, [this] { FileListDblClick(); });
}

TfrmRemote::~TfrmRemote() {
  // 1. No queued action may touch the window from now on.
  FGuard->Kill();
  if (qApp) qApp->removeEventFilter(this);
  // 2. Stop the reader and an upload worker: the abort wakes a blocked read or write, and
  // both threads are waited for before anything they use goes away.
  FUploadStop.store(true);
  FClient.Abort();
  if (FReader.joinable()) FReader.join();
  if (FUploadThread.joinable()) FUploadThread.join();
  // 3. The rest; an unfinished download is removed, never left under its real name.
  FRecvFile.Abandon();
  FClip.reset();
  FClient.Close();
}

// ---------------------------------------------------------------------------------------
// Marshalling, status, sending

void TfrmRemote::Post(std::function<void()> AProc) {
  TLifeGuardRef guard = FGuard;
  if (QThread::currentThread() == qApp->thread()) {
    if (guard->Alive()) AProc();
    return;
  }
  QMetaObject::invokeMethod(
      qApp, [guard, proc = std::move(AProc)] {
        if (guard->Alive()) proc();
      },
      Qt::QueuedConnection);
}

void TfrmRemote::SetStatusText(const QString& AText) {
  Post([this, AText] { FStatusLabel->setText(AText); });
}

QString TfrmRemote::StatusText() const { return FStatusLabel->text(); }

QWidget* TfrmRemote::Canvas() const { return FCanvas; }

QImage TfrmRemote::ScreenSnapshot() const {
  std::lock_guard lock(FScreenLock);
  return FRemoteBmp.copy();
}

void TfrmRemote::SendEmpty(uint32_t AType) { WriteEmptyPacket(FClient, AType, &FWriteLock); }
void TfrmRemote::SendBytes(uint32_t AType, std::span<const uint8_t> APayload) {
  WritePacket(FClient, AType, APayload, &FWriteLock);
}
void TfrmRemote::SendText(uint32_t AType, const std::string& AText) {
  WriteTextPacket(FClient, AType, AText, &FWriteLock);
}

void TfrmRemote::ReportError(const QString& AText) {
  if (FDialogs.Error) FDialogs.Error(this, AText);
}

// ---------------------------------------------------------------------------------------
// Connection and reader

void TfrmRemote::StartConnect() {
  if (FStarted) return;
  FStarted = true;
  try {
    FClient.Connect(FServer, FPort, ConnectTimeoutMs);
    FClient.SetReadTimeout(ReadTimeoutMs);
    SendText(MsgConnectRequest, BuildConnectRequest(FTargetID, FMyName, FProof));
  } catch (const std::exception& e) {
    const TLifeGuardRef guard = FGuard;
    if (FDialogs.Error) FDialogs.Error(this, QStringLiteral("서버에 연결할 수 없습니다: ") + QString::fromUtf8(e.what()));
    if (guard->Alive()) close();
    return;
  }
  SetStatusText(QStringLiteral("원격지 승인 대기 중..."));
  FReader = std::thread([this] { ReaderLoop(); });
}

void TfrmRemote::ReaderLoop() {
  try {
    while (FClient.Connected()) {
      TPacket packet = ReadPacket(FClient);
      DispatchCmd(packet.Type, packet.Payload);
    }
  } catch (...) {
    FConnected.store(false);
    Post([this] {
      FConnected.store(false);
      FStatusLabel->setText(QStringLiteral("연결 종료됨"));
    });
  }
}

void TfrmRemote::DispatchCmd(uint32_t AType, const std::vector<uint8_t>& APayload) {
  switch (AType) {
    case MsgSessionStart: {
      FConnected.store(true);
      const uint8_t preset = static_cast<uint8_t>(FQualityIndex.load());
      SendBytes(MsgQuality, std::span<const uint8_t>(&preset, 1));
      SetStatusText(QStringLiteral("연결됨 - 원격 제어 중"));
      break;
    }
    case MsgSessionEnd:
      FConnected.store(false);
      SetStatusText(QStringLiteral("원격지 연결 종료됨"));
      break;
    case MsgFrame:
      ApplyFrame(APayload);
      SendEmpty(MsgFrameAck);
      WriteResultFile(APayload.size());
      break;
    case MsgMonitorList: {
      std::string text = TextOf(APayload);
      Post([this, text] { ShowMonitors(text); });
      break;
    }
    case MsgClipboard: {
      QString text = TextOfPayload(APayload);
      Post([this, text] { FClip->ApplyRemote(text); });
      break;
    }
    case MsgChat: {
      QString text = TextOfPayload(APayload);
      Post([this, text] { ShowChat(text); });
      break;
    }
    case MsgFileBegin:
      DownloadBegin(TextOf(APayload));
      break;
    case MsgFileChunk:
      DownloadChunk(APayload);
      break;
    case MsgFileEnd:
      DownloadEnd();
      break;
    case MsgFileError:
      FSendingFile.store(false);
      SetStatusText(QStringLiteral("파일 거부됨: ") + TextOfPayload(APayload));
      break;
    case MsgDirListing: {
      std::string text = TextOf(APayload);
      Post([this, text] { ShowListing(text); });
      break;
    }
    case MsgRelayError: {
      QString text = TextOfPayload(APayload);
      Post([this, text] {
        FStatusLabel->setText(QStringLiteral("오류: ") + text);
        const TLifeGuardRef guard = FGuard;
        if (FDialogs.Warning) FDialogs.Warning(this, text);
        if (guard->Alive()) close();
      });
      break;
    }
    default:
      break;
  }
}

void TfrmRemote::WriteResultFile(size_t APayloadSize) {
  const char* path = std::getenv("TLMREMOTE_RESULTFILE");
  if (!path || !*path) return;
  // Only the first frame counts: the hidden window keeps receiving frames afterwards.
  if (FResultWritten) return;
  FResultWritten = true;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out << "OK " << APayloadSize;
  }
  Post([this] { close(); });
}

// ---------------------------------------------------------------------------------------
// Frames and painting

void TfrmRemote::ApplyFrame(std::span<const uint8_t> APayload) {
  TParsedFrame frame;
  if (!ParseFramePayload(APayload, frame)) return;
  if (frame.ScreenW > MaxRemoteScreenSide || frame.ScreenH > MaxRemoteScreenSide) return;

  TTileDecoder decoder;  // one decompressor for all tiles of this frame
  // A tile larger than the screen it belongs to makes the whole frame unusable; look at
  // every header before anything is drawn, so the picture stays as it was. A header that
  // cannot be read is left to the decoding below, which reports it.
  for (const TParsedRect& rect : frame.Rects) {
    if (rect.Jpeg.empty()) continue;
    int w = 0, h = 0;
    if (!decoder.PeekSize(rect.Jpeg, w, h)) break;
    if (w > frame.ScreenW || h > frame.ScreenH) return;
  }

  {
    std::lock_guard lock(FScreenLock);
    if (FRemoteBmp.width() != frame.ScreenW || FRemoteBmp.height() != frame.ScreenH) {
      QImage resized;
      if (frame.ScreenW > 0 && frame.ScreenH > 0) {
        resized = QImage(frame.ScreenW, frame.ScreenH, QImage::Format_RGB32);
        if (resized.isNull()) throw TError("no memory for the remote screen");
        resized.fill(Qt::black);
      }
      FRemoteBmp = std::move(resized);
      FRemoteW.store(frame.ScreenW);
      FRemoteH.store(frame.ScreenH);
    }
    TPixelTarget target;
    if (!FRemoteBmp.isNull()) {
      target.Bits = FRemoteBmp.bits();
      target.Width = FRemoteBmp.width();
      target.Height = FRemoteBmp.height();
      target.Stride = FRemoteBmp.bytesPerLine();
    }
    for (const TParsedRect& rect : frame.Rects) {
      if (rect.Jpeg.empty()) continue;
      decoder.DrawInto(rect.Jpeg, target, rect.X, rect.Y);
    }
  }
  Post([this] { FCanvas->update(); });
}

void TfrmRemote::CanvasPaint(QPainter& APainter) {
  std::lock_guard lock(FScreenLock);
  const QRect area = FCanvas->rect();
  if (FRemoteW.load() <= 0 || FRemoteH.load() <= 0 || FRemoteBmp.isNull()) {
    APainter.fillRect(area, Qt::black);
    APainter.setPen(QColor(128, 128, 128));
    APainter.setFont(FCanvas->font());
    APainter.drawText(QRect(20, 20, qMax(0, area.width() - 20), qMax(0, area.height() - 20)),
                      Qt::AlignLeft | Qt::AlignTop, QStringLiteral("화면 수신 대기 중..."));
    return;
  }
  APainter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  APainter.drawImage(area, FRemoteBmp);
}

// ---------------------------------------------------------------------------------------
// Mouse and keys

void TfrmRemote::SendMouse(int AX, int AY, uint8_t AButton, uint8_t AAction, int16_t AWheelDelta) {
  if (!FConnected.load()) return;
  const int cw = FCanvas->width();
  const int ch = FCanvas->height();
  TMouseEventRec rec{};
  rec.X = cw > 0 ? MulDiv(AX, FRemoteW.load(), cw) : AX;
  rec.Y = ch > 0 ? MulDiv(AY, FRemoteH.load(), ch) : AY;
  rec.Button = AButton;
  rec.Action = AAction;
  rec.WheelDelta = AWheelDelta;
  try {
    SendBytes(MsgMouse, PackMouseEvent(rec));
  } catch (...) {
    // Input that cannot be sent is dropped; the next event tries again.
  }
}

void TfrmRemote::SendKey(uint16_t AVirtualKey, bool AKeyUp, bool AExtended) {
  if (!FConnected.load()) return;
  TKeyEventRec rec{};
  rec.VirtualKey = AVirtualKey;
  rec.ScanCode = ScanCodeFromVirtualKey(AVirtualKey);
  rec.KeyUp = AKeyUp ? 1 : 0;
  rec.Extended = AExtended ? 1 : 0;
  try {
    SendBytes(MsgKey, PackKeyEvent(rec));
  } catch (...) {
  }
}

void TfrmRemote::CanvasMouseDown(QMouseEvent* AEvent) {
  const QPoint p = AEvent->position().toPoint();
  SendMouse(p.x(), p.y(), ButtonCode(AEvent->button()), 1, 0);
}

void TfrmRemote::CanvasMouseUp(QMouseEvent* AEvent) {
  const QPoint p = AEvent->position().toPoint();
  SendMouse(p.x(), p.y(), ButtonCode(AEvent->button()), 2, 0);
}

void TfrmRemote::CanvasMouseMove(QMouseEvent* AEvent) {
  const QPoint p = AEvent->position().toPoint();
  SendMouse(p.x(), p.y(), 0, 0, 0);
}

void TfrmRemote::CanvasDblClick(QMouseEvent* AEvent) {
  // The second press of a double-click arrives here instead of as a press: report the
  // double-click (left button, at the cursor's current position), then the press itself.
  if (AEvent->button() == Qt::LeftButton) {
    const QPoint p = FCanvas->mapFromGlobal(QCursor::pos());
    SendMouse(p.x(), p.y(), 1, 3, 0);
  }
  CanvasMouseDown(AEvent);
}

bool TfrmRemote::FormMouseWheel(QWheelEvent* AEvent) {
  if (!FConnected.load()) return false;
  const int delta = AEvent->angleDelta().y();
  if (delta == 0) return false;  // sideways turns have no counterpart on the host
  const QPoint p = FCanvas->mapFromGlobal(AEvent->globalPosition().toPoint());
  if (!FCanvas->rect().contains(p)) return false;
  SendMouse(p.x(), p.y(), 0, 4, static_cast<int16_t>(delta));
  return true;
}

bool TfrmRemote::FormKey(QKeyEvent* AEvent, bool AKeyUp) {
  if (!FConnected.load()) return false;
  QWidget* focus = focusWidget();
  if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QComboBox*>(focus)) return false;
  // X repeats a held key as release + press pairs; the host sees only the presses, as a
  // held key on Windows would produce.
  if (AKeyUp && AEvent->isAutoRepeat()) return true;
  const std::optional<uint16_t> vk = VirtualKeyFromNativeKey(AEvent->nativeVirtualKey());
  if (vk) SendKey(*vk, AKeyUp, IsExtendedVirtualKey(*vk));
  return true;  // consumed: no local control acts on a forwarded key
}

bool TfrmRemote::eventFilter(QObject* AWatched, QEvent* AEvent) {
  const QEvent::Type type = AEvent->type();
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::Wheel)
    return QWidget::eventFilter(AWatched, AEvent);
  auto* widget = qobject_cast<QWidget*>(AWatched);
  if (!widget || widget->window() != this) return QWidget::eventFilter(AWatched, AEvent);
  if (type == QEvent::Wheel) return FormMouseWheel(static_cast<QWheelEvent*>(AEvent));
  auto* key = static_cast<QKeyEvent*>(AEvent);
  if (FormKey(key, type == QEvent::KeyRelease)) return true;
  if (type == QEvent::KeyPress && AWatched == FChatEdit) return ChatEditKeyDown(key);
  return false;
}

// ---------------------------------------------------------------------------------------
// Files

void TfrmRemote::SendFileClick() {
  if (!FConnected.load()) return;
  if (FSendingFile.load() || FUploadRunning.load()) {
    // A worker still streaming after a refusal counts as running too: two files must never
    // interleave their chunks.
    if (FDialogs.Info) FDialogs.Info(this, QStringLiteral("이미 파일 전송이 진행 중입니다."));
    return;
  }
  const QString path = FDialogs.OpenFile ? FDialogs.OpenFile(this) : QString();
  if (path.isEmpty()) return;
  DoSendFile(path);
}

void TfrmRemote::DoSendFile(const QString& APath) {
  // The host keeps only what follows the last "\\" or ":", so the name shown here is that part.
  QString name = QFileInfo(APath).fileName();
  name = name.mid(qMax(name.lastIndexOf(QLatin1Char('\\')), name.lastIndexOf(QLatin1Char(':'))) + 1);
  const std::string path = U(APath);
  uint64_t size = 0;
  {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const QString why = fd < 0 ? QString::fromUtf8(std::strerror(errno)) : QStringLiteral("not a regular file");
      if (fd >= 0) ::close(fd);
      ReportError(APath + QStringLiteral(": ") + why);
      return;
    }
    size = static_cast<uint64_t>(st.st_size);
    ::close(fd);
  }
  FSendingFile.store(true);
  SetStatusText(QStringLiteral("전송 중: ") + name);
  try {
    SendText(MsgFileBegin, BuildFileBegin(U(name), size));
  } catch (const std::exception& e) {
    ReportError(QString::fromUtf8(e.what()));
    return;
  }
  if (FUploadThread.joinable()) FUploadThread.join();  // the previous worker has finished
  FUploadRunning.store(true);
  FUploadThread = std::thread([this, path, name] { UploadBody(path, name); });
}

void TfrmRemote::UploadBody(std::string APath, QString AName) {
  int fd = -1;
  try {
    fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw TError(std::strerror(errno));
    std::vector<uint8_t> buffer(FileChunkSize);
    while (FConnected.load() && !FUploadStop.load()) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw TError(std::strerror(errno));
      }
      if (n == 0) break;
      SendBytes(MsgFileChunk, std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
    }
    SendEmpty(MsgFileEnd);
    ::close(fd);
    fd = -1;
    FUploadRunning.store(false);
    Post([this, AName] {
      FSendingFile.store(false);
      FStatusLabel->setText(QStringLiteral("파일 전송 완료: ") + AName);
    });
  } catch (...) {
    if (fd >= 0) ::close(fd);
    FUploadRunning.store(false);
    Post([this] { FSendingFile.store(false); });
  }
}

void TfrmRemote::ToggleFiles() {
  FFilePanel->setVisible(FFilePanel->isHidden());
  if (!FFilePanel->isHidden() && FFileList->topLevelItemCount() == 0) RequestListing(std::string());
}

void TfrmRemote::RequestListing(const std::string& APath) {
  if (!FConnected.load()) return;
  try {
    SendText(MsgListDir, APath);
  } catch (const std::exception& e) {
    ReportError(QString::fromUtf8(e.what()));
  }
}

void TfrmRemote::FileListDblClick() {
  QTreeWidgetItem* item = FFileList->currentItem();
  if (!item || !item->isSelected()) return;
  const int tag = item->data(0, Qt::UserRole).toInt();
  const std::string caption = U(item->text(0));
  if (tag == TagParent) {
    if (FCurPath.empty()) return;
    const std::string parent = RemoteParentPath(FCurPath);
    RequestListing(parent == FCurPath ? std::string() : parent);
  } else if (tag == TagFolder) {
    if (caption.size() < 2) return;
    const std::string name = caption.substr(1, caption.size() - 2);
    RequestListing(FCurPath.empty() ? name : RemoteChildPath(FCurPath, name));
  } else if (tag == TagFile) {
    if (FCurPath.empty()) return;
    try {
      SendText(MsgFileGet, RemoteChildPath(FCurPath, caption));
    } catch (const std::exception& e) {
      ReportError(QString::fromUtf8(e.what()));
    }
  }
}

void TfrmRemote::ShowListing(const std::string& AText) {
  const std::optional<TDirListing> listing = ParseDirListing(AText);
  if (!listing) return;
  if (listing->IsError) {
    FStatusLabel->setText(QStringLiteral("목록 오류: ") + Q(listing->ErrorText));
    return;
  }
  FFileList->setUpdatesEnabled(false);
  FFileList->clear();
  FCurPath = listing->Path;
  if (!FCurPath.empty()) {
    auto* up = new QTreeWidgetItem(FFileList, {QStringLiteral("[..]")});
    up->setData(0, Qt::UserRole, TagParent);
  }
  const QLocale locale = QLocale::system();
  for (const TDirListing::TLine& line : listing->Entries) {
    if (line.IsDir) {
      auto* row = new QTreeWidgetItem(FFileList, {QStringLiteral("[") + Q(line.Name) + QStringLiteral("]"), QString()});
      row->setData(0, Qt::UserRole, TagFolder);
      continue;
    }
    int64_t bytes = 0;
    const char* first = line.SizeText.data();
    const char* last = first + line.SizeText.size();
    const auto parsed = std::from_chars(first, last, bytes);
    if (parsed.ec != std::errc() || parsed.ptr != last || line.SizeText.empty()) {
      FFileList->setUpdatesEnabled(true);
      ReportError(QStringLiteral("'") + Q(line.SizeText) + QStringLiteral("' is not a valid integer value"));
      return;
    }
    // Units of 1024 bytes, rounded half away from zero, with the locale's digit grouping.
    const int64_t kb = bytes >= 0 ? (bytes + 512) / 1024 : -((-bytes + 512) / 1024);
    auto* row = new QTreeWidgetItem(FFileList, {Q(line.Name), locale.toString(static_cast<qlonglong>(kb)) + QStringLiteral(" KB")});
    row->setData(0, Qt::UserRole, TagFile);
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
  FFileList->setUpdatesEnabled(true);
  FStatusLabel->setText(QStringLiteral("원격 경로: ") + (FCurPath.empty() ? QStringLiteral("드라이브") : Q(FCurPath)));
}

void TfrmRemote::DownloadBegin(const std::string& AText) {
  const std::vector<std::string> fields = SplitTabs(AText);
  if (fields.size() < 2) return;
  FRecvName = SafeLeafName(fields[0]);
  std::optional<uint64_t> expected;
  {
    uint64_t size = 0;
    const std::string& text = fields[1];
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), size);
    if (parsed.ec == std::errc() && parsed.ptr == text.data() + text.size() && !text.empty()) expected = size;
  }
  try {
    FRecvFile.Abandon();  // an unfinished download is dropped
    if (FRecvName.empty()) return;
    FRecvFile.Begin(FDownloadsDir, FRecvName, expected);
    SendEmpty(MsgFileReady);
    SetStatusText(QStringLiteral("다운로드 중: ") + Q(FRecvName));
  } catch (...) {
    FRecvFile.Abandon();
  }
}

void TfrmRemote::DownloadChunk(std::span<const uint8_t> AData) {
  if (!FRecvFile.IsOpen() || AData.empty()) return;
  if (FRecvFile.Expected() && FRecvFile.Received() + AData.size() > *FRecvFile.Expected()) {
    // More than announced: the file cannot come out right, so stop filling the disk with it.
    FRecvFile.Abandon();
    SetStatusText(QStringLiteral("다운로드 실패: ") + Q(FRecvName));
    return;
  }
  FRecvFile.Append(AData);  // a failed write ends the session like a lost connection
}

void TfrmRemote::DownloadEnd() {
  if (!FRecvFile.IsOpen()) return;
  const TReceivedFile::TResult stored = FRecvFile.Finish();
  if (stored.Complete)
    SetStatusText(QStringLiteral("다운로드 완료 (내려받기 폴더): ") + Q(FileNamePart(stored.Path)));
  else
    SetStatusText(QStringLiteral("다운로드 실패: ") + Q(FRecvName));
}

// ---------------------------------------------------------------------------------------
// Quality, monitors, chat, clipboard

void TfrmRemote::QualityChange(int AIndex) {
  if (!FConnected.load() || AIndex < 0) return;
  const uint8_t preset = static_cast<uint8_t>(AIndex);
  try {
    SendBytes(MsgQuality, std::span<const uint8_t>(&preset, 1));
  } catch (const std::exception& e) {
    ReportError(QString::fromUtf8(e.what()));
  }
}

void TfrmRemote::ShowMonitors(const std::string& AText) {
  cbMonitor->setUpdatesEnabled(false);
  cbMonitor->clear();
  for (const TMonitorEntry& entry : ParseMonitorList(AText))
    cbMonitor->addItem(QStringLiteral("모니터 %1 (%2x%3)").arg(entry.Number).arg(Q(entry.WidthText), Q(entry.HeightText)));
  if (cbMonitor->count() > 0) cbMonitor->setCurrentIndex(0);
  cbMonitor->setUpdatesEnabled(true);
}

void TfrmRemote::MonitorChange(int AIndex) {
  if (!FConnected.load() || AIndex < 0) return;
  const uint8_t index = static_cast<uint8_t>(AIndex);
  try {
    SendBytes(MsgSelectMonitor, std::span<const uint8_t>(&index, 1));
  } catch (const std::exception& e) {
    ReportError(QString::fromUtf8(e.what()));
  }
}

void TfrmRemote::ToggleChat() {
  FChatPanel->setVisible(FChatPanel->isHidden());
  if (!FChatPanel->isHidden()) FChatEdit->setFocus(Qt::OtherFocusReason);
}

bool TfrmRemote::ChatEditKeyDown(QKeyEvent* AEvent) {
  if (AEvent->key() != Qt::Key_Return && AEvent->key() != Qt::Key_Enter) return false;
  const QString text = FChatEdit->text();
  if (TrimControl(U(text)).empty()) return false;
  try {
    SendText(MsgChat, U(text));
  } catch (const std::exception& e) {
    ReportError(QString::fromUtf8(e.what()));
    return true;
  }
  FChatLog->appendPlainText(QStringLiteral("나: ") + text);
  FChatEdit->clear();
  return true;
}

void TfrmRemote::ShowChat(const QString& AText) {
  if (FChatPanel->isHidden()) ToggleChat();
  FChatLog->appendPlainText(QStringLiteral("원격: ") + AText);
}

void TfrmRemote::ClipLocalCopy(const QString& AText) {
  if (!FConnected.load()) return;
  try {
    SendText(MsgClipboard, U(AText));
  } catch (...) {
  }
}

}  // namespace tlm
