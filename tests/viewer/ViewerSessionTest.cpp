// The viewer's session without any window, on a queue dispatcher the test thread runs:
// against a scripted relay-and-host peer for the session states, frames and input; with the
// same peer playing a hostile host for the bounds; and through the real relay to a real host
// agent for an upload and a download at once.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "host/HostAgent.h"
#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "protocol/Messages.h"
#include "relay/RelayServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/PacketWrites.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/TempFiles.h"
#include "tests/viewer/TestJpeg.h"
#include "tests/viewer/TestTileCapturer.h"
#include "viewer/TileDecoder.h"
#include "viewer/ViewerSession.h"
#include "viewer/ViewerTransfers.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A frame whose rectangles are as large as their tiles (ASizes overrides one rectangle's size).
TBytes Frame(int AW, int AH, const std::vector<std::tuple<int, int, TBytes>>& ATiles, uint32_t ANo = 1,
             int ARectW = 0, int ARectH = 0) {
  std::vector<TEncodedRect> rects;
  TTileDecoder decoder;
  for (const auto& [x, y, jpeg] : ATiles) {
    TEncodedRect r;
    r.Rect.X = uint16_t(x);
    r.Rect.Y = uint16_t(y);
    int w = 0, h = 0;
    decoder.PeekSize(jpeg, w, h);
    r.Rect.W = uint16_t(ARectW ? ARectW : w);
    r.Rect.H = uint16_t(ARectH ? ARectH : h);
    r.Rect.DataLen = uint32_t(jpeg.size());
    r.Data = jpeg;
    rects.push_back(std::move(r));
  }
  return BuildFramePayload(ANo, AW, AH, false, rects);
}

// A small JPEG whose header claims AW x AH, padded to ABytes: cheap to send, ruinous to decode.
TBytes LyingJpeg(int AW, int AH, size_t ABytes) {
  TBytes jpeg = test::SolidRgbJpeg(8, 8, 200, 10, 10);
  for (size_t i = 0; i + 8 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {  // SOF0: length, precision, height, width
      jpeg[i + 5] = uint8_t(AH >> 8);
      jpeg[i + 6] = uint8_t(AH);
      jpeg[i + 7] = uint8_t(AW >> 8);
      jpeg[i + 8] = uint8_t(AW);
      break;
    }
  if (jpeg.size() < ABytes) jpeg.resize(ABytes, 0);
  return jpeg;
}

// The process's peak resident memory so far.
long PeakKb() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

uint32_t PixelAt(const TRemoteScreen& AScreen, int AX, int AY) {
  uint32_t pixel = 0;
  AScreen.Read([&](const TRemoteScreen::TView& AView) {
    if (AView.Bits && AX < AView.Width && AY < AView.Height)
      pixel = *reinterpret_cast<const uint32_t*>(AView.Bits + AY * AView.Stride + AX * 4);
  });
  return pixel;
}

bool NearRgb(uint32_t APixel, uint8_t AR, uint8_t AG, uint8_t AB) {
  auto near = [](int A, int B) { return std::abs(A - B) <= 12; };
  return near(int(APixel >> 16 & 0xFF), AR) && near(int(APixel >> 8 & 0xFF), AG) && near(int(APixel & 0xFF), AB);
}

std::string Contents(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Sockets in CLOSE-WAIT whose far end is 127.0.0.1:APort.
int CloseWaitTo(uint16_t APort) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);
  int count = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const auto colon = remote.find(':');
    if (colon == std::string::npos) continue;
    if (std::stoul(remote.substr(colon + 1), nullptr, 16) == APort && state == "08") ++count;
  }
  return count;
}

// Members are public: the rows of the table tests reach them through a reference.
class ViewerSessionTest : public ::testing::Test {
public:
  void TearDown() override {
    if (Session) Session->Stop();
  }

  TViewerParams Params(uint16_t APort) {
    TViewerParams p;
    p.Server = "127.0.0.1";
    p.Port = APort;
    p.TargetID = "123456789";
    p.MyName = "Tester";
    p.Proof = "proof";
    p.Quality = 1;
    p.DownloadDir = Home.Sub("Downloads");
    return p;
  }

  void Make(TViewerParams AParams) {
    Session = std::make_unique<TViewerSession>(Ui, std::move(AParams));
    TViewerSession& s = *Session;
    s.OnStatus = [this](const std::string& t) { Statuses.push_back(t); };
    s.OnFrame = [this] { ++Repaints; };
    s.OnMonitors = [this](const std::vector<TMonitorEntry>& m) { Monitors.push_back(m); };
    s.OnChat = [this](const std::string& t) { Chats.push_back(t); };
    s.OnChatDropped = [this](size_t n) { Dropped += n; };
    s.OnClipboard = [this](const std::string& t) { Clips.push_back(t); };
    s.OnListing = [this](const TDirListing& l, bool cut) {
      Listings.push_back(l.Path);
      ListingRows = l.Entries.size();
      ListingCut = cut;
    };
    s.OnUploadDone = [this](const std::string& n, bool ok) { Uploads.push_back(n + (ok ? ":ok" : ":failed")); };
    s.OnConnectFailed = [this](const std::string& t) { Failures.push_back(t); };
    s.OnRelayError = [this](const std::string& t) { RelayErrors.push_back(t); };
    s.OnEnded = [this](const std::string& t) { Ended.push_back(t); };
  }

  // A session talking to the test's peer, its connect request read.
  void Open(int AQuality = 1) {
    TViewerParams p = Params(Listener.Port());
    p.Quality = AQuality;
    Make(p);
    Session->Start();
    Peer = Listener.Accept();
    Peer->SetReadTimeout(10000);
    const TPacket request = Read();
    ASSERT_EQ(request.Type, MsgConnectRequest);
    EXPECT_EQ(TextOf(request.Payload), "123456789\tTester\tproof\tcontrol");
  }

  // The next packet from the viewer, the UI running meanwhile; type 0 after ATimeoutMs.
  TPacket Read(int ATimeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (Clock::now() < deadline) {
      Ui.RunPending();
      if (Peer->WaitReadable(10)) return ReadPacket(*Peer);
    }
    ADD_FAILURE() << "nothing from the viewer";
    return {};
  }
  bool Quiet(int AMs = 150) {
    Ui.RunPending();
    return !Peer->WaitReadable(AMs);
  }
  // True once the viewer has closed its end.
  bool PeerSeesClose(int ATimeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (Clock::now() < deadline) {
      Ui.RunPending();
      if (!Peer->WaitReadable(10)) continue;
      try {
        ReadPacket(*Peer);
      } catch (const TConnectionError&) {
        return true;
      }
    }
    return false;
  }
  void Send(uint32_t AType, const TBytes& APayload = {}) { WritePacket(*Peer, AType, APayload, nullptr); }
  void SendText(uint32_t AType, const std::string& AText) { WriteTextPacket(*Peer, AType, AText, nullptr); }
  bool WaitFor(const std::function<bool()>& APred, int AMs = 5000) { return Ui.RunUntil(APred, AMs); }

  uint8_t StartSession() {
    Send(MsgSessionStart);
    const TPacket quality = Read();
    EXPECT_EQ(quality.Type, MsgQuality);
    // The state changes before the status is queued: wait for both, so that no call of the
    // session's start is still to come when a test counts the queued ones.
    EXPECT_TRUE(WaitFor([&] { return Session->InSession() && LastStatus() == "연결됨 - 원격 제어 중"; }));
    // Every start announces the tile codings this build decodes.
    EXPECT_EQ(AnnouncedTileCodings(quality.Payload), DecodedTileCodings());
    return quality.Payload.empty() ? 0xFF : quality.Payload[0];
  }
  // Sends a frame and reads its acknowledgement, without running the UI queue.
  void FrameAcked(const TBytes& APayload) {
    Send(MsgFrame, APayload);
    ASSERT_TRUE(Peer->WaitReadable(10000));
    const TPacket ack = ReadPacket(*Peer);
    EXPECT_EQ(ack.Type, MsgFrameAck);
  }
  std::string LastStatus() { return Statuses.empty() ? "" : Statuses.back(); }

  test::TTempHome Home;
  TQueueDispatcher Ui;
  test::TLoopbackListener Listener;
  std::unique_ptr<TTcpConnection> Peer;
  std::unique_ptr<TViewerSession> Session;
  std::vector<std::string> Statuses, Chats, Clips, Listings, Uploads, Failures, RelayErrors, Ended;
  std::vector<std::vector<TMonitorEntry>> Monitors;
  size_t Dropped = 0;
  long PeakKbBefore = 0;
  size_t ListingRows = 0;
  bool ListingCut = false;
  int Repaints = 0;
};

// ---------------------------------------------------------------------------------------
// Session states and the connection's end

TEST_F(ViewerSessionTest, StatesFollowTheRelayAndThePartner) {
  Open(2);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "원격지 승인 대기 중..."; }));
  EXPECT_EQ(Session->State(), TViewerSession::EState::Waiting);
  EXPECT_FALSE(Session->SendKey(0x41, false, false));  // no input before admission
  EXPECT_EQ(StartSession(), 2);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "연결됨 - 원격 제어 중"; }));

  Send(200, TBytes(1000, 7));  // unknown: read whole and dropped
  Send(MsgSessionEnd);
  EXPECT_TRUE(WaitFor([&] { return Ended.size() == 1; }));
  EXPECT_EQ(Ended[0], "원격지 연결 종료됨");
  EXPECT_EQ(LastStatus(), "원격지 연결 종료됨");
  EXPECT_FALSE(Session->InSession());
  EXPECT_FALSE(Session->SendKey(0x41, false, false));

  // Admitted again on the same connection: the quality chosen meanwhile is asked for.
  Session->SetQuality(0, true);
  EXPECT_TRUE(Quiet());
  EXPECT_EQ(StartSession(), 0);
}

TEST_F(ViewerSessionTest, PresetsTravelAsOneByteAndUnknownOnesAreRefused) {
  Open(QualitySmooth);
  EXPECT_EQ(StartSession(), QualitySmooth);
  EXPECT_FALSE(Session->SetQuality(4));
  EXPECT_FALSE(Session->SetQuality(-1));
  EXPECT_TRUE(Quiet());
  ASSERT_TRUE(Session->SetQuality(QualityFast));
  TPacket sent = Read();
  EXPECT_EQ(sent.Type, MsgQuality);
  // A change of preset announces the codings again: the host takes each MsgQuality whole.
  EXPECT_EQ(sent.Payload, QualityPayload(QualityFast));
  EXPECT_EQ(AnnouncedTileCodings(sent.Payload), DecodedTileCodings());
  ASSERT_TRUE(Session->SetQuality(QualitySmooth));
  sent = Read();
  EXPECT_EQ(sent.Payload.at(0), QualitySmooth);
  EXPECT_EQ(AnnouncedTileCodings(sent.Payload), DecodedTileCodings());
}

TEST_F(ViewerSessionTest, ALostConnectionEndsTheSessionAndLeavesNoSocketHalfClosed) {
  struct TCase {
    const char* What;
    std::function<void(ViewerSessionTest&)> Break;
    bool PeerStaysOpen;
  } cases[] = {
      {"peer closes", [](ViewerSessionTest& T) { T.Peer->Close(); }, false},
      {"packet above the size limit",
       [](ViewerSessionTest& T) {
         TBytes header(8);
         PutLE32(header.data(), MsgChat);
         PutLE32(header.data() + 4, MaxPacketPayload + 1);
         T.Peer->WriteAll(header.data(), header.size());
       },
       true},
      {"undecodable tile",
       [](ViewerSessionTest& T) {
         T.Send(MsgFrame, Frame(64, 48, {{0, 0, TBytes{0xFF, 0xD8, 0xFF, 0x00, 1, 2, 3}}}, 1, 8, 8));
       },
       true},
      {"relay error text, then the close",
       [](ViewerSessionTest& T) {
         T.SendText(MsgRelayError, "대상을 찾을 수 없습니다");
         T.SendText(MsgRelayError, "again");
         T.Peer->Close();
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    Statuses.clear();
    Ended.clear();
    RelayErrors.clear();
    Open();
    StartSession();
    c.Break(*this);
    const bool refusal = std::string(c.What).starts_with("relay");
    if (refusal) {
      // The close that follows a refusal is no loss of its own: the refusal's text stays.
      ASSERT_TRUE(WaitFor([&] { return Session->State() == TViewerSession::EState::Failed; }));
      EXPECT_TRUE(Ended.empty());
      EXPECT_TRUE(WaitFor([&] { return LastStatus() == "오류: 대상을 찾을 수 없습니다"; })) << LastStatus();
    } else {
      ASSERT_TRUE(WaitFor([&] { return !Ended.empty(); }));
      EXPECT_EQ(Ended, std::vector<std::string>{"연결 종료됨"});
      EXPECT_EQ(Session->State(), TViewerSession::EState::Lost);
    }
    if (c.PeerStaysOpen) {
      EXPECT_TRUE(PeerSeesClose());  // the viewer let go of its socket at once
    } else {
      EXPECT_TRUE(WaitFor([&] { return CloseWaitTo(Listener.Port()) == 0; }));
    }
    if (refusal) {
      EXPECT_EQ(RelayErrors, std::vector<std::string>{"대상을 찾을 수 없습니다"});  // one box, not two
    }
    Session->Stop();
    Session.reset();
  }
}

TEST_F(ViewerSessionTest, FailedConnectIsReportedOnTheUiThreadAndSendsNothing) {
  uint16_t deadPort = 0;
  {
    test::TLoopbackListener gone;
    deadPort = gone.Port();
  }
  Make(Params(deadPort));
  Session->Start();  // returns at once: connecting is the session thread's work
  ASSERT_TRUE(WaitFor([&] { return !Failures.empty(); }));
  EXPECT_EQ(Session->State(), TViewerSession::EState::Failed);
  EXPECT_TRUE(Ended.empty());
  EXPECT_FALSE(Session->SendChat("hello"));
}

TEST_F(ViewerSessionTest, StopReleasesHeldInputThenCloses) {
  Open();
  StartSession();
  EXPECT_TRUE(Session->SendKey(0x10, false, false));  // Shift down
  EXPECT_TRUE(Session->SendKey(0x41, false, false));  // A down
  EXPECT_TRUE(Session->SendKey(0x41, true, false));   // A up
  TMouseEventRec press{};
  press.X = 300;
  press.Y = 200;
  press.Button = 2;
  press.Action = 1;
  EXPECT_TRUE(Session->SendMouse(press));
  for (int i = 0; i < 4; ++i) Read();

  Session->ReleaseHeld();
  const TKeyEventRec key = UnpackKeyEvent(Read().Payload);
  EXPECT_EQ(key.VirtualKey, 0x10);
  EXPECT_EQ(key.KeyUp, 1);
  const TMouseEventRec up = UnpackMouseEvent(Read().Payload);
  EXPECT_EQ(up.Button, 2);
  EXPECT_EQ(up.Action, 2);
  EXPECT_EQ(up.X, 300);
  EXPECT_EQ(up.Y, 200);
  Session->ReleaseHeld();  // nothing is held any more
  EXPECT_TRUE(Quiet());

  // Stop lets go of what is held and only then closes.
  Session->SendKey(0x11, false, true);
  EXPECT_EQ(UnpackKeyEvent(Read().Payload).KeyUp, 0);
  Session->Stop();
  const TKeyEventRec last = UnpackKeyEvent(Read().Payload);
  EXPECT_EQ(last.VirtualKey, 0x11);
  EXPECT_EQ(last.KeyUp, 1);
  EXPECT_TRUE(PeerSeesClose());
}

// ---------------------------------------------------------------------------------------
// Frames

TEST_F(ViewerSessionTest, FramesAreCompositedAndTheBufferFollowsTheHostsScreenSize) {
  Open();
  StartSession();
  FrameAcked(Frame(64, 48, {{0, 0, test::SolidRgbJpeg(32, 48, 220, 30, 30)}, {32, 0, test::SolidRgbJpeg(32, 48, 30, 30, 220)}}));
  const TRemoteScreen& screen = Session->Screen();
  EXPECT_EQ(screen.Width(), 64);
  EXPECT_EQ(screen.Height(), 48);
  EXPECT_TRUE(NearRgb(PixelAt(screen, 5, 5), 220, 30, 30));
  EXPECT_TRUE(NearRgb(PixelAt(screen, 60, 40), 30, 30, 220));
  // Several frames before the UI runs: one repaint.
  FrameAcked(Frame(64, 48, {{56, 40, test::SolidRgbJpeg(16, 16, 30, 200, 30)}}, 2));
  FrameAcked(Frame(64, 48, {}, 3));
  EXPECT_EQ(Ui.RunPending(), 1);
  EXPECT_EQ(Repaints, 1);
  EXPECT_TRUE(NearRgb(PixelAt(screen, 60, 44), 30, 200, 30));  // clipped at the edge

  // Another monitor: a new list, then a key frame of the new size.
  SendText(MsgMonitorList, "0\t64\t48\t1\r\n1\t80\t40\t0");
  FrameAcked(Frame(80, 40, {{0, 0, test::SolidRgbJpeg(80, 40, 30, 200, 30)}}, 4));
  EXPECT_EQ(screen.Width(), 80);
  EXPECT_EQ(screen.Height(), 40);
  EXPECT_TRUE(NearRgb(PixelAt(screen, 79, 39), 30, 200, 30));
  ASSERT_TRUE(WaitFor([&] { return Monitors.size() == 1; }));
  EXPECT_EQ(Monitors[0].size(), 2u);
}

TEST_F(ViewerSessionTest, UnusableFramesAreAcknowledgedAndLeaveThePictureAlone) {
  Open();
  StartSession();
  FrameAcked(Frame(64, 48, {{0, 0, test::SolidRgbJpeg(64, 48, 250, 250, 250)}}));
  struct TCase {
    const char* What;
    TBytes Payload;
  } cases[] = {
      {"short header", TBytes(11, 0)},
      {"data shorter than announced",
       [] {
         TBytes p = Frame(64, 48, {{0, 0, test::SolidRgbJpeg(8, 8, 255, 0, 0)}});
         p.resize(p.size() - 5);
         return p;
       }()},
      {"screen above the side limit", Frame(20000, 48, {{0, 0, test::SolidRgbJpeg(8, 8, 255, 0, 0)}})},
      {"tile larger than its screen", Frame(16, 16, {{0, 0, test::SolidRgbJpeg(32, 16, 255, 0, 0)}})},
      {"tile larger than the screen after a good one",
       Frame(64, 48, {{0, 0, test::SolidRgbJpeg(8, 8, 255, 0, 0)}, {0, 0, test::SolidRgbJpeg(64, 49, 255, 0, 0)}})},
      {"tile larger than its rectangle", Frame(64, 48, {{0, 0, test::SolidRgbJpeg(32, 32, 255, 0, 0)}}, 1, 16, 16)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    FrameAcked(c.Payload);
    EXPECT_EQ(Session->Screen().Width(), 64);
    EXPECT_EQ(Session->Screen().Height(), 48);
    EXPECT_TRUE(NearRgb(PixelAt(Session->Screen(), 4, 4), 250, 250, 250));
  }
  EXPECT_TRUE(Session->InSession());
}

TEST_F(ViewerSessionTest, StopDoesNotWaitForAFrameOfManyLargeTiles) {
  Open();
  StartSession();
  // Many tiles of 4096 x 4096: seconds of decoding, all of it legal.
  const TBytes tile = test::SolidRgbJpeg(4096, 4096, 20, 20, 20);
  const size_t count = std::min<size_t>(400, (MaxPacketPayload - 64) / (tile.size() + 12));
  double tileSeconds = 0;
  {
    std::vector<uint32_t> pixels(size_t(4096) * 4096);
    TTileDecoder decoder;
    const auto started = Clock::now();
    decoder.DrawInto(tile, TPixelTarget{reinterpret_cast<uint8_t*>(pixels.data()), 4096, 4096, 4096 * 4}, 0, 0);
    tileSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  }
  std::vector<std::tuple<int, int, TBytes>> tiles(count, {0, 0, tile});
  Send(MsgFrame, Frame(4096, 4096, tiles));
  ASSERT_TRUE(WaitFor([&] { return Session->Screen().Width() == 4096; }));  // decoding has begun
  const auto started = Clock::now();
  Session->Stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const double whole = tileSeconds * double(count);
  std::printf("Stop during a frame of %zu tiles (about %.1f s of decoding) took %.3f s\n", count, whole, seconds);
  // Generous: a few tiles' worth, far below the whole frame.
  EXPECT_LT(seconds, std::max(1.0, whole / 4));
}

// ---------------------------------------------------------------------------------------
// Downloads

TEST_F(ViewerSessionTest, DownloadsLandInTheDownloadsFolderUnderAFreshName) {
  Open();
  StartSession();
  const fs::path downloads = Session->DownloadFolder();
  // Each file is asked for first, as a double-click in the remote list does: only files asked
  // for are accepted.
  auto download = [&](const std::string& ABegin, const std::vector<std::string>& AChunks) {
    const std::string name = ABegin.substr(0, ABegin.find('\t'));
    ASSERT_TRUE(Session->RequestFile("C:\\remote\\" + name));
    EXPECT_EQ(Read().Type, MsgFileGet);
    SendText(MsgFileBegin, ABegin);
    EXPECT_EQ(Read().Type, MsgFileReady);
    for (const auto& chunk : AChunks) SendText(MsgFileChunk, chunk);
  };
  // The UI has caught up once a frame sent after the messages is acknowledged and it ran.
  auto settled = [&] {
    FrameAcked(Frame(64, 48, {}, 7));
    Ui.RunPending();
  };
  download("..\\..\\x.exe\t5", {"hel", "lo"});
  settled();
  // Until the end arrives the file does not carry its name.
  EXPECT_FALSE(fs::exists(downloads / "x.exe"));
  EXPECT_EQ(LastStatus().rfind("다운로드 중: x.exe", 0), 0u) << LastStatus();
  Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "다운로드 완료 (내려받기 폴더): x.exe"; }));
  EXPECT_EQ(Contents(downloads / "x.exe"), "hello");

  // The same name again never replaces the first file; separators of any kind are cut.
  download("../x.exe\t3", {"abc"});
  Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "다운로드 완료 (내려받기 폴더): x (1).exe"; }));
  EXPECT_EQ(Contents(downloads / "x.exe"), "hello");
  EXPECT_EQ(Contents(downloads / "x (1).exe"), "abc");

  // Short of the announced size: no file under the name; a replaced download vanishes.
  download("part.bin\t10", {"12345"});
  download("next.bin\t2", {"ok"});
  Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "다운로드 완료 (내려받기 폴더): next.bin"; }));
  download("short.bin\t10", {"12345"});
  Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "다운로드 실패: short.bin"; }));
  // More than announced stops the download at once; its end finds nothing open.
  download("long.bin\t3", {"12", "345"});
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "다운로드 실패: long.bin"; }));
  Send(MsgFileEnd);

  // Fewer than two fields, or a name with nothing left, open no file.
  SendText(MsgFileBegin, "lonely.txt");
  SendText(MsgFileBegin, "..\t4");
  SendText(MsgFileChunk, "data");
  Send(MsgFileEnd);
  settled();
  EXPECT_TRUE(Quiet());

  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(downloads)) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"x.exe", "x (1).exe", "next.bin"}));
}

// ---------------------------------------------------------------------------------------
// A hostile host: every row is sent without the UI running, then bounded by what it queued
// and what it cost.

TEST_F(ViewerSessionTest, AHostileHostIsBounded) {
  Open();
  StartSession();
  FrameAcked(Frame(64, 48, {{0, 0, test::SolidRgbJpeg(64, 48, 250, 250, 250)}}));
  Ui.RunPending();
  const TBytes lying = LyingJpeg(1920, 1080, 1 << 20);
  struct TCase {
    const char* What;
    std::function<void(ViewerSessionTest&)> Flood;
    std::function<void(ViewerSessionTest&)> Check;  // after the UI ran
  } cases[] = {
      {"48 MiB of chat: the newest backlog shown, the rest counted, long lines cut",
       [](ViewerSessionTest& T) {
         const std::string line(24000, 'x');
         for (int i = 0; i < 2000; ++i) T.SendText(MsgChat, line);
         T.SendText(MsgChat, "가" + std::string(3000, 'y'));
       },
       [](ViewerSessionTest& T) {
         EXPECT_EQ(T.Chats.size(), MaxChatBacklog);
         EXPECT_EQ(T.Chats.size() + T.Dropped, 2001u);
         for (const std::string& line : T.Chats) EXPECT_EQ(line.size(), MaxChatLineChars);
       }},
      {"monitor lists coalesce to the newest",
       [](ViewerSessionTest& T) {
         for (int i = 1; i <= 3000; ++i) T.SendText(MsgMonitorList, "0\t" + std::to_string(i) + "\t10\t1");
       },
       [](ViewerSessionTest& T) {
         ASSERT_EQ(T.Monitors.size(), 1u);
         EXPECT_EQ(T.Monitors[0].at(0).WidthText, "3000");
       }},
      {"clipboard texts of 1 MiB coalesce to the newest",
       [](ViewerSessionTest& T) {
         for (int i = 0; i < 64; ++i) T.SendText(MsgClipboard, std::string(1 << 20, char('a' + i % 26)));
       },
       [](ViewerSessionTest& T) {
         ASSERT_EQ(T.Clips.size(), 1u);
         EXPECT_EQ(T.Clips[0][0], char('a' + 63 % 26));
       }},
      {"listings coalesce to the newest",
       [](ViewerSessionTest& T) {
         for (int i = 0; i < 3000; ++i) T.SendText(MsgDirListing, "C:\\d" + std::to_string(i) + "\r\n");
       },
       [](ViewerSessionTest& T) { EXPECT_EQ(T.Listings, std::vector<std::string>{"C:\\d2999"}); }},
      {"a monitor list of a million lines, the first with a size text of 1 MiB: 256 entries, texts cut",
       [](ViewerSessionTest& T) {
         std::string list = "0\t" + std::string(1 << 20, '9') + "\t1080\t1\r\n";
         for (int i = 1; i < 1000000; ++i) list += "1\t800\t600\t0\r\n";
         T.SendText(MsgMonitorList, list);
       },
       [](ViewerSessionTest& T) {
         ASSERT_EQ(T.Monitors.size(), 1u);
         ASSERT_EQ(T.Monitors[0].size(), MaxMonitorEntries);
         EXPECT_EQ(T.Monitors[0][0].WidthText, std::string(MaxMonitorFieldChars, '9'));
         EXPECT_EQ(T.Monitors[0].back().Number, int(MaxMonitorEntries));
         EXPECT_EQ(T.Monitors[0].back().WidthText, "800");
       }},
      {"a monitor list of 25 million empty lines: never split into 25 million strings",
       [](ViewerSessionTest& T) {
         T.PeakKbBefore = PeakKb();
         std::string list;
         for (int i = 0; i < 25000000; ++i) list += "\r\n";
         list += "0\t1920\t1080\t1";
         T.SendText(MsgMonitorList, list);
       },
       [](ViewerSessionTest& T) {
         ASSERT_EQ(T.Monitors.size(), 1u);
         EXPECT_TRUE(T.Monitors[0].empty());  // its one monitor lies beyond the bound
         // Split, the pieces alone would take 800 MB; the text itself is 50 MB, held twice.
         EXPECT_LT(PeakKb() - T.PeakKbBefore, 400L << 10);
       }},
      {"a listing of 60 MiB in short rows and names longer than any file's: bounded rows, long names left out",
       [](ViewerSessionTest& T) {
         std::string listing = "C:\\big\r\nF\t" + std::string(1 << 20, 'n') + "\t1\r\n";
         while (listing.size() < (60u << 20)) listing += "F\ta\t1\r\n";
         T.SendText(MsgDirListing, listing);
         T.SendText(MsgDirListing, "!" + std::string(1 << 20, 'e'));
         T.SendText(MsgDirListing, listing);
       },
       [](ViewerSessionTest& T) {
         EXPECT_EQ(T.Listings, std::vector<std::string>{"C:\\big"});
         EXPECT_EQ(T.ListingRows, MaxListingEntries - 1);  // the long name was one of the first rows
         EXPECT_TRUE(T.ListingCut);
       }},
      {"100000 session ends, then a new session: the ends coalesce to the newest",
       [](ViewerSessionTest& T) {
         for (int i = 0; i < 100000; ++i) T.Send(MsgSessionEnd);
         T.Send(MsgSessionStart);
         ASSERT_TRUE(T.Peer->WaitReadable(10000));
         EXPECT_EQ(ReadPacket(*T.Peer).Type, MsgQuality);
       },
       [](ViewerSessionTest& T) { EXPECT_EQ(T.Ended, std::vector<std::string>{"원격지 연결 종료됨"}); }},
      {"refusal and relay error texts of 4 MiB are cut (their statuses coalesce to the newest)",
       [](ViewerSessionTest& T) {
         T.SendText(MsgFileError, std::string(4 << 20, 'e'));
         T.SendText(MsgRelayError, "가" + std::string(4 << 20, 'r'));
       },
       [](ViewerSessionTest& T) {
         ASSERT_EQ(T.RelayErrors.size(), 1u);
         EXPECT_EQ(T.RelayErrors[0].size(), 3 + MaxStatusChars - 1);
         EXPECT_EQ(T.LastStatus().rfind("오류: 가rrr", 0), 0u);
         // At most MaxStatusChars code points: cutting there changes nothing.
         for (const std::string& status : T.Statuses) EXPECT_EQ(CutUtf8(status, MaxStatusChars), status);
       }},
      {"a 12-byte frame announcing 16384 x 16384",
       [](ViewerSessionTest& T) { T.Send(MsgFrame, Frame(16384, 16384, {})); },
       [](ViewerSessionTest& T) { EXPECT_EQ(T.Session->Screen().Width(), 64); }},
      {"a screen above 64 megapixels",
       [](ViewerSessionTest& T) { T.Send(MsgFrame, Frame(16384, 4097, {})); },
       [](ViewerSessionTest& T) { EXPECT_EQ(T.Session->Screen().Width(), 64); }},
      {"20 tiles of 1 MiB whose headers claim more than their rectangles",
       [&lying](ViewerSessionTest& T) {
         for (int i = 0; i < 20; ++i) T.Send(MsgFrame, Frame(1920, 1080, {{0, 0, lying}}, 10 + i, 64, 64));
       },
       [](ViewerSessionTest& T) {
         EXPECT_EQ(T.Session->Screen().Width(), 64);
         EXPECT_TRUE(NearRgb(PixelAt(T.Session->Screen(), 5, 5), 250, 250, 250));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    Chats.clear();
    Monitors.clear();
    Clips.clear();
    Listings.clear();
    Dropped = 0;
    const auto started = Clock::now();
    c.Flood(*this);
    // A frame after the flood: its acknowledgement says the reader has handled everything.
    FrameAcked(Frame(64, 48, {}, 99));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    while (Peer->WaitReadable(100)) EXPECT_EQ(ReadPacket(*Peer).Type, MsgFrameAck);  // the flood's frames
    // Memory: at most one queued call per kind of event (status, repaint, chat, monitors,
    // clipboard, listing), whatever was sent.
    EXPECT_LE(Ui.QueuedCount(), 6u);
    // Time: generous, only to catch a decode of what should have been refused.
    EXPECT_LT(seconds, 20.0);
    Ui.RunPending();
    c.Check(*this);
    EXPECT_TRUE(Session->InSession());
  }
}

// ---------------------------------------------------------------------------------------
// Through the real relay to a real host agent

class ViewerSessionRelayTest : public ViewerSessionTest {
protected:
  void SetUp() override {
    TRelayOptions options = test::QuietLoopbackRelay();
    Relay = std::make_unique<TRelayServer>(options);
    RelayPort = Relay->Start();
  }
  void TearDown() override {
    if (Session) Session->Stop();
    Session.reset();
    Agent.reset();
    Relay->Stop();
  }

  std::unique_ptr<TRelayServer> Relay;
  uint16_t RelayPort = 0;
  std::string HostID;  // the agent raises OnID until it is destroyed, after the test body
  std::unique_ptr<THostAgent> Agent;
};

std::string Pattern(size_t ASize, uint32_t ASeed) {
  std::string data(ASize, '\0');
  uint32_t x = ASeed;
  for (char& c : data) {
    x = x * 1664525u + 1013904223u;
    c = char(x >> 24);
  }
  return data;
}


TEST_F(ViewerSessionRelayTest, AnUploadAndADownloadAtOnceBothArriveWhole) {
  THostServices services;
  services.MakeCapturer = [] { return std::make_unique<test::TTileCapturer>(); };
  services.DownloadDir = Home.Sub("HostDownloads");
  Agent = std::make_unique<THostAgent>(Ui, "127.0.0.1", RelayPort, "dev-key-viewer", HashPassword("pw"), services);
  Agent->OnID = [this](const std::string& AId) { HostID = AId; };
  Agent->Start();
  ASSERT_TRUE(WaitFor([&] { return !HostID.empty(); }, 10000));
  const std::string id = HostID;

  const size_t size = size_t(24) << 20;
  const std::string up = Pattern(size, 1), down = Pattern(size, 2);
  const fs::path upPath = Home.Sub("up.bin"), downPath = Home.Sub("down.bin");
  std::ofstream(upPath, std::ios::binary) << up;
  std::ofstream(downPath, std::ios::binary) << down;

  TViewerParams p = Params(RelayPort);
  p.TargetID = id;
  p.Proof = MakeSessionProof(id, HashPassword("pw"));
  Make(p);
  Session->Start();
  ASSERT_TRUE(WaitFor([&] { return Session->InSession(); }, 10000))
      << id << " / " << LastStatus() << " / " << (RelayErrors.empty() ? "" : RelayErrors[0]);

  Session->SendFile(upPath.string());
  ASSERT_TRUE(Session->RequestFile(downPath.string()));
  // Both directions at once, while the host streams frames and both readers acknowledge.
  ASSERT_TRUE(WaitFor(
      [&] {
        return !Uploads.empty() && fs::exists(fs::path(p.DownloadDir) / "down.bin") &&
               fs::exists(fs::path(services.DownloadDir) / "up.bin");
      },
      120000))
      << LastStatus();
  EXPECT_EQ(Uploads, std::vector<std::string>{"up.bin:ok"});
  EXPECT_TRUE(Session->InSession());
  EXPECT_TRUE(Contents(fs::path(p.DownloadDir) / "down.bin") == down);
  EXPECT_TRUE(WaitFor([&] { return Contents(fs::path(services.DownloadDir) / "up.bin") == up; }, 10000));
}

// ---------------------------------------------------------------------------------------
// Files the test's peer plays the host for

TEST_F(ViewerSessionTest, OnlyRequestedFilesAreWrittenWithProgressOnTheWay) {
  Open();
  StartSession();
  const fs::path downloads = Home.Sub("Downloads");
  auto names = [&] {
    std::set<std::string> found;
    if (fs::exists(downloads))
      for (const auto& e : fs::directory_iterator(downloads)) found.insert(e.path().filename().string());
    return found;
  };

  // Nobody asked for these: no MsgFileReady, nothing on disk, a status line saying so.
  for (const char* begin : {"evil.sh\t4", ".bash_profile\t4", "C:\\x\\report.pdf\t4"}) {
    SendText(MsgFileBegin, begin);
    SendText(MsgFileChunk, "data");
    Send(MsgFileEnd);
  }
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "요청하지 않은 파일을 버렸습니다: report.pdf"; })) << LastStatus();
  EXPECT_TRUE(Quiet());
  EXPECT_EQ(names(), std::set<std::string>{});

  // Asked for: accepted once each, a leading dot stored as "_".
  ASSERT_TRUE(Session->RequestFile("/home/kim/.bash_profile"));
  ASSERT_TRUE(Session->RequestFile("C:\\x\\report.pdf"));
  EXPECT_EQ(TextOf(Read().Payload), "/home/kim/.bash_profile");
  EXPECT_EQ(TextOf(Read().Payload), "C:\\x\\report.pdf");
  SendText(MsgFileBegin, ".bash_profile\t4");
  EXPECT_EQ(Read().Type, MsgFileReady);
  SendText(MsgFileChunk, "safe");
  Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "다운로드 완료 (내려받기 폴더): _bash_profile"; })) << LastStatus();

  // A large one shows its progress while it arrives.
  const size_t chunks = 40;
  SendText(MsgFileBegin, "report.pdf\t" + std::to_string(chunks * FileChunkSize));
  EXPECT_EQ(Read().Type, MsgFileReady);
  for (size_t i = 0; i < chunks / 2; ++i) Send(MsgFileChunk, TBytes(FileChunkSize, uint8_t(i)));
  EXPECT_TRUE(WaitFor([&] { return LastStatus().rfind("다운로드 중: report.pdf ", 0) == 0 && LastStatus().find("%") != std::string::npos; }))
      << LastStatus();
  for (size_t i = chunks / 2; i < chunks; ++i) Send(MsgFileChunk, TBytes(FileChunkSize, uint8_t(i)));
  Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "다운로드 완료 (내려받기 폴더): report.pdf"; })) << LastStatus();

  // The same name a second time was asked for once only.
  SendText(MsgFileBegin, "report.pdf\t4");
  SendText(MsgFileChunk, "more");
  Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return LastStatus() == "요청하지 않은 파일을 버렸습니다: report.pdf"; })) << LastStatus();
  EXPECT_EQ(names(), (std::set<std::string>{"_bash_profile", "report.pdf"}));
  EXPECT_EQ(fs::file_size(downloads / "report.pdf"), chunks * FileChunkSize);
}

TEST_F(ViewerSessionTest, ACancelledUploadStopsAndStillEndsTheFile) {
  Open();
  StartSession();
  const std::string path = Home.Sub("big.bin");
  const uint64_t size = uint64_t(256) << 20;  // sparse: far more than the connection can hold
  {
    std::ofstream(path, std::ios::binary).flush();
    fs::resize_file(path, size);
  }
  Session->SendFile(path);
  const TPacket begin = Read();
  EXPECT_EQ(TextOf(begin.Payload), "big.bin\t" + std::to_string(size));
  uint64_t got = 0;
  for (int i = 0; i < 8; ++i) {
    const TPacket chunk = Read();
    ASSERT_EQ(chunk.Type, MsgFileChunk);
    got += chunk.Payload.size();
  }
  EXPECT_TRUE(WaitFor([&] { return LastStatus().rfind("전송 중: big.bin ", 0) == 0; })) << LastStatus();
  EXPECT_TRUE(Session->Uploading());
  Session->CancelUpload();
  // The host hears of the cancel ahead of the chunks still queued; the end still closes the file.
  int cancels = 0;
  for (;;) {
    const TPacket p = Read();
    if (p.Type == MsgFileCancel) {
      EXPECT_TRUE(p.Payload.empty()) << "a numbered cancel is a download's";
      ++cancels;
      continue;
    }
    if (p.Type != MsgFileChunk) {
      EXPECT_EQ(p.Type, MsgFileEnd);
      break;
    }
    got += p.Payload.size();
  }
  EXPECT_EQ(cancels, 1);
  EXPECT_LT(got, size);
  EXPECT_TRUE(WaitFor([&] { return !Uploads.empty(); }));
  EXPECT_EQ(Uploads, std::vector<std::string>{"big.bin:failed"});
  EXPECT_FALSE(Session->Uploading());
  EXPECT_TRUE(Session->InSession());
}

// Holds every write from the first packet of type Blocked until Release; records the types.
class THeldConnection final : public IConnection {
public:
  explicit THeldConnection(uint32_t ABlocked) : FBlocked(ABlocked) {}
  void WriteAll(const void* AData, size_t) override {
    uint32_t type = 0;
    std::memcpy(&type, AData, sizeof type);
    std::unique_lock hold(FLock);
    if (type == FBlocked) FHolding = !FReleased;
    FChanged.wait(hold, [this] { return !FHolding; });
    FTypes.push_back(type);
  }
  void ReadExact(void*, size_t) override { throw TConnectionError("write-only"); }
  bool WaitReadable(int) override { return false; }
  void Release() {
    std::lock_guard hold(FLock);
    FReleased = true;
    FHolding = false;
    FChanged.notify_all();
  }
  std::vector<uint32_t> Types() {
    std::lock_guard hold(FLock);
    return FTypes;
  }

private:
  const uint32_t FBlocked;
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FHolding = false, FReleased = false;
  std::vector<uint32_t> FTypes;
};

TEST(ViewerUploadTest, TheNextUploadNeverOvertakesTheEndOfTheLast) {
  test::TTempHome home;
  test::WriteFile(home.Sub("one.bin"), "first");
  test::WriteFile(home.Sub("two.bin"), "second");
  THeldConnection conn(MsgFileChunk);
  TPacketWriter writer(conn);
  writer.Start();
  TViewerUpload upload(writer);
  std::atomic<int> done{0};
  upload.OnDone = [&](const std::string&, bool) { ++done; };
  upload.Start(home.Sub("one.bin"));
  // The chunk is held on the wire; the end waits in the queue behind it. The first upload must
  // not count as finished until the end has left.
  const auto deadline = Clock::now() + std::chrono::milliseconds(300);
  while (upload.Running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (upload.Running()) conn.Release();
  while (upload.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  upload.Start(home.Sub("two.bin"));
  conn.Release();
  while (upload.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(writer.Flush(5000));
  EXPECT_EQ(conn.Types(), (std::vector<uint32_t>{MsgFileBegin, MsgFileChunk, MsgFileEnd, MsgFileBegin, MsgFileChunk,
                                                  MsgFileEnd}));
  EXPECT_EQ(done.load(), 2);
  writer.Stop();
}

TEST(CutUtf8Test, KeepsWholeCodePoints) {
  struct TCase {
    std::string Text;
    size_t Max;
    std::string Want;
  } cases[] = {
      {"abc", 5, "abc"}, {"abc", 2, "ab"}, {"가나다", 2, "가나"}, {"a가", 1, "a"}, {"", 0, ""}, {"😀x", 1, "😀"},
  };
  for (const auto& c : cases) EXPECT_EQ(CutUtf8(c.Text, c.Max), c.Want) << c.Text << " " << c.Max;
}

}  // namespace
}  // namespace tlm
