// The viewer window against a scripted relay-and-host peer: session states as the window
// shows them, painting, the result file, input forwarding and its focus rules, the file
// panel, monitors, chat, clipboard, the banner, and teardown with work still in flight. What
// the session does with the partner's messages is tested without Qt in ViewerSessionTest.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QScreen>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QMenu>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QWheelEvent>
#include <X11/keysym.h>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/KeyCodes.h"
#include "qtui/QtTranslations.h"
#include "protocol/Frame.h"
#include "protocol/Messages.h"
#include "tests/viewer/ViewerTestSupport.h"
#include "viewer/AdmissionText.h"
#include "viewer/RemoteForm.h"
#include "viewer/TileDecoder.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;
using test::WaitUntil;

QString Q(const char* AUtf8) { return QString::fromUtf8(AUtf8); }

// Each rectangle is as large as its tile, as the host sends them.
TBytes Frame(int AW, int AH, const std::vector<std::tuple<int, int, TBytes>>& ATiles, uint32_t ANo = 1) {
  std::vector<TEncodedRect> rects;
  TTileDecoder decoder;
  for (const auto& [x, y, jpeg] : ATiles) {
    TEncodedRect r;
    r.Rect.X = static_cast<uint16_t>(x);
    r.Rect.Y = static_cast<uint16_t>(y);
    int w = 0, h = 0;
    if (decoder.PeekSize(jpeg, w, h)) {
      r.Rect.W = static_cast<uint16_t>(w);
      r.Rect.H = static_cast<uint16_t>(h);
    }
    r.Rect.DataLen = static_cast<uint32_t>(jpeg.size());
    r.Data = jpeg;
    rects.push_back(std::move(r));
  }
  return BuildFramePayload(ANo, AW, AH, false, rects);
}

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ViewerWindowTest : public ::testing::Test {
protected:
  void SetUp() override { OpenWindow(""); }
  void TearDown() override { delete FWindow; }

  void OpenWindow(const std::string& AProof, int AQuality = 1, const std::string& AResultFile = "") {
    FWindow = new TfrmRemote(nullptr, "127.0.0.1", FPeer.Port(), "123456789", "Tester", AProof, AQuality);
    FWindow->SetResultFile(AResultFile);
    TViewerDialogs dialogs;
    dialogs.Error = [this](QWidget*, const QString& AText) { FErrors << AText; };
    dialogs.Warning = [this](QWidget*, const QString& AText) { FWarnings << AText; };
    dialogs.Info = [this](QWidget*, const QString& AText) { FInfos << AText; };
    dialogs.OpenFiles = [this](QWidget*) {
      ++FOpenDialogs;
      return FNextFile.isEmpty() ? QStringList() : FNextFile.split('|');
    };
    FWindow->SetDialogs(dialogs);
    FCreatedStatus = FWindow->StatusText();
    FWindow->show();
    FWindow->StartConnect();
    FPeer.Accept();
    auto request = FPeer.Read();
    ASSERT_TRUE(request);
    ASSERT_EQ(request->Type, MsgConnectRequest);
    FRequest = TextOf(request->Payload);
  }

  // MsgSessionStart and the viewer's MsgQuality answer.
  uint8_t StartSession() {
    FPeer.Send(MsgSessionStart);
    auto quality = FPeer.Read();
    EXPECT_TRUE(quality && quality->Type == MsgQuality && quality->Payload == QualityPayload(quality->Payload.at(0)));
    EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("연결됨 - 원격 제어 중"); }));
    return quality && !quality->Payload.empty() ? quality->Payload[0] : 0xFF;
  }

  // Sends a frame and waits for its acknowledgement.
  void SendFrameAcked(const TBytes& APayload) {
    FPeer.Send(MsgFrame, APayload);
    auto ack = FPeer.Read();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->Type, MsgFrameAck);
    EXPECT_TRUE(ack->Payload.empty());
  }

  // Everything the reader posted so far has run once a chat line sent after it shows up.
  void Settle() {
    static int n = 0;
    const std::string marker = "settle-" + std::to_string(++n);
    FPeer.SendText(MsgChat, marker);
    ASSERT_TRUE(WaitUntil([&] { return FWindow->ChatLog()->toPlainText().contains(QString::fromStdString(marker)); }));
  }

  // Lets whatever the session queued run when no chat line can come through any more.
  void Settle2() {
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
  }

  TMouseEventRec ReadMouse() {
    auto p = FPeer.Read();
    EXPECT_TRUE(p && p->Type == MsgMouse);
    return p ? UnpackMouseEvent(p->Payload) : TMouseEventRec{};
  }
  TKeyEventRec ReadKey() {
    auto p = FPeer.Read();
    EXPECT_TRUE(p && p->Type == MsgKey);
    return p ? UnpackKeyEvent(p->Payload) : TKeyEventRec{};
  }

  test::TViewerPeer FPeer;
  TfrmRemote* FWindow = nullptr;
  QStringList FErrors, FWarnings, FInfos;
  QString FNextFile;
  int FOpenDialogs = 0;
  QString FCreatedStatus;
  std::string FRequest;
};

// ---------------------------------------------------------------------------------------
// Session states

TEST_F(ViewerWindowTest, StatusFollowsEverySessionState) {
  EXPECT_EQ(FCreatedStatus, Q("연결 중..."));
  EXPECT_EQ(FRequest, "123456789\tTester\t\tcontrol");
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("원격지 승인 대기 중..."); }));
  EXPECT_EQ(FWindow->windowTitle(), Q("TALMIR Remote - 123 456 789"));
  EXPECT_FALSE(FWindow->IsConnected());

  EXPECT_EQ(StartSession(), 1);
  EXPECT_TRUE(FWindow->IsConnected()) << int(FWindow->Session()->State()) << " " << FWindow->StatusText().toStdString();

  // An unknown type is read whole and ignored.
  FPeer.Send(200, TBytes(1000, 7));
  FPeer.Send(MsgSessionEnd);
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("원격지 연결 종료됨"); }));
  EXPECT_FALSE(FWindow->IsConnected());

  // A new session on the same connection asks for the quality now chosen.
  FWindow->QualityBox()->setCurrentIndex(2);
  EXPECT_TRUE(FPeer.Quiet());  // a programmatic change sends nothing
  EXPECT_EQ(StartSession(), 2);
  // The fourth entry is the link-paced preset, and travels as 3.
  ASSERT_EQ(FWindow->QualityBox()->count(), 4);
  EXPECT_EQ(FWindow->QualityBox()->itemText(3), Q("부드럽게"));
  FPeer.Send(MsgSessionEnd);
  EXPECT_TRUE(WaitUntil([&] { return !FWindow->IsConnected(); }));
  FWindow->QualityBox()->setCurrentIndex(3);
  EXPECT_EQ(StartSession(), 3);

  FPeer.Conn().Close();
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("연결 종료됨"); }));
  EXPECT_FALSE(FWindow->IsConnected());
  EXPECT_TRUE(FWindow->isVisible());  // the window stays
}

// A refusal says which it was, in the status line, a box and the banner; the window stays with
// "다시 연결", and the close that follows a refusal does not turn it into "연결 종료됨".
TEST_F(ViewerWindowTest, RefusalsSayWhichItWasAndTheWindowStays) {
  struct TCase {
    const char* Proof;
    std::string Relay;
    const char* Shown;
  } cases[] = {
      {"", "상대방이 오프라인이거나 존재하지 않는 ID입니다", "상대방이 오프라인이거나 존재하지 않는 ID입니다"},
      {"", std::string(AdmitRejectReason), "상대방이 접속을 거부했습니다"},
      {"the-proof", std::string(AdmitRejectReason), "비밀번호로 승인되지 않아 상대방에게 물었지만, 상대방이 접속을 거부했습니다"},
      {"", "상대방이 응답하지 않습니다 (시간 초과)", "상대방이 응답하지 않습니다 (시간 초과)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Relay);
    delete FWindow;
    FWindow = nullptr;
    FWarnings.clear();
    if (FPeer.Conn().Connected()) FPeer.Conn().Close();
    OpenWindow(c.Proof);
    FPeer.SendText(MsgRelayError, c.Relay);
    FPeer.Conn().Close();  // the relay closes after its answer
    ASSERT_TRUE(WaitUntil([&] { return !FWarnings.isEmpty(); }));
    EXPECT_EQ(FWarnings.join("|").toStdString(), c.Shown);
    EXPECT_EQ(FWindow->BannerText().toStdString(), c.Shown);
    Settle2();
    EXPECT_EQ(FWindow->StatusText().toStdString(), std::string("오류: ") + c.Shown);
    EXPECT_TRUE(FWindow->isVisible());
    EXPECT_TRUE(FWindow->ReconnectButton()->isVisible());
    EXPECT_FALSE(FWindow->Retrying());
  }
}

// With a password the host answers at once; when it does not, its user is being asked, and the
// viewer says so.
TEST_F(ViewerWindowTest, AnUnansweredPasswordSaysThePartnerIsAsked) {
  delete FWindow;
  FWindow = nullptr;
  FPeer.Conn().Close();
  OpenWindow("the-proof");
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q(AskingDespitePasswordText().c_str()); }))
      << FWindow->StatusText().toStdString();
  EXPECT_EQ(StartSession(), 1);
}

// A partner's megabyte of text is shown cut, and no text widens the window: a status label as
// wide as its text once took seconds to lay out and crashed the next paint.
TEST_F(ViewerWindowTest, LongTextsAreCutAndNeverWidenTheWindow) {
  StartSession();
  const QSize size = FWindow->size();
  FPeer.SendText(MsgFileError, std::string(1 << 20, 'e'));
  ASSERT_TRUE(WaitUntil([&] { return FWindow->StatusText().startsWith(Q("파일 거부됨: eee")); }));
  EXPECT_LE(FWindow->StatusText().size(), qsizetype(MaxStatusChars));
  Settle();
  EXPECT_EQ(FWindow->size(), size);
  EXPECT_FALSE(FWindow->grab().isNull());
}

TEST(ViewerConnectTest, RequestCarriesTheProofAndAFailedConnectKeepsTheWindow) {
  uint16_t deadPort = 0;
  {
    test::TLoopbackListener gone;
    deadPort = gone.Port();
  }
  QStringList errors;
  TfrmRemote window(nullptr, "127.0.0.1", deadPort, "42", "Tester", "abc", 0);
  TViewerDialogs dialogs;
  dialogs.Error = [&](QWidget*, const QString& AText) { errors << AText; };
  window.SetDialogs(dialogs);
  window.show();
  window.StartConnect();
  ASSERT_TRUE(WaitUntil([&] { return !errors.isEmpty(); }));
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors[0].startsWith(Q("서버에 연결할 수 없습니다: "))) << errors[0].toStdString();
  // The box goes, the window stays with the reason and "다시 연결"; a first attempt that never
  // reached the relay is not retried by itself.
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.BannerText(), errors[0]);
  EXPECT_TRUE(window.ReconnectButton()->isVisible());
  EXPECT_FALSE(window.Retrying());

  test::TViewerPeer peer;
  TfrmRemote good(nullptr, "127.0.0.1", peer.Port(), "42", "Tester", "abc", 0);
  good.StartConnect();
  peer.Accept();
  auto request = peer.Read();
  ASSERT_TRUE(request);
  EXPECT_EQ(TextOf(request->Payload), "42\tTester\tabc\tcontrol");
  peer.Send(MsgSessionStart);
  auto quality = peer.Read();
  ASSERT_TRUE(quality);
  EXPECT_EQ(quality->Payload, QualityPayload(0));  // the preset and the tile codings it decodes
}

// A window that shows itself only once the partner admits us: whatever ends the attempt before
// that is handed back with its reason, no box opens, and the window goes without ever showing.
TEST(ViewerConnectTest, AWindowOpenedOnAdmissionNeverShowsForAnAttemptThatFails) {
  enum class EEnd { RelayError, ClosedByRelay, Admitted, NoRelay, Cancelled };
  struct TCase {
    const char* What;
    EEnd End;
    std::string RelayText;
    const char* Reported;  // "" : nothing
  } cases[] = {
      {"unknown ID", EEnd::RelayError, "상대방이 오프라인이거나 존재하지 않는 ID입니다",
       "상대방이 오프라인이거나 존재하지 않는 ID입니다"},
      {"refused", EEnd::RelayError, std::string(AdmitRejectReason), "상대방이 접속을 거부했습니다"},
      {"relay closes", EEnd::ClosedByRelay, "", "연결 종료됨"},
      {"no relay", EEnd::NoRelay, "", "서버에 연결할 수 없습니다: "},
      {"cancelled by the user", EEnd::Cancelled, "", ""},
      {"admitted", EEnd::Admitted, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    auto peer = std::make_unique<test::TViewerPeer>();
    const uint16_t port = peer->Port();
    if (c.End == EEnd::NoRelay) peer.reset();
    QPointer<TfrmRemote> window = new TfrmRemote(nullptr, "127.0.0.1", port, "123456789", "Tester", "", 1);
    window->setAttribute(Qt::WA_DeleteOnClose);
    QStringList boxes, pending, ended;
    TViewerDialogs dialogs;
    dialogs.Error = dialogs.Warning = dialogs.Info = [&](QWidget*, const QString& AText) { boxes << AText; };
    window->SetDialogs(dialogs);
    window->SetShowOnAdmission(true);
    window->OnPendingStatus = [&](const QString& AText) { pending << AText; };
    window->OnEndedUnseen = [&](const QString& AText) { ended << AText; };
    bool everShown = false;
    window->StartConnect();
    const auto watch = [&] {
      everShown = everShown || (window && window->isVisible());
      return true;
    };
    if (peer) {
      peer->Accept();
      auto request = peer->Read();
      ASSERT_TRUE(request && request->Type == MsgConnectRequest);
      ASSERT_TRUE(WaitUntil([&] { return watch() && pending.contains(Q("원격지 승인 대기 중...")); }));
      EXPECT_TRUE(window->Unseen());
    }
    switch (c.End) {
      case EEnd::RelayError: peer->SendText(MsgRelayError, c.RelayText); break;
      case EEnd::ClosedByRelay: peer->Conn().Close(); break;
      // As a click would: from inside the event loop, where the window's deferred delete runs.
      case EEnd::Cancelled: QMetaObject::invokeMethod(window.data(), &QWidget::close, Qt::QueuedConnection); break;
      case EEnd::Admitted: peer->Send(MsgSessionStart); break;
      case EEnd::NoRelay: break;
    }
    if (c.End == EEnd::Admitted) {
      ASSERT_TRUE(WaitUntil([&] { return window && window->isVisible(); }));
      EXPECT_FALSE(window->Unseen());
      EXPECT_TRUE(ended.isEmpty());
      delete window.data();
      continue;
    }
    ASSERT_TRUE(WaitUntil([&] { return watch() && window.isNull(); }));
    EXPECT_FALSE(everShown);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();
    if (*c.Reported) {
      ASSERT_EQ(ended.size(), 1);
      EXPECT_TRUE(ended[0].startsWith(Q(c.Reported))) << ended[0].toStdString();
    } else {
      EXPECT_TRUE(ended.isEmpty());
      EXPECT_TRUE(peer->Closed());  // the request is withdrawn
    }
  }
}

TEST(ViewerConnectTest, OwnerDestroysItsWindows) {
  auto* owner = new QObject;
  QPointer<TfrmRemote> never = TfrmRemote::CreateSession(owner, "127.0.0.1", 1, "1", "n", "", 1);
  test::TViewerPeer peer;
  QPointer<TfrmRemote> live = TfrmRemote::CreateSession(owner, "127.0.0.1", peer.Port(), "2", "n", "", 1);
  live->show();
  live->StartConnect();
  peer.Accept();
  ASSERT_TRUE(peer.Read());
  peer.Send(MsgSessionStart);
  auto quality = peer.Read();
  EXPECT_TRUE(quality && quality->Type == MsgQuality);
  live->close();  // closing ends the session and the connection; the window object stays
  EXPECT_TRUE(peer.Closed());
  EXPECT_FALSE(live.isNull());
  EXPECT_FALSE(live->IsConnected());
  delete owner;
  EXPECT_TRUE(never.isNull());
  EXPECT_TRUE(live.isNull());
}

// ---------------------------------------------------------------------------------------
// Frames

TEST_F(ViewerWindowTest, ReaderEndsAsALostConnection) {
  struct TCase {
    const char* What;
    std::function<void(test::TViewerPeer&)> Send;
  } cases[] = {
      {"undecodable tile, no acknowledgement",
       [](test::TViewerPeer& APeer) {
         APeer.Send(MsgFrame, Frame(64, 48, {{0, 0, TBytes{0xFF, 0xD8, 0xFF, 0x00, 1, 2, 3}}}));
       }},
      {"packet above the size limit",
       [](test::TViewerPeer& APeer) {
         TBytes header(8);
         PutLE32(header.data(), MsgChat);
         PutLE32(header.data() + 4, MaxPacketPayload + 1);
         APeer.Conn().WriteAll(header.data(), header.size());
       }},
      {"peer closes", [](test::TViewerPeer& APeer) { APeer.Conn().Close(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    StartSession();
    c.Send(FPeer);
    EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("연결 종료됨"); }));
    EXPECT_FALSE(FWindow->IsConnected());
    EXPECT_TRUE(FWindow->isVisible());
    // Nothing more is sent, and the viewer's socket goes at once (no half-closed leftover).
    if (FPeer.Conn().Connected()) {
      EXPECT_TRUE(FPeer.Closed());
    }
    delete FWindow;
    FWindow = nullptr;
    OpenWindow("");
  }
}

TEST_F(ViewerWindowTest, CanvasShowsTheWaitingTextThenTheStretchedPicture) {
  FWindow->Canvas()->setFixedSize(320, 240);
  QImage waiting = FWindow->Canvas()->grab().toImage();
  EXPECT_EQ(QColor(waiting.pixel(300, 200)), QColor(Qt::black));
  int grey = 0;
  for (int y = 20; y < 60; ++y)
    for (int x = 20; x < 200; ++x)
      if (QColor(waiting.pixel(x, y)).red() > 60) ++grey;
  EXPECT_GT(grey, 20) << "the waiting text is drawn near (20, 20)";

  StartSession();
  SendFrameAcked(Frame(64, 48, {{0, 0, test::SolidJpeg(32, 48, Qt::red)}, {32, 0, test::SolidJpeg(32, 48, Qt::blue)}}));
  ASSERT_TRUE(WaitUntil([&] {
    const QImage shown = FWindow->Canvas()->grab().toImage();
    return test::Near(shown.pixel(40, 120), Qt::red, 30) && test::Near(shown.pixel(280, 120), Qt::blue, 30);
  }));
}

TEST_F(ViewerWindowTest, ResultFileHoldsTheFirstFrameSizeAndTheWindowCloses) {
  const fs::path dir = fs::temp_directory_path() / ("tlm-result-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  struct TCase {
    fs::path Path;
    bool Writable;
  } cases[] = {{dir / "result.txt", true}, {dir / "missing-folder" / "result.txt", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path.string());
    delete FWindow;
    FWindow = nullptr;
    if (FPeer.Conn().Connected()) FPeer.Conn().Close();
    OpenWindow("", 1, c.Path.string());
    StartSession();
    const TBytes payload = Frame(32, 32, {{0, 0, test::SolidJpeg(32, 32, Qt::gray)}});
    SendFrameAcked(payload);
    EXPECT_TRUE(WaitUntil([&] { return !FWindow->isVisible(); }));
    // Closing ended the session: the connection goes, and no later frame can touch the file.
    EXPECT_TRUE(FPeer.Closed());
    if (c.Writable) {
      EXPECT_EQ(ReadFile(c.Path), "OK " + std::to_string(payload.size()));
    }
    EXPECT_FALSE(fs::exists(c.Path) && !c.Writable);
  }
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------------------
// Mouse and keys

class ViewerInputTest : public ViewerWindowTest {
protected:
  void SetUp() override {
    ViewerWindowTest::SetUp();
    // A paint box of 1100 x 600: the window grows or shrinks by the difference.
    QApplication::processEvents();
    const QSize canvas = FWindow->Canvas()->size();
    FWindow->resize(FWindow->width() + 1100 - canvas.width(), FWindow->height() + 600 - canvas.height());
    ASSERT_TRUE(WaitUntil([&] { return FWindow->Canvas()->size() == QSize(1100, 600); }))
        << FWindow->Canvas()->width() << "x" << FWindow->Canvas()->height();
    FWindow->SetKeepAspect(false);  // the mapping cases start from the stretched picture
  }
  void Mouse(QEvent::Type AType, QPoint APos, Qt::MouseButton AButton) {
    QWidget* canvas = FWindow->Canvas();
    QMouseEvent e(AType, APos, canvas->mapToGlobal(APos), AButton,
                  AType == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(AButton), Qt::NoModifier);
    QApplication::sendEvent(canvas, &e);
  }
  bool Wheel(QWidget* ATarget, QPoint ALocal, int ADelta) {
    QWheelEvent e(ALocal, ATarget->mapToGlobal(ALocal), QPoint(), QPoint(0, ADelta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(ATarget, &e);
    return e.isAccepted();
  }
  void Key(QEvent::Type AType, int AQtKey, uint32_t AKeysym, const QString& AText = {}) {
    QWidget* target = FWindow->focusWidget() ? FWindow->focusWidget() : FWindow;
    QKeyEvent e(AType, AQtKey, Qt::NoModifier, 0, AKeysym, 0, AText);
    QApplication::sendEvent(target, &e);
  }
  void PressRelease(int AQtKey, uint32_t AKeysym, const QString& AText = {}) {
    Key(QEvent::KeyPress, AQtKey, AKeysym, AText);
    Key(QEvent::KeyRelease, AQtKey, AKeysym, AText);
  }
};

TEST_F(ViewerInputTest, MousePositionsAreScaledToTheRemoteScreen) {
  StartSession();
  // Before the first frame there is no screen to map onto: nothing goes out (a click would
  // land in the partner's top-left corner).
  Mouse(QEvent::MouseMove, {550, 300}, Qt::NoButton);
  Mouse(QEvent::MouseButtonPress, {550, 300}, Qt::LeftButton);
  Mouse(QEvent::MouseButtonRelease, {550, 300}, Qt::LeftButton);
  Wheel(FWindow->Canvas(), {550, 300}, 120);
  EXPECT_TRUE(FPeer.Quiet());

  SendFrameAcked(Frame(1920, 1080, {}));
  TMouseEventRec m;
  struct TCase {
    QEvent::Type Type;
    QPoint Pos;
    Qt::MouseButton Button;
    int X, Y;
    uint8_t ButtonCode, Action;
  } cases[] = {
      {QEvent::MouseButtonPress, {550, 300}, Qt::LeftButton, 960, 540, 1, 1},
      {QEvent::MouseButtonRelease, {550, 300}, Qt::LeftButton, 960, 540, 1, 2},
      {QEvent::MouseButtonPress, {1, 1}, Qt::RightButton, 2, 2, 2, 1},
      {QEvent::MouseButtonRelease, {1, 1}, Qt::RightButton, 2, 2, 2, 2},
      {QEvent::MouseButtonPress, {1099, 599}, Qt::MiddleButton, 1918, 1078, 3, 1},
      {QEvent::MouseMove, {275, 150}, Qt::NoButton, 480, 270, 0, 0},
      {QEvent::MouseMove, {-11, 1210}, Qt::NoButton, -19, 2178, 0, 0},  // a drag outside: not clamped
  };
  for (const auto& c : cases) {
    Mouse(c.Type, c.Pos, c.Button);
    m = ReadMouse();
    EXPECT_EQ(m.X, c.X) << c.Pos.x();
    EXPECT_EQ(m.Y, c.Y) << c.Pos.y();
    EXPECT_EQ(m.Button, c.ButtonCode);
    EXPECT_EQ(m.Action, c.Action);
    EXPECT_EQ(m.WheelDelta, 0);
  }

  // Qt reports every second press of a run of clicks as a double-click event: each run still
  // reaches the host as one press and one release per click, and nothing else.
  struct TClickRun {
    const char* What;
    std::vector<QEvent::Type> Events;
    Qt::MouseButton Button;
    uint8_t Code;
    int Clicks;
  } runs[] = {
      {"double-click", {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                        QEvent::MouseButtonRelease}, Qt::LeftButton, 1, 2},
      {"triple-click", {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                        QEvent::MouseButtonRelease, QEvent::MouseButtonPress, QEvent::MouseButtonRelease},
       Qt::LeftButton, 1, 3},
      {"right double-click", {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                              QEvent::MouseButtonRelease}, Qt::RightButton, 2, 2},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.What);
    for (QEvent::Type type : run.Events) Mouse(type, {550, 300}, run.Button);
    for (int i = 0; i < run.Clicks; ++i)
      for (uint8_t action : {1, 2}) {
        m = ReadMouse();
        EXPECT_EQ(m.Action, action) << "click " << i;
        EXPECT_EQ(m.Button, run.Code);
        EXPECT_EQ(m.X, 960);
        EXPECT_EQ(m.Y, 540);
      }
    EXPECT_TRUE(FPeer.Quiet());
  }

  // The wheel counts only over the picture.
  EXPECT_TRUE(Wheel(FWindow->Canvas(), {550, 300}, -240));
  m = ReadMouse();
  EXPECT_EQ(m.Action, 4);
  EXPECT_EQ(m.Button, 0);
  EXPECT_EQ(m.WheelDelta, -240);
  EXPECT_EQ(m.X, 960);
  Wheel(FWindow->findChild<QWidget*>("FToolbar"), {700, 20}, 120);
  FWindow->ChatPanel()->show();
  EXPECT_TRUE(WaitUntil([&] { return FWindow->Canvas()->width() == 1100 - 260; }));  // the picture narrows
  Wheel(FWindow->ChatLog(), {10, 10}, 120);
  EXPECT_TRUE(FPeer.Quiet());

  // Not connected: nothing is sent.
  FPeer.Send(MsgSessionEnd);
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->IsConnected(); }));
  Mouse(QEvent::MouseButtonPress, {550, 300}, Qt::LeftButton);
  Wheel(FWindow->Canvas(), {550, 300}, 120);
  EXPECT_TRUE(FPeer.Quiet());
}

TEST_F(ViewerInputTest, KeepingTheAspectLetterboxesAndMapsTheMouseExactly) {
  StartSession();
  SendFrameAcked(Frame(1920, 1080, {{0, 0, test::SolidJpeg(1920, 1080, Qt::red)}}));
  QPushButton* toggle = FWindow->findChild<QPushButton*>("btnKeepAspect");
  ASSERT_TRUE(toggle);
  EXPECT_FALSE(toggle->isChecked());
  std::vector<bool> reported;
  FWindow->OnKeepAspectChanged = [&](bool AKeep) { reported.push_back(AKeep); };
  toggle->click();
  EXPECT_EQ(reported, std::vector<bool>{true});
  // 1100 x 600 holds a 16:9 picture of 1067 x 600, 16 pixels in from the left.
  EXPECT_EQ(FWindow->PictureRect(), QRect(16, 0, 1067, 600));
  struct TCase {
    QPoint Pos;
    int X, Y;
  } cases[] = {{{16, 0}, 0, 0}, {{1082, 599}, 1918, 1078}, {{549, 300}, 959, 540}, {{5, 300}, -20, 540}};
  for (const auto& c : cases) {
    Mouse(QEvent::MouseMove, c.Pos, Qt::NoButton);
    const TMouseEventRec m = ReadMouse();
    EXPECT_EQ(m.X, c.X) << c.Pos.x();
    EXPECT_EQ(m.Y, c.Y) << c.Pos.y();
  }
  const QImage shown = FWindow->Canvas()->grab().toImage();
  EXPECT_EQ(QColor(shown.pixel(5, 300)), QColor(Qt::black));
  EXPECT_TRUE(test::Near(shown.pixel(550, 300), Qt::red, 30));
  // A tall screen: bars above and below.
  SendFrameAcked(Frame(600, 1200, {}, 2));
  EXPECT_EQ(FWindow->PictureRect(), QRect(400, 0, 300, 600));
  Mouse(QEvent::MouseMove, {400, 300}, Qt::NoButton);
  EXPECT_EQ(ReadMouse().Y, 600);
  toggle->click();
  EXPECT_EQ(reported, (std::vector<bool>{true, false}));
  EXPECT_EQ(FWindow->PictureRect(), QRect(0, 0, 1100, 600));
}

// "1:1 보기": one remote pixel per screen pixel, scroll bars where the picture is larger than the
// area; positions need no scaling, the wheel over a scroll bar stays local, and the banner
// keeps to the visible area however far the picture is scrolled.
TEST_F(ViewerInputTest, ActualSizeScrollsAndMapsPixelForPixel) {
  StartSession();
  SendFrameAcked(Frame(1920, 1080, {{0, 0, test::SolidJpeg(1920, 1080, Qt::red)}}));
  QPushButton* toggle = FWindow->findChild<QPushButton*>("btnActualSize");
  ASSERT_TRUE(toggle);
  toggle->click();
  EXPECT_TRUE(FWindow->ActualSize());
  EXPECT_TRUE(toggle->isChecked());
  EXPECT_FALSE(FWindow->findChild<QPushButton*>("btnKeepAspect")->isEnabled());
  QScrollArea* scroll = FWindow->ScrollArea();
  ASSERT_TRUE(WaitUntil([&] { return FWindow->Canvas()->size() == QSize(1920, 1080); }));
  ASSERT_TRUE(WaitUntil([&] { return scroll->horizontalScrollBar()->isVisible() && scroll->verticalScrollBar()->isVisible(); }));
  EXPECT_EQ(FWindow->PictureRect(), QRect(0, 0, 1920, 1080));
  // Under the vertical scroll bar the picture goes on, but the wheel there is the scroll bar's.
  QScrollBar* bar = scroll->verticalScrollBar();
  const QPoint onBar = FWindow->Canvas()->mapFromGlobal(bar->mapToGlobal(bar->rect().center()));
  ASSERT_TRUE(FWindow->Canvas()->rect().contains(onBar));
  Wheel(bar, bar->rect().center(), -120);
  EXPECT_TRUE(FPeer.Quiet());
  scroll->horizontalScrollBar()->setValue(scroll->horizontalScrollBar()->maximum());
  scroll->verticalScrollBar()->setValue(300);
  struct TCase {
    QPoint Pos;
    int X, Y;
  } cases[] = {{{0, 0}, 0, 0}, {{1919, 1079}, 1919, 1079}, {{1500, 400}, 1500, 400}};
  for (const auto& c : cases) {
    Mouse(QEvent::MouseMove, c.Pos, Qt::NoButton);
    const TMouseEventRec m = ReadMouse();
    EXPECT_EQ(m.X, c.X) << c.Pos.x();
    EXPECT_EQ(m.Y, c.Y) << c.Pos.y();
  }
  // The wheel over the visible picture still goes to the partner.
  EXPECT_TRUE(Wheel(FWindow->Canvas(), {1500, 400}, -120));
  EXPECT_EQ(ReadMouse().Action, 4);

  // A new screen size: the canvas follows it.
  SendFrameAcked(Frame(1280, 1024, {}, 2));
  ASSERT_TRUE(WaitUntil([&] { return FWindow->Canvas()->size() == QSize(1280, 1024); }));
  FPeer.Send(MsgSessionEnd);
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->BannerText().isEmpty(); }));
  QWidget* banner = FWindow->findChild<QWidget*>("FBanner");
  EXPECT_EQ(banner->parentWidget(), scroll->viewport());
  EXPECT_EQ(banner->geometry().topLeft(), QPoint(0, 0));
  EXPECT_EQ(banner->width(), scroll->viewport()->width());

  toggle->click();
  EXPECT_FALSE(FWindow->ActualSize());
  ASSERT_TRUE(WaitUntil([&] { return FWindow->Canvas()->size() == QSize(1100, 600); }));
  EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
}

TEST_F(ViewerInputTest, FullScreenComesAndGoesWithTheButton) {
  QPushButton* button = FWindow->findChild<QPushButton*>("btnFullScreen");
  ASSERT_TRUE(button);
  EXPECT_FALSE(FWindow->isFullScreen());
  button->click();
  ASSERT_TRUE(WaitUntil([&] { return FWindow->isFullScreen(); }));
  EXPECT_TRUE(button->isChecked());
  EXPECT_TRUE(FWindow->findChild<QWidget*>("FToolbar")->isVisible());  // the way back stays
  button->click();
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->isFullScreen(); }));
  EXPECT_FALSE(button->isChecked());
  // Left by the window manager's own means: the button follows.
  FWindow->showFullScreen();
  ASSERT_TRUE(WaitUntil([&] { return button->isChecked(); }));
  FWindow->showNormal();
  ASSERT_TRUE(WaitUntil([&] { return !button->isChecked(); }));
}

TEST_F(ViewerInputTest, KeysGoToThePictureFromTheFirstKeystroke) {
  StartSession();
  SendFrameAcked(Frame(1920, 1080, {}));  // the clicks below need a screen to land on
  // The window opens with the picture focused: the first key reaches the host, consumed.
  EXPECT_EQ(FWindow->focusWidget(), FWindow->Canvas());
  PressRelease(Qt::Key_Delete, XK_Delete);
  for (uint8_t up : {0, 1}) {
    const TKeyEventRec k = ReadKey();
    EXPECT_EQ(k.VirtualKey, 0x2E);
    EXPECT_EQ(k.ScanCode, 0x53);
    EXPECT_EQ(k.KeyUp, up);
    EXPECT_EQ(k.Extended, 1);
  }
  struct TCase {
    int QtKey;
    uint32_t Keysym;
    uint16_t Vk, Scan;
    uint8_t Extended;
  } cases[] = {
      {Qt::Key_A, XK_a, 0x41, 0x1E, 0}, {Qt::Key_Return, XK_Return, 0x0D, 0x1C, 0},
      {Qt::Key_Left, XK_Left, 0x25, 0x4B, 1}, {Qt::Key_PageDown, XK_Next, 0x22, 0x51, 1},
      {Qt::Key_Control, XK_Control_R, 0xA3, 0x1D, 1}, {Qt::Key_Control, XK_Control_L, 0xA2, 0x1D, 0},
      {Qt::Key_F5, XK_F5, 0x74, 0x3F, 0}, {Qt::Key_Tab, XK_Tab, 0x09, 0x0F, 0},
      // What a Korean layout produces: the Hangul and Hanja keys go through as keys, so the
      // host's own input method composes.
      {Qt::Key_Hangul, XK_Hangul, 0x15, 0xF2, 0}, {Qt::Key_Hangul_Hanja, XK_Hangul_Hanja, 0x19, 0xF1, 0},
  };
  for (const auto& c : cases) {
    Key(QEvent::KeyPress, c.QtKey, c.Keysym);
    const TKeyEventRec k = ReadKey();
    EXPECT_EQ(k.VirtualKey, c.Vk) << std::hex << c.Keysym;
    EXPECT_EQ(k.ScanCode, c.Scan) << std::hex << c.Keysym;
    EXPECT_EQ(k.Extended, c.Extended) << std::hex << c.Keysym;
    EXPECT_EQ(k.KeyUp, 0);
  }
  EXPECT_EQ(FWindow->focusWidget(), FWindow->Canvas());  // Tab did not move the focus
  EXPECT_FALSE(FWindow->Canvas()->testAttribute(Qt::WA_InputMethodEnabled));
  // Every key above is still down: a focus change releases them all on the host.
  FWindow->ChatPanel()->show();
  FWindow->ChatEdit()->setFocus();
  std::set<uint16_t> released;
  while (!FPeer.Quiet()) {
    const TKeyEventRec k = ReadKey();
    EXPECT_EQ(k.KeyUp, 1);
    released.insert(k.VirtualKey);
  }
  EXPECT_EQ(released, (std::set<uint16_t>{0x41, 0x0D, 0x25, 0x22, 0xA3, 0xA2, 0x74, 0x09, 0x15, 0x19}));

  // Toolbar buttons never take the focus; the file list, when clicked, keeps its arrows.
  for (const char* name : {"btnFiles", "btnChat", "btnSendFile"})
    EXPECT_EQ(FWindow->findChild<QPushButton*>(name)->focusPolicy(), Qt::NoFocus) << name;
  FWindow->FilePanel()->show();
  FPeer.SendText(MsgDirListing, "C:\\\r\nF\ta\t1\r\nF\tb\t1\r\n");
  ASSERT_TRUE(WaitUntil([&] { return FWindow->FileList()->topLevelItemCount() == 3; }));
  FWindow->FileList()->setFocus();
  FWindow->FileList()->setCurrentItem(FWindow->FileList()->topLevelItem(1));
  Key(QEvent::KeyPress, Qt::Key_Down, XK_Down);
  EXPECT_EQ(ReadKey().VirtualKey, 0x28);
  EXPECT_EQ(FWindow->FileList()->currentItem(), FWindow->FileList()->topLevelItem(1));

  // Typing into the chat input stays there; clicking the picture gives the keys back to it.
  FWindow->ChatEdit()->setFocus();
  while (!FPeer.Quiet()) ReadKey();  // the Down key released on the focus change
  PressRelease(Qt::Key_X, XK_x, "x");
  EXPECT_TRUE(FPeer.Quiet());
  EXPECT_EQ(FWindow->ChatEdit()->text(), "x");
  QMouseEvent click(QEvent::MouseButtonPress, QPointF(10, 10), FWindow->Canvas()->mapToGlobal(QPointF(10, 10)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(FWindow->Canvas(), &click);
  ReadMouse();
  EXPECT_EQ(FWindow->focusWidget(), FWindow->Canvas());
  Key(QEvent::KeyPress, Qt::Key_X, XK_x, "x");
  EXPECT_EQ(ReadKey().VirtualKey, 0x58);

  // A drop-down list with the focus keeps its keys; choosing from it gives them back.
  FWindow->MonitorBox()->setFocus();
  std::set<uint8_t> ups;  // the held X key and the held left button are let go
  while (!FPeer.Quiet()) {
    auto p = FPeer.Read();
    ASSERT_TRUE(p);
    if (p->Type == MsgKey) ups.insert(UnpackKeyEvent(p->Payload).KeyUp ? 1 : 0);
    if (p->Type == MsgMouse) ups.insert(UnpackMouseEvent(p->Payload).Action == 2 ? 2 : 0);
  }
  EXPECT_EQ(ups, (std::set<uint8_t>{1, 2}));
  PressRelease(Qt::Key_Down, XK_Down);
  EXPECT_TRUE(FPeer.Quiet());
  FWindow->QualityBox()->setFocus();
  emit FWindow->QualityBox()->activated(1);
  auto quality = FPeer.Read();
  EXPECT_TRUE(quality && quality->Type == MsgQuality);
  EXPECT_EQ(FWindow->focusWidget(), FWindow->Canvas());

  // Not connected: keys act locally.
  FPeer.Send(MsgSessionEnd);
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->IsConnected(); }));
  PressRelease(Qt::Key_A, XK_a, "a");
  EXPECT_TRUE(FPeer.Quiet());
}

// ---------------------------------------------------------------------------------------
// Files

class ViewerFilesTest : public ViewerWindowTest {
protected:
  std::string Listed(const std::string& AListing, const QString& ACaption) {
    FPeer.SendText(MsgDirListing, AListing);
    Settle();
    EXPECT_TRUE(WaitUntil([&] { return !FWindow->FileList()->findItems(ACaption, Qt::MatchExactly).isEmpty(); }));
    auto items = FWindow->FileList()->findItems(ACaption, Qt::MatchExactly);
    if (items.isEmpty()) return "<no row>";
    FWindow->FileList()->setCurrentItem(items[0]);
    emit FWindow->FileList()->itemDoubleClicked(items[0], 0);
    auto p = FPeer.Read();
    if (!p) return "<nothing sent>";
    return (p->Type == MsgListDir ? "list:" : p->Type == MsgFileGet ? "get:" : "other:") + TextOf(p->Payload);
  }
};

TEST_F(ViewerFilesTest, ListingRowsSortedWithSizesAndThePathInThePanel) {
  StartSession();
  FWindow->findChild<QPushButton*>("btnFiles")->click();
  auto request = FPeer.Read();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Type, MsgListDir);
  EXPECT_EQ(TextOf(request->Payload), "");

  FPeer.SendText(MsgDirListing,
                 "C:\\Data\r\nF\tb.txt\t100\r\nF\tbig.iso\t5000000000\r\nD\tzeta\t0\r\nF\ta.txt\t1536\r\n"
                 "D\tAlpha\t0\r\nF\tshort\r\n");
  ASSERT_TRUE(WaitUntil([&] { return FWindow->FileList()->topLevelItemCount() == 6; }));
  QTreeWidget* list = FWindow->FileList();
  auto expectRows = [&](const std::vector<std::pair<const char*, const char*>>& ARows) {
    ASSERT_EQ(list->topLevelItemCount(), int(ARows.size()));
    for (int i = 0; i < int(ARows.size()); ++i) {
      EXPECT_EQ(list->topLevelItem(i)->text(0), Q(ARows[i].first)) << i;
      EXPECT_EQ(list->topLevelItem(i)->text(1), Q(ARows[i].second)) << i;
    }
  };
  // The parent first, then folders, then files, each by name; sizes in KB as text.
  expectRows({{"[..]", ""}, {"[Alpha]", ""}, {"[zeta]", ""}, {"a.txt", "2 KB"}, {"b.txt", "0 KB"},
              {"big.iso", "4,882,813 KB"}});
  EXPECT_EQ(list->topLevelItem(0)->data(0, Qt::UserRole).toInt(), 1);
  EXPECT_EQ(list->topLevelItem(1)->data(0, Qt::UserRole).toInt(), 2);
  EXPECT_EQ(list->topLevelItem(3)->data(0, Qt::UserRole).toInt(), 3);
  // By size: the real bytes order the files ("0 KB" < "2 KB" < "4,882,813 KB"), folders stay on top.
  list->sortByColumn(1, Qt::DescendingOrder);
  expectRows({{"[..]", ""}, {"[zeta]", ""}, {"[Alpha]", ""}, {"big.iso", "4,882,813 KB"}, {"a.txt", "2 KB"},
              {"b.txt", "0 KB"}});
  list->sortByColumn(0, Qt::AscendingOrder);
  // The path shows in the file panel; the session state stays in the status bar.
  EXPECT_EQ(FWindow->FilePathText(), Q("원격 경로: C:\\Data"));
  EXPECT_EQ(FWindow->StatusText(), Q("연결됨 - 원격 제어 중"));

  // An error keeps the rows.
  FPeer.SendText(MsgDirListing, "!접근 거부");
  ASSERT_TRUE(WaitUntil([&] { return FWindow->FilePathText() == Q("목록 오류: 접근 거부"); }));
  EXPECT_EQ(list->topLevelItemCount(), 6);

  // The drive list has no parent row.
  FPeer.SendText(MsgDirListing, "#DRIVES\r\nD\tC:\\\t0\r\n");
  ASSERT_TRUE(WaitUntil([&] { return FWindow->FilePathText() == Q("원격 경로: 드라이브"); }));
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0), Q("[C:\\]"));
  EXPECT_EQ(list->topLevelItem(0)->data(0, Qt::UserRole).toInt(), 2);

  // A size that is not a number stops the filling with an error; the rows so far stay.
  FPeer.SendText(MsgDirListing, "C:\\x\r\nF\tok\t1\r\nF\tbad\tlots\r\nF\tlater\t1\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !FErrors.isEmpty(); }));
  EXPECT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(FWindow->FilePathText(), Q("원격 경로: 드라이브"));
}

// What a partner sends in megabytes is shown in part: the first rows with a note, and the
// path, an error and a bad size text cut; the whole path is still what navigation uses.
TEST_F(ViewerFilesTest, OversizedListingsAreShownInPart) {
  StartSession();
  const std::string path = "C:\\" + std::string(1 << 20, 'p');
  std::string listing = path + "\r\n";
  for (size_t i = 0; i <= MaxListingEntries; ++i) listing += "F\tf" + std::to_string(i) + "\t1\r\n";
  FPeer.SendText(MsgDirListing, listing);
  ASSERT_TRUE(WaitUntil([&] { return FWindow->FileList()->topLevelItemCount() > 0; }));
  EXPECT_EQ(FWindow->FileList()->topLevelItemCount(), int(MaxListingEntries) + 1);  // and "[..]"
  const QString line = FWindow->FilePathText();
  EXPECT_TRUE(line.startsWith(Q("원격 경로: C:\\ppp"))) << line.left(40).toStdString();
  EXPECT_TRUE(line.endsWith(Q("ppp (처음 100,000개 항목만 표시)"))) << line.right(40).toStdString();
  EXPECT_LT(line.size(), qsizetype(MaxStatusChars) + 40);
  EXPECT_EQ(FWindow->CurPath(), path);

  FPeer.SendText(MsgDirListing, "!" + std::string(1 << 20, 'e'));
  ASSERT_TRUE(WaitUntil([&] { return FWindow->FilePathText().startsWith(Q("목록 오류: eee")); }));
  EXPECT_LE(FWindow->FilePathText().size(), qsizetype(MaxStatusChars) + 7);

  FPeer.SendText(MsgDirListing, "C:\\x\r\nF\tbad\t" + std::string(1 << 20, '1') + "\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !FErrors.isEmpty(); }));
  EXPECT_LT(FErrors[0].size(), qsizetype(MaxStatusChars) + 40);
}

TEST_F(ViewerFilesTest, NavigationForBothPathStyles) {
  StartSession();
  struct TCase {
    const char* Listing;
    const char* Row;
    const char* Sent;
  } cases[] = {
      {"#DRIVES\r\nD\tC:\\\t0\r\n", "[C:\\]", "list:C:\\"},
      {"C:\r\nD\tUsers\t0\r\n", "[..]", "list:"},
      {"C:\r\nD\tUsers\t0\r\n", "[Users]", "list:C:\\Users"},
      {"C:\\Users\r\n", "[..]", "list:C:\\"},
      {"C:\\Users\\Bob\r\n", "[..]", "list:C:\\Users"},
      {"C:\\Users\\Bob\r\nF\tnotes.txt\t10\r\n", "notes.txt", "get:C:\\Users\\Bob\\notes.txt"},
      {"#DRIVES\r\nD\t/\t0\r\n", "[/]", "list:/"},
      {"/\r\nD\thome\t0\r\n", "[..]", "list:"},
      {"/\r\nD\thome\t0\r\n", "[home]", "list:/home"},
      {"/home\r\n", "[..]", "list:/"},
      {"/home/u\r\nD\tdocs\t0\r\n", "[..]", "list:/home"},
      {"/home/u\r\nD\tdocs\t0\r\n", "[docs]", "list:/home/u/docs"},
      {"/home/u\r\nF\ta b.txt\t3\r\n", "a b.txt", "get:/home/u/a b.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(Listed(c.Listing, Q(c.Row)), c.Sent) << c.Listing << " / " << c.Row;
}

TEST_F(ViewerFilesTest, UploadsStreamInChunks) {
  StartSession();
  const fs::path dir = fs::temp_directory_path() / ("tlm-up-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  struct TCase {
    const char* Name;
    const char* Sent;  // the name as the host will store it
    size_t Size;
    std::vector<size_t> Chunks;
  } cases[] = {{"empty.bin", "empty.bin", 0, {}},
               {"odd.bin", "odd.bin", 65537, {65536, 1}},
               {"two.bin", "two.bin", 131072, {65536, 65536}},
               {"notes:v2.txt", "v2.txt", 5, {5}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string content(c.Size, '\0');
    for (size_t i = 0; i < c.Size; ++i) content[i] = static_cast<char>(i * 7 + 3);
    std::ofstream(dir / c.Name, std::ios::binary) << content;
    FNextFile = QString::fromStdString((dir / c.Name).string());
    FWindow->findChild<QPushButton*>("btnSendFile")->click();
    EXPECT_EQ(FWindow->StatusText(), Q("전송 중: ") + Q(c.Sent));
    auto begin = FPeer.Read();
    ASSERT_TRUE(begin);
    EXPECT_EQ(begin->Type, MsgFileBegin);
    EXPECT_EQ(TextOf(begin->Payload), std::string(c.Sent) + "\t" + std::to_string(c.Size));
    std::string received;
    for (size_t chunk : c.Chunks) {
      auto p = FPeer.Read();
      ASSERT_TRUE(p);
      EXPECT_EQ(p->Type, MsgFileChunk);
      EXPECT_EQ(p->Payload.size(), chunk);
      received += TextOf(p->Payload);
    }
    auto end = FPeer.Read();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->Type, MsgFileEnd);
    EXPECT_EQ(received, content);
    EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("파일 전송 완료: ") + Q(c.Sent); }));
    EXPECT_FALSE(FWindow->IsSendingFile());
  }
  EXPECT_EQ(FOpenDialogs, 4);

  // A refusal shows its text and ends the upload state.
  FPeer.SendText(MsgFileError, "파일 생성 실패: 디스크 가득 참");
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("파일 거부됨: 파일 생성 실패: 디스크 가득 참"); }));

  // A file that cannot be opened is reported and nothing is sent.
  FNextFile = QString::fromStdString((dir / "missing.bin").string());
  FWindow->findChild<QPushButton*>("btnSendFile")->click();
  EXPECT_EQ(FErrors.size(), 1);
  EXPECT_FALSE(FWindow->IsSendingFile());
  EXPECT_TRUE(FPeer.Quiet());
  fs::remove_all(dir);
}

TEST_F(ViewerFilesTest, TheStatusBarCancelsARunningUpload) {
  StartSession();
  const fs::path dir = fs::temp_directory_path() / ("tlm-cancel-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const uint64_t size = uint64_t(256) << 20;  // sparse: far more than the connection holds
  std::ofstream(dir / "big.bin", std::ios::binary).flush();
  fs::resize_file(dir / "big.bin", size);
  QPushButton* cancel = FWindow->CancelTransferButton();
  EXPECT_TRUE(cancel->isHidden());
  FNextFile = QString::fromStdString((dir / "big.bin").string());
  FWindow->findChild<QPushButton*>("btnSendFile")->click();
  EXPECT_FALSE(cancel->isHidden());
  auto begin = FPeer.Read();
  ASSERT_TRUE(begin && begin->Type == MsgFileBegin);
  uint64_t got = 0;
  for (int i = 0; i < 4; ++i) {
    auto chunk = FPeer.Read();
    ASSERT_TRUE(chunk && chunk->Type == MsgFileChunk);
    got += chunk->Payload.size();
  }
  cancel->click();
  int cancels = 0;
  for (;;) {
    auto p = FPeer.Read();
    ASSERT_TRUE(p);
    if (p->Type == MsgFileCancel && p->Payload.empty()) {
      ++cancels;
      continue;
    }
    if (p->Type != MsgFileChunk) {
      EXPECT_EQ(p->Type, MsgFileEnd);
      break;
    }
    got += p->Payload.size();
  }
  EXPECT_EQ(cancels, 1);
  EXPECT_LT(got, size);
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("전송 취소됨: big.bin"); })) << FWindow->StatusText().toStdString();
  // A host that does not know the cancel reports the short file it kept; the user asked for
  // that, so it is no refusal.
  FPeer.SendText(MsgFileError, "파일 수신 실패: big.bin (262144/268435456 바이트)");
  Settle();
  EXPECT_EQ(FWindow->StatusText(), Q("전송 취소됨: big.bin"));
  EXPECT_TRUE(cancel->isHidden());
  EXPECT_FALSE(FWindow->IsSendingFile());
  fs::remove_all(dir);
}

// Several chosen files, and files dropped on the picture, go one after another, each whole.
TEST_F(ViewerFilesTest, SeveralFilesGoOneAfterAnother) {
  StartSession();
  const fs::path dir = fs::temp_directory_path() / ("tlm-many-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  auto make = [&](const char* AName, size_t ASize) {
    std::ofstream(dir / AName, std::ios::binary) << std::string(ASize, AName[0]);
    return QString::fromStdString((dir / AName).string());
  };
  // Reads one whole upload: its name, and that its bytes arrived before the next file began.
  auto readUpload = [&]() -> std::string {
    auto begin = FPeer.Read();
    if (!begin || begin->Type != MsgFileBegin) return "<no begin>";
    const std::string name = SplitTabs(TextOf(begin->Payload))[0];
    for (;;) {
      auto p = FPeer.Read();
      if (!p) return name + " <cut>";
      if (p->Type == MsgFileEnd) return name;
      if (p->Type != MsgFileChunk) return name + " <interleaved>";
    }
  };
  struct TCase {
    const char* What;
    std::function<void(const QStringList&)> Send;
  } cases[] = {
      {"chosen together",
       [&](const QStringList& AFiles) {
         FNextFile = AFiles.join('|');
         FWindow->findChild<QPushButton*>("btnSendFile")->click();
       }},
      {"dropped on the picture",
       [&](const QStringList& AFiles) {
         QMimeData data;
         QList<QUrl> urls;
         for (const QString& f : AFiles) urls << QUrl::fromLocalFile(f);
         urls << QUrl::fromLocalFile(QString::fromStdString(dir.string()));  // a folder is left out
         data.setUrls(urls);
         QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
         QApplication::sendEvent(FWindow->Canvas(), &enter);
         EXPECT_TRUE(enter.isAccepted());
         QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
         QApplication::sendEvent(FWindow->Canvas(), &drop);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    const QStringList files = {make("a.bin", 200000), make("b.bin", 5), make("c.bin", 70000)};
    c.Send(files);
    EXPECT_EQ(FWindow->StatusText(), Q("전송 중: a.bin (대기 2개)"));
    EXPECT_EQ(readUpload(), "a.bin");
    EXPECT_EQ(readUpload(), "b.bin");
    EXPECT_EQ(readUpload(), "c.bin");
    EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("파일 전송 완료: c.bin"); }));
    EXPECT_TRUE(FPeer.Quiet());
  }
  fs::remove_all(dir);
}

// The wire cannot stop the host's sending: a cancelled download stops being written, is removed,
// and the rest the host sends is dropped.
TEST_F(ViewerFilesTest, ADownloadCanBeCancelled) {
  const fs::path dir = FWindow->DownloadsFolder();  // the test's own home
  auto holds = [&](const std::string& AName) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
      if (entry.path().filename().string().find(AName) != std::string::npos) return true;
    return false;
  };
  StartSession();
  auto fetch = [&](const std::string& AName, size_t ASize) {
    EXPECT_EQ(Listed("C:\\d\r\nF\t" + AName + "\t" + std::to_string(ASize) + "\r\n", Q(AName.c_str())),
              "get:C:\\d\\" + AName);
    FPeer.SendText(MsgFileBegin, AName + "\t" + std::to_string(ASize));
    auto ready = FPeer.Read();
    EXPECT_TRUE(ready && ready->Type == MsgFileReady);
  };
  fetch("big.bin", 3 * 65536);
  FPeer.Send(MsgFileChunk, TBytes(65536, 1));
  ASSERT_TRUE(WaitUntil([&] { return FWindow->CancelTransferButton()->isVisible(); }));
  FWindow->CancelTransferButton()->click();
  auto cancel = FPeer.Read();  // the host is asked to stop; what it sends meanwhile is dropped
  ASSERT_TRUE(cancel);
  EXPECT_EQ(cancel->Type, MsgFileCancel);
  EXPECT_EQ(cancel->Payload, (TBytes{1, 0, 0, 0})) << "the session's first file";
  FPeer.Send(MsgFileChunk, TBytes(65536, 2));
  FPeer.Send(MsgFileChunk, TBytes(65536, 3));
  FPeer.Send(MsgFileEnd);
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == Q("전송 취소됨: big.bin"); })) << FWindow->StatusText().toStdString();
  Settle();
  EXPECT_FALSE(holds("big.bin"));
  EXPECT_FALSE(FWindow->CancelTransferButton()->isVisible());

  // The next file arrives whole, and the folder it landed in is named and can be opened.
  fetch("small.txt", 3);
  FPeer.Send(MsgFileChunk, TBytes{'a', 'b', 'c'});
  FPeer.Send(MsgFileEnd);
  EXPECT_TRUE(WaitUntil([&] {
    return FWindow->StatusText() == Q("다운로드 완료: small.txt (") + QString::fromStdString(dir.string()) + ")";
  })) << FWindow->StatusText().toStdString();
  EXPECT_EQ(ReadFile(dir / "small.txt"), "abc");
  EXPECT_TRUE(FWindow->OpenFolderButton()->isVisible());
  fs::remove(dir / "small.txt");
}

// ---------------------------------------------------------------------------------------
// Monitors, quality, chat, clipboard

TEST_F(ViewerWindowTest, MonitorsAndQuality) {
  StartSession();
  FPeer.SendText(MsgMonitorList, "0\t1920\t1080\t1\r\n\r\n1\t1280\t1024\t0\r\nbad\r\n2\t800\t600\t0");
  QComboBox* monitors = FWindow->MonitorBox();
  ASSERT_TRUE(WaitUntil([&] { return monitors->count() == 3; }));
  EXPECT_EQ(monitors->itemText(0), Q("모니터 1 (1920x1080)"));
  EXPECT_EQ(monitors->itemText(1), Q("모니터 2 (1280x1024)"));
  EXPECT_EQ(monitors->itemText(2), Q("모니터 4 (800x600)"));  // the short line still counts
  EXPECT_EQ(monitors->currentIndex(), 0);
  // Wide enough for its longest entry, and the buttons move aside.
  EXPECT_GE(monitors->width(), monitors->fontMetrics().horizontalAdvance(monitors->itemText(1)) + 20);
  EXPECT_GE(FWindow->findChild<QPushButton*>("btnSendFile")->x(), monitors->geometry().right());
  EXPECT_TRUE(FPeer.Quiet());

  monitors->setCurrentIndex(1);
  emit monitors->activated(1);
  auto select = FPeer.Read();
  ASSERT_TRUE(select);
  EXPECT_EQ(select->Type, MsgSelectMonitor);
  EXPECT_EQ(select->Payload, TBytes{1});

  FWindow->QualityBox()->setCurrentIndex(0);
  emit FWindow->QualityBox()->activated(0);
  auto quality = FPeer.Read();
  ASSERT_TRUE(quality);
  EXPECT_EQ(quality->Type, MsgQuality);
  EXPECT_EQ(quality->Payload, QualityPayload(0));

  FPeer.Send(MsgSessionEnd);
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->IsConnected(); }));
  emit FWindow->QualityBox()->activated(2);
  emit monitors->activated(0);
  EXPECT_TRUE(FPeer.Quiet());
}

TEST_F(ViewerWindowTest, ChatLinesGoBothWays) {
  EXPECT_FALSE(FWindow->ChatEdit()->isEnabled());  // nobody to read it before admission
  StartSession();
  EXPECT_TRUE(FWindow->ChatEdit()->isEnabled());
  ASSERT_EQ(FWindow->focusWidget(), FWindow->Canvas());
  EXPECT_TRUE(FWindow->ChatPanel()->isHidden());
  FPeer.SendText(MsgChat, "안녕하세요");
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->ChatPanel()->isHidden(); }));
  // Each line starts with the local time.
  const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d "), QRegularExpression::MultilineOption);
  auto chatLines = [&] { return FWindow->ChatLog()->toPlainText().remove(stamp); };
  EXPECT_EQ(FWindow->ChatLog()->toPlainText().count(stamp), 1);
  EXPECT_EQ(chatLines(), Q("원격: 안녕하세요"));
  // The pane opened without the keyboard: the next key still goes to the partner.
  EXPECT_EQ(FWindow->focusWidget(), FWindow->Canvas());
  for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
    QKeyEvent key(type, Qt::Key_A, Qt::NoModifier, 0, XK_a, 0, "a");
    QApplication::sendEvent(FWindow->focusWidget(), &key);
    auto sent = FPeer.Read();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->Type, MsgKey);
  }
  EXPECT_TRUE(FWindow->ChatEdit()->text().isEmpty());
  // The user's own click on "채팅" is what moves the keyboard to the input.
  FWindow->findChild<QPushButton*>("btnChat")->click();
  FWindow->findChild<QPushButton*>("btnChat")->click();
  EXPECT_EQ(FWindow->focusWidget(), FWindow->ChatEdit());

  auto enter = [&] {
    QKeyEvent e(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, 0, XK_Return, 0, "\r");
    QApplication::sendEvent(FWindow->ChatEdit(), &e);
  };
  FWindow->ChatEdit()->setText("   ");
  enter();
  EXPECT_TRUE(FPeer.Quiet());
  EXPECT_EQ(FWindow->ChatEdit()->text(), "   ");

  FWindow->ChatEdit()->setText("  hi");
  enter();
  auto chat = FPeer.Read();
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->Type, MsgChat);
  EXPECT_EQ(TextOf(chat->Payload), "  hi");
  EXPECT_EQ(chatLines(), Q("원격: 안녕하세요\n나:   hi"));
  EXPECT_EQ(FWindow->ChatLog()->toPlainText().count(stamp), 2);
  EXPECT_EQ(FWindow->ChatEdit()->text(), "");

  // Outside a session nobody would read it: the input is off, as it was before the start.
  FPeer.Send(MsgSessionEnd);
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->BannerText().isEmpty(); }));
  EXPECT_FALSE(FWindow->ChatEdit()->isEnabled());
  FWindow->ChatEdit()->setText("bye");
  enter();
  EXPECT_TRUE(FPeer.Quiet());
}

// However a session ends, the chat input is off until the next one starts: a line typed
// meanwhile would reach nobody. A refusal in the middle of a session reports no end of its own.
TEST_F(ViewerWindowTest, TheChatInputIsOnOnlyWhileASessionRuns) {
  enum class EEnd { PartnerEnded, Refused, RelayLost };
  struct TCase {
    const char* What;
    EEnd End;
  } cases[] = {{"partner ended", EEnd::PartnerEnded},
               {"relay refused mid-session", EEnd::Refused},
               {"relay lost", EEnd::RelayLost}};
  EXPECT_FALSE(FWindow->ChatEdit()->isEnabled());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    StartSession();
    EXPECT_TRUE(FWindow->ChatEdit()->isEnabled());
    EXPECT_TRUE(FWindow->DisconnectButton()->isEnabled());
    switch (c.End) {
      case EEnd::PartnerEnded: FPeer.Send(MsgSessionEnd); break;
      case EEnd::Refused:
        FPeer.SendText(MsgRelayError, "상대방이 오프라인이거나 존재하지 않는 ID입니다");
        FPeer.Conn().Close();
        break;
      case EEnd::RelayLost: FPeer.Conn().Close(); break;
    }
    ASSERT_TRUE(WaitUntil([&] { return !FWindow->BannerText().isEmpty(); }));
    Settle2();
    EXPECT_FALSE(FWindow->ChatEdit()->isEnabled());
    EXPECT_FALSE(FWindow->DisconnectButton()->isEnabled());
    EXPECT_TRUE(FWindow->LinkText().isEmpty());

    FWindow->ReconnectButton()->click();
    if (FPeer.Conn().Connected()) FPeer.Conn().Close();
    FPeer.Accept();
    auto request = FPeer.Read();
    ASSERT_TRUE(request);
    ASSERT_EQ(request->Type, MsgConnectRequest);
    EXPECT_FALSE(FWindow->ChatEdit()->isEnabled()) << "waiting for the partner";
  }
  StartSession();
  EXPECT_TRUE(FWindow->ChatEdit()->isEnabled());
}

TEST_F(ViewerWindowTest, ClipboardTextIsExchangedOnlyDuringTheSession) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText("copied before admission");
  QApplication::processEvents();
  EXPECT_TRUE(FPeer.Quiet());
  StartSession();
  EXPECT_TRUE(FPeer.Quiet());  // an earlier copy is not sent later

  clipboard->setText("copied in session");
  auto clip = FPeer.Read();
  ASSERT_TRUE(clip);
  EXPECT_EQ(clip->Type, MsgClipboard);
  EXPECT_EQ(TextOf(clip->Payload), "copied in session");

  FPeer.SendText(MsgClipboard, "원격 텍스트");
  ASSERT_TRUE(WaitUntil([&] { return clipboard->text() == Q("원격 텍스트"); }));
  Settle();
  EXPECT_TRUE(FPeer.Quiet());  // not echoed back
}

// ---------------------------------------------------------------------------------------
// The end of a session, and the way back

TEST_F(ViewerWindowTest, AnEndedSessionShowsABannerAndReconnectsWithTheSameProof) {
  FWindow->close();
  delete FWindow;
  FWindow = nullptr;
  FPeer.Conn().Close();
  OpenWindow("the-proof");
  StartSession();
  EXPECT_EQ(FWindow->BannerText(), "");

  // The partner ends the session: the banner offers "다시 연결", and nothing happens by itself.
  FPeer.Send(MsgSessionEnd);
  EXPECT_TRUE(WaitUntil([&] { return FWindow->BannerText() == Q("원격지 연결 종료됨"); }));
  EXPECT_FALSE(FWindow->Retrying());
  FWindow->ReconnectButton()->click();
  FPeer.Accept();
  auto request = FPeer.Read();
  ASSERT_TRUE(request);
  EXPECT_EQ(TextOf(request->Payload), "123456789\tTester\tthe-proof\tcontrol");
  EXPECT_EQ(FWindow->BannerText(), "");
  StartSession();
  EXPECT_TRUE(FWindow->IsConnected());
}

// The relay goes away: the window counts down and tries again by itself with the same proof,
// waiting longer after each failure, until the partner is back or the user cancels.
TEST_F(ViewerWindowTest, ALostRelayIsRetriedByItselfWithACountdown) {
  FWindow->close();
  delete FWindow;
  FWindow = nullptr;
  FPeer.Conn().Close();
  OpenWindow("the-proof");
  StartSession();
  SendFrameAcked(Frame(64, 48, {{0, 0, test::SolidJpeg(64, 48, Qt::red)}}));
  FPeer.Conn().Close();
  ASSERT_TRUE(WaitUntil([&] { return FWindow->Retrying(); }));
  EXPECT_EQ(FWindow->BannerText(), Q("연결 종료됨 — 2초 후 다시 연결합니다"));
  EXPECT_TRUE(FWindow->CancelRetryButton()->isVisible());
  EXPECT_TRUE(FWindow->ReconnectButton()->isVisible());

  // The partner is not registered again yet: the relay says so, and the next wait is longer.
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->Retrying(); }));  // the countdown ran out
  // Meanwhile the last picture stays, not a black canvas.
  const QImage shown = FWindow->Canvas()->grab().toImage();
  EXPECT_TRUE(test::Near(shown.pixel(shown.width() / 2, shown.height() / 2), Qt::red, 30));
  FPeer.Accept();
  auto request = FPeer.Read();
  ASSERT_TRUE(request);
  EXPECT_EQ(TextOf(request->Payload), "123456789\tTester\tthe-proof\tcontrol");
  FPeer.SendText(MsgRelayError, "상대방이 오프라인이거나 존재하지 않는 ID입니다");
  FPeer.Conn().Close();
  ASSERT_TRUE(WaitUntil([&] { return FWindow->Retrying(); }));
  EXPECT_EQ(FWindow->BannerText(), Q("상대방이 오프라인이거나 존재하지 않는 ID입니다 — 4초 후 다시 연결합니다"));
  EXPECT_TRUE(FWarnings.isEmpty()) << "an automatic attempt shows no box";

  ASSERT_TRUE(WaitUntil([&] { return !FWindow->Retrying(); }));  // the countdown ran out
  FPeer.Accept();
  ASSERT_TRUE(FPeer.Read());
  EXPECT_EQ(StartSession(), 1);
  EXPECT_EQ(FWindow->BannerText(), "");

  // Lost again: the count starts over, and the user may cancel it; the banner stays usable.
  FPeer.Conn().Close();
  ASSERT_TRUE(WaitUntil([&] { return FWindow->Retrying(); }));
  EXPECT_EQ(FWindow->BannerText(), Q("연결 종료됨 — 2초 후 다시 연결합니다"));
  FWindow->CancelRetryButton()->click();
  EXPECT_FALSE(FWindow->Retrying());
  EXPECT_EQ(FWindow->BannerText(), Q("연결 종료됨"));
  EXPECT_FALSE(FWindow->CancelRetryButton()->isVisible());
  EXPECT_TRUE(FWindow->ReconnectButton()->isVisible());
}

// A partner who refuses an automatic attempt is not asked again.
TEST_F(ViewerWindowTest, ARefusalEndsTheRetries) {
  StartSession();
  FPeer.Conn().Close();
  ASSERT_TRUE(WaitUntil([&] { return FWindow->Retrying(); }));
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->Retrying(); }));  // the countdown ran out
  FPeer.Accept();
  ASSERT_TRUE(FPeer.Read());
  FPeer.SendText(MsgRelayError, std::string(AdmitRejectReason));
  FPeer.Conn().Close();
  ASSERT_TRUE(WaitUntil([&] { return FWindow->BannerText() == Q("상대방이 접속을 거부했습니다"); }));
  Settle2();
  EXPECT_FALSE(FWindow->Retrying());
  EXPECT_TRUE(FWarnings.isEmpty());
}

// The picture keeps its shape unless the user chose otherwise; toggles show their state, also
// when the program changes it; a narrow window moves the buttons it has no room for into a menu.
TEST_F(ViewerWindowTest, ToolbarTogglesShowTheirStateAndOverflowIntoAMenu) {
  QPushButton* aspect = FWindow->findChild<QPushButton*>("btnKeepAspect");
  QPushButton* chat = FWindow->findChild<QPushButton*>("btnChat");
  QPushButton* files = FWindow->findChild<QPushButton*>("btnFiles");
  EXPECT_TRUE(FWindow->KeepAspect());
  for (QPushButton* toggle : {aspect, chat, files}) EXPECT_TRUE(toggle->isCheckable()) << toggle->objectName().toStdString();
  EXPECT_TRUE(aspect->isChecked());
  EXPECT_FALSE(chat->isChecked());
  StartSession();
  FPeer.SendText(MsgChat, "hello");  // the pane opens by itself: its button lights up
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->ChatPanel()->isHidden(); }));
  EXPECT_TRUE(chat->isChecked());
  chat->click();
  EXPECT_TRUE(FWindow->ChatPanel()->isHidden());
  EXPECT_FALSE(chat->isChecked());
  files->click();
  EXPECT_TRUE(files->isChecked());
  EXPECT_FALSE(FWindow->FilePanel()->isHidden());

  QToolButton* more = FWindow->OverflowButton();
  FWindow->resize(1100, FWindow->height());
  ASSERT_TRUE(WaitUntil([&] { return !more->isVisibleTo(FWindow); }));
  FWindow->resize(600, FWindow->height());
  ASSERT_TRUE(WaitUntil([&] { return more->isVisibleTo(FWindow); }));
  const QRect bar = FWindow->findChild<QWidget*>("FToolbar")->rect();
  EXPECT_TRUE(bar.contains(more->geometry())) << more->x() << "+" << more->width() << " in " << bar.width();
  QStringList inMenu;
  QAction* aspectEntry = nullptr;
  for (QAction* action : more->menu()->actions())
    if (action->isVisible()) {
      inMenu << action->text();
      if (action->text() == aspect->text()) aspectEntry = action;
    }
  EXPECT_FALSE(inMenu.isEmpty());
  for (const QString& text : inMenu) {
    for (QPushButton* button : FWindow->findChild<QWidget*>("FToolbar")->findChildren<QPushButton*>())
      if (button->text() == text) {
        EXPECT_FALSE(button->isVisibleTo(FWindow)) << text.toStdString();
      }
  }
  // "연결 끊기" keeps the right end; every other button left shows left of the menu.
  QPushButton* disconnect = FWindow->DisconnectButton();
  EXPECT_TRUE(disconnect->isVisibleTo(FWindow));
  EXPECT_TRUE(bar.contains(disconnect->geometry()));
  EXPECT_GT(disconnect->x(), more->geometry().right());
  for (QPushButton* button : FWindow->findChild<QWidget*>("FToolbar")->findChildren<QPushButton*>())
    if (button->isVisibleTo(FWindow) && button != disconnect) {
      EXPECT_LE(button->geometry().right(), more->x()) << button->text().toStdString();
    }
  ASSERT_TRUE(aspectEntry);
  EXPECT_TRUE(aspectEntry->isCheckable());
  EXPECT_TRUE(aspectEntry->isChecked());
  aspectEntry->trigger();  // the menu entry does what the button does
  EXPECT_FALSE(FWindow->KeepAspect());
  EXPECT_FALSE(aspectEntry->isChecked());

  FWindow->resize(1100, FWindow->height());
  ASSERT_TRUE(WaitUntil([&] { return !more->isVisibleTo(FWindow); }));
  EXPECT_TRUE(aspect->isVisibleTo(FWindow));
  EXPECT_FALSE(aspect->isChecked());
}

// "연결 끊기" ends a session or withdraws a request still waiting; the window stays with the
// last picture and "다시 연결", and is not retried by itself.
TEST_F(ViewerWindowTest, DisconnectEndsTheSessionOrTheWaitingRequest) {
  QPushButton* disconnect = FWindow->DisconnectButton();
  ASSERT_TRUE(WaitUntil([&] { return disconnect->isEnabled(); }));  // waiting for the partner
  disconnect->click();
  EXPECT_TRUE(FPeer.Closed());
  EXPECT_EQ(FWindow->BannerText(), Q("연결을 끊었습니다"));
  EXPECT_EQ(FWindow->StatusText(), Q("연결을 끊었습니다"));
  EXPECT_FALSE(disconnect->isEnabled());
  EXPECT_FALSE(FWindow->Retrying());

  FWindow->ReconnectButton()->click();
  FPeer.Accept();
  auto request = FPeer.Read();
  ASSERT_TRUE(request && request->Type == MsgConnectRequest);
  StartSession();
  SendFrameAcked(Frame(640, 480, {{0, 0, test::SolidJpeg(640, 480, Qt::blue)}}));
  ASSERT_TRUE(WaitUntil([&] { return disconnect->isEnabled(); }));
  FWindow->SetFullScreen(true);
  disconnect->click();
  EXPECT_TRUE(FPeer.Closed());
  EXPECT_FALSE(FWindow->IsConnected());
  EXPECT_FALSE(FWindow->isFullScreen());  // the window's own frame is back, to close it
  EXPECT_TRUE(FWindow->isVisible());
  Settle2();
  EXPECT_FALSE(FWindow->Retrying());
  // The last picture stays under the banner.
  const QImage shown = FWindow->Canvas()->grab().toImage();
  EXPECT_TRUE(test::Near(shown.pixel(shown.width() / 2, shown.height() / 2), Qt::blue, 30));
}

// The special-keys menu sends each combination as a keyboard there would make it: modifiers
// down, the key down and up, modifiers up; nothing outside a session.
TEST_F(ViewerWindowTest, SpecialKeysGoOutAsWholeChords) {
  QPushButton* button = FWindow->SpecialKeysButton();
  ASSERT_TRUE(button->menu());
  EXPECT_FALSE(button->isEnabled());
  StartSession();
  EXPECT_TRUE(button->isEnabled());
  struct TStroke {
    uint16_t Vk;
    uint8_t Up, Extended;
  };
  struct TCase {
    const char* Caption;
    std::vector<TStroke> Strokes;
  } cases[] = {
      {"Ctrl+Alt+Del", {{0xA2, 0, 0}, {0xA4, 0, 0}, {0x2E, 0, 1}, {0x2E, 1, 1}, {0xA4, 1, 0}, {0xA2, 1, 0}}},
      {"Alt+Tab", {{0xA4, 0, 0}, {0x09, 0, 0}, {0x09, 1, 0}, {0xA4, 1, 0}}},
      {"Windows 키", {{0x5B, 0, 1}, {0x5B, 1, 1}}},
      {"Print Screen", {{0x2C, 0, 0}, {0x2C, 1, 0}}},
  };
  QList<QAction*> actions = button->menu()->actions();
  ASSERT_EQ(actions.size(), int(std::size(cases)));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].Caption);
    EXPECT_EQ(actions[int(i)]->text(), Q(cases[i].Caption));
    actions[int(i)]->trigger();
    for (const TStroke& want : cases[i].Strokes) {
      const TKeyEventRec k = ReadKey();
      EXPECT_EQ(k.VirtualKey, want.Vk);
      EXPECT_EQ(k.KeyUp, want.Up);
      EXPECT_EQ(k.Extended, want.Extended);
      EXPECT_EQ(k.ScanCode, ScanCodeFromVirtualKey(want.Vk));
    }
    EXPECT_TRUE(FPeer.Quiet());
  }
  EXPECT_EQ(FWindow->focusWidget(), FWindow->Canvas());  // the next key still goes to the partner

  FPeer.Send(MsgSessionEnd);
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->BannerText().isEmpty(); }));
  EXPECT_FALSE(button->isEnabled());
  actions[0]->trigger();
  EXPECT_TRUE(FPeer.Quiet());
}

// The status bar shows frames per second and a round trip while the session runs, and nothing
// outside it. Here the peer sends each frame only after the previous one's acknowledgement.
TEST_F(ViewerWindowTest, TheStatusBarShowsFrameRateAndRoundTrip) {
  StartSession();
  for (uint32_t n = 1; n <= 6; ++n) SendFrameAcked(Frame(320, 200, {{0, 0, test::SolidJpeg(320, 200, Qt::green)}}, n));
  FWindow->RefreshLinkFigures();
  const QRegularExpression shape(QStringLiteral("^[0-9]+(\\.[0-9])? fps · 왕복 ≤ [0-9]+ ms$"));
  EXPECT_TRUE(shape.match(FWindow->LinkText()).hasMatch()) << FWindow->LinkText().toStdString();
  EXPECT_NE(FWindow->LinkText(), Q("0.0 fps · 왕복 ≤ 0 ms"));
  FPeer.Send(MsgSessionEnd);
  ASSERT_TRUE(WaitUntil([&] { return !FWindow->BannerText().isEmpty(); }));
  EXPECT_EQ(FWindow->LinkText(), "");
}

TEST_F(ViewerWindowTest, OpensInsideTheScreenWithQtsOwnTextsInKorean) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(area.contains(FWindow->frameGeometry().topLeft()))
      << area.x() << "," << area.y() << " " << area.width() << "x" << area.height() << " window " << FWindow->x() << ","
      << FWindow->y() << " " << FWindow->width() << "x" << FWindow->height();
  EXPECT_LE(FWindow->width(), area.width());
  EXPECT_LE(FWindow->height(), area.height());

  ASSERT_TRUE(InstallKoreanQtTranslations(*qApp)) << "qt6-translations-l10n is missing";
  QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  EXPECT_EQ(box.button(QDialogButtonBox::Ok)->text(), Q("확인"));
  EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), Q("취소"));
}

// ---------------------------------------------------------------------------------------
// Teardown

TEST_F(ViewerWindowTest, DestroyingWithQueuedCallsAndARunningUploadIsClean) {
  StartSession();
  // An upload that cannot finish: the peer stops reading, so the worker blocks in a write.
  const fs::path file = fs::temp_directory_path() / ("tlm-big-" + std::to_string(::getpid()) + ".bin");
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, 'z');
    for (int i = 0; i < 48; ++i) out << block;
  }
  FNextFile = QString::fromStdString(file.string());
  FWindow->findChild<QPushButton*>("btnSendFile")->click();
  ASSERT_TRUE(FWindow->IsSendingFile());
  FWindow->findChild<QPushButton*>("btnSendFile")->click();  // the same file again waits behind it
  EXPECT_EQ(FOpenDialogs, 2);
  EXPECT_EQ(FWindow->QueuedUploads(), 1);

  // Calls the session queued (chat lines) are still waiting when the window goes away.
  for (int i = 0; i < 20; ++i) FPeer.SendText(MsgChat, "queued");
  FPeer.SendText(MsgClipboard, "queued");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  delete FWindow;
  FWindow = nullptr;
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  EXPECT_TRUE(FPeer.Closed());
  fs::remove(file);
}

}  // namespace
}  // namespace tlm
