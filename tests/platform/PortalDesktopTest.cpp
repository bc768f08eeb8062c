// The portal backend against a fake portal on a private D-Bus bus, with pictures from a test
// producer through a private PipeWire daemon: the request flow, the restore token across
// starts, the streams' pixels and layout, and the input calls the portal receives.
#include <gtest/gtest.h>
#include <spa/param/video/raw.h>

#include <chrono>
#include <optional>
#include <thread>

#include "platform/KeyCodes.h"
#include "platform/portal/PipeWireCapture.h"
#include "platform/portal/PortalDesktop.h"
#include "tests/support/portal/PortalTestBed.h"

namespace tlm {
namespace {

using test::TChunkLie;
using test::TFakePortal;
using test::TFakePortalConfig;
using test::TFakeStream;
using test::TInputCall;
using test::TPortalDaemons;
using test::TVideoProducer;

constexpr int StartTimeoutMs = 20000;

// A picture whose every pixel differs from its neighbours in each channel.
std::vector<uint32_t> Pattern(int AWidth, int AHeight, uint32_t ASeed) {
  std::vector<uint32_t> P(size_t(AWidth) * size_t(AHeight));
  for (int Y = 0; Y < AHeight; ++Y)
    for (int X = 0; X < AWidth; ++X)
      P[size_t(Y) * size_t(AWidth) + size_t(X)] =
          (uint32_t(X * 7 + Y * 13 + ASeed) & 0xFF) << 16 | (uint32_t(X * 3 + ASeed) & 0xFF) << 8 | (uint32_t(Y * 5) & 0xFF);
  return P;
}

// The token store of one "config.ini", kept across starts.
struct TMemoryTokens {
  std::mutex Lock;
  std::string Token;
  int Saves = 0;
  TPortalTokenStore Store() {
    return {[this] {
              std::lock_guard L(Lock);
              return Token;
            },
            [this](const std::string& A) {
              std::lock_guard L(Lock);
              Token = A;
              ++Saves;
            }};
  }
};

class PortalDesktopTest : public ::testing::Test {
protected:
  void SetUp() override {
    Daemons = std::make_unique<TPortalDaemons>();
    if (!Daemons->Running()) GTEST_SKIP() << Daemons->Error();
  }

  std::unique_ptr<TFakePortal> Portal(TFakePortalConfig AConfig) {
    auto P = std::make_unique<TFakePortal>(*Daemons, std::move(AConfig));
    EXPECT_TRUE(P->Running()) << P->Error();
    return P;
  }

  std::shared_ptr<TPortalDesktop> Desktop(TPortalTokenStore ATokens = {}) {
    TPortalDesktopSetup Setup;
    Setup.BusAddress = Daemons->BusAddress();
    Setup.Tokens = std::move(ATokens);
    Setup.FirstFrameTimeoutMs = StartTimeoutMs;
    return std::make_shared<TPortalDesktop>(std::move(Setup));
  }

  // Waits until the fake portal recorded ACount input calls.
  static std::vector<TInputCall> WaitForCalls(TFakePortal& APortal, size_t ACount) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<TInputCall> Calls;
    while ((Calls = APortal.InputCalls()).size() < ACount && std::chrono::steady_clock::now() < Deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Calls;
  }

  std::unique_ptr<TPortalDaemons> Daemons;
};

TEST_F(PortalDesktopTest, EachPixelLayoutArrivesAsOurWords) {
  const struct {
    uint32_t Format;
    const char* Name;
  } Cases[] = {{SPA_VIDEO_FORMAT_BGRx, "BGRx"}, {SPA_VIDEO_FORMAT_RGBx, "RGBx"}, {SPA_VIDEO_FORMAT_xRGB, "xRGB"},
               {SPA_VIDEO_FORMAT_xBGR, "xBGR"}, {SPA_VIDEO_FORMAT_RGBA, "RGBA"}};
  constexpr int W = 64, H = 48;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const auto Picture = Pattern(W, H, C.Format);
    TVideoProducer Producer(*Daemons, C.Format, W, H, Picture);
    ASSERT_NE(Producer.NodeId(), 0u);
    auto Fake = Portal({.Streams = {TFakeStream{Producer.NodeId(), true, 0, 0, W, H}}});
    auto D = Desktop();
    ASSERT_TRUE(D->WaitUntilRunning(StartTimeoutMs)) << D->Problem();
    auto Screen = CreatePortalScreen(D);
    EXPECT_EQ(Screen->EnumMonitors(), (std::vector<TMonitorInfoRec>{{{0, 0, W, H}, true}}));
    EXPECT_EQ(Screen->ScreenRect(), (TPixelRect{0, 0, W, H}));
    std::vector<uint32_t> Got(size_t(W) * H, 0xDEADBEEF);
    ASSERT_TRUE(Screen->CopyRect({0, 0, W, H}, Got.data(), W));
    for (auto& Word : Got) Word &= 0x00FFFFFF;
    EXPECT_EQ(Got, Picture);
  }
}

TEST_F(PortalDesktopTest, TwoStreamsMakeTwoMonitorsAndACopyAcrossThem) {
  const auto Left = Pattern(64, 48, 1), Right = Pattern(32, 24, 2);
  TVideoProducer A(*Daemons, SPA_VIDEO_FORMAT_BGRx, 64, 48, Left);
  TVideoProducer B(*Daemons, SPA_VIDEO_FORMAT_BGRx, 32, 24, Right);
  ASSERT_NE(A.NodeId(), 0u);
  ASSERT_NE(B.NodeId(), 0u);
  auto Fake = Portal({.Streams = {TFakeStream{A.NodeId(), true, 0, 0, 64, 48}, TFakeStream{B.NodeId(), true, 64, 0, 32, 24}}});
  auto D = Desktop();
  ASSERT_TRUE(D->WaitUntilRunning(StartTimeoutMs)) << D->Problem();
  auto Screen = CreatePortalScreen(D);
  EXPECT_TRUE(Screen->TakeLayoutChange());
  EXPECT_FALSE(Screen->TakeLayoutChange());
  EXPECT_EQ(Screen->EnumMonitors(), (std::vector<TMonitorInfoRec>{{{0, 0, 64, 48}, true}, {{64, 0, 96, 24}, false}}));

  // (60, 20)..(70, 30): four columns of the left monitor, six of the right one down to its
  // bottom at 24, and below that nothing, which keeps what the buffer held.
  const TPixelRect R{60, 20, 70, 30};
  std::vector<uint32_t> Got(100, 0xDEADBEEF);
  ASSERT_TRUE(Screen->CopyRect(R, Got.data(), 10));
  for (int Y = R.Top; Y < R.Bottom; ++Y) {
    for (int X = R.Left; X < R.Right; ++X) {
      const uint32_t Word = Got[size_t(Y - R.Top) * 10 + size_t(X - R.Left)];
      SCOPED_TRACE(testing::Message() << "at " << X << "," << Y);
      if (X < 64) EXPECT_EQ(Word & 0xFFFFFF, Left[size_t(Y) * 64 + size_t(X)]);
      else if (Y < 24) EXPECT_EQ(Word & 0xFFFFFF, Right[size_t(Y) * 32 + size_t(X - 64)]);
      else EXPECT_EQ(Word, 0xDEADBEEFu);
    }
  }
}

TEST_F(PortalDesktopTest, StreamsWithoutABelievablePositionArePlacedSideBySide) {
  TVideoProducer A(*Daemons, SPA_VIDEO_FORMAT_BGRx, 32, 24, Pattern(32, 24, 8));
  TVideoProducer B(*Daemons, SPA_VIDEO_FORMAT_BGRx, 16, 12, Pattern(16, 12, 9));
  ASSERT_NE(A.NodeId(), 0u);
  ASSERT_NE(B.NodeId(), 0u);
  auto Fake = Portal({.Streams = {TFakeStream{A.NodeId(), false, 0, 0, 32, 24},
                                  TFakeStream{B.NodeId(), true, 2147483600, -2147483600, 16, 12}}});
  auto D = Desktop();
  ASSERT_TRUE(D->WaitUntilRunning(StartTimeoutMs)) << D->Problem();
  EXPECT_EQ(CreatePortalScreen(D)->EnumMonitors(),
            (std::vector<TMonitorInfoRec>{{{0, 0, 32, 24}, true}, {{32, 0, 48, 12}, false}}));
}

TEST_F(PortalDesktopTest, RestoreTokenAcrossStarts) {
  const struct {
    const char* Name;
    uint32_t RemoteVersion, CastVersion;
    int DialogsAfterThree;  // of three starts, each offering the token the one before got
    bool TokensKept;
    bool InputGranted;
  } Cases[] = {
      {"remote desktop that restores", 2, 4, 1, true, true},
      // Debian 12's portal 1.16: no persistence for remote desktop, so no token is asked for.
      {"remote desktop without restore", 1, 4, 3, false, true},
      {"screen cast only", 0, 4, 1, true, false},
  };
  TVideoProducer Producer(*Daemons, SPA_VIDEO_FORMAT_BGRx, 32, 24, Pattern(32, 24, 3));
  ASSERT_NE(Producer.NodeId(), 0u);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    auto Fake = Portal({.ScreenCastVersion = C.CastVersion,
                        .RemoteDesktopVersion = C.RemoteVersion,
                        .Streams = {TFakeStream{Producer.NodeId(), true, 0, 0, 32, 24}}});
    TMemoryTokens Tokens;
    std::string FirstToken;
    for (int Start = 1; Start <= 3; ++Start) {
      auto D = Desktop(Tokens.Store());
      ASSERT_TRUE(D->WaitUntilRunning(StartTimeoutMs)) << D->Problem();
      EXPECT_EQ(D->PointerGranted(), C.InputGranted);
      EXPECT_EQ(D->KeyboardGranted(), C.InputGranted);
      if (C.TokensKept) {
        // The newest token replaced the old one, which the portal no longer honours.
        EXPECT_EQ(Fake->ValidTokens(), std::set<std::string>{Tokens.Token});
        if (Start == 1) FirstToken = Tokens.Token;
      } else {
        EXPECT_EQ(Tokens.Saves, 0);
      }
    }
    EXPECT_EQ(Fake->Dialogs(), C.DialogsAfterThree);
    EXPECT_EQ(Fake->ClosedSessions(), 3);
    EXPECT_EQ(Fake->Refusals(), std::vector<std::string>{});
    if (C.TokensKept) {
      // A token already spent asks the user again, and its successor is kept.
      Tokens.Token = FirstToken;
      auto D = Desktop(Tokens.Store());
      ASSERT_TRUE(D->WaitUntilRunning(StartTimeoutMs)) << D->Problem();
      EXPECT_EQ(Fake->Dialogs(), C.DialogsAfterThree + 1);
      EXPECT_NE(Tokens.Token, FirstToken);
      EXPECT_FALSE(Tokens.Token.empty());
    }
  }
}

TEST_F(PortalDesktopTest, InputBecomesNotifyCallsOnTheRightStream) {
  // The right monitor is scaled: its picture has twice the size the compositor gives its stream.
  TVideoProducer A(*Daemons, SPA_VIDEO_FORMAT_BGRx, 64, 48, Pattern(64, 48, 4));
  TVideoProducer B(*Daemons, SPA_VIDEO_FORMAT_BGRx, 32, 24, Pattern(32, 24, 5));
  ASSERT_NE(A.NodeId(), 0u);
  ASSERT_NE(B.NodeId(), 0u);
  const double NodeA = A.NodeId(), NodeB = B.NodeId();
  auto Fake = Portal({.Streams = {TFakeStream{A.NodeId(), true, 0, 0, 64, 48}, TFakeStream{B.NodeId(), true, 64, 0, 16, 12}}});
  auto D = Desktop();
  ASSERT_TRUE(D->WaitUntilRunning(StartTimeoutMs)) << D->Problem();
  auto Input = CreatePortalInjector(D);
  ASSERT_EQ(Input->VirtualScreen(), (TVirtualScreen{0, 0, 96, 48}));

  auto Move = [&](int32_t AX, int32_t AY) {
    Input->SendMouse({AbsoluteFromPixel(AX, 96), AbsoluteFromPixel(AY, 48), 0, MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE});
  };
  Move(10, 40);  // left monitor
  Move(70, 5);   // right monitor, at half scale
  Move(90, 40);  // below the right monitor: held at its bottom edge
  Input->SendMouse({0, 0, 0, MOUSEEVENTF_LEFTDOWN});
  Input->SendMouse({0, 0, 0, MOUSEEVENTF_LEFTUP});
  Input->SendMouse({0, 0, WHEEL_DELTA, MOUSEEVENTF_WHEEL});
  Input->SendMouse({0, 0, -WHEEL_DELTA / 2, MOUSEEVENTF_WHEEL});  // half a notch: nothing yet
  Input->SendMouse({0, 0, -WHEEL_DELTA / 2, MOUSEEVENTF_WHEEL});  // the notch completes
  Input->SendKey({uint16_t('A'), 0x1E, 0});
  Input->SendKey({uint16_t('A'), 0x1E, KEYEVENTF_KEYUP});
  Input->SendKey({VK_HANGUL, 0xF2, 0});
  Input->SendKey({VK_HANGUL, 0xF2, KEYEVENTF_KEYUP});
  Input->SendMouse({0, 0, 0, MOUSEEVENTF_RIGHTDOWN});
  Input->SendKey({VK_SHIFT, 0x2A, 0});
  Input.reset();  // lets go of the right button and Shift

  const std::vector<TInputCall> Want{
      {"NotifyPointerMotionAbsolute", "", {NodeA, 10, 40}},
      {"NotifyPointerMotionAbsolute", "", {NodeB, 3, 2.5}},
      {"NotifyPointerMotionAbsolute", "", {NodeB, 13, 11.5}},
      {"NotifyPointerButton", "", {0x110, 1}},
      {"NotifyPointerButton", "", {0x110, 0}},
      {"NotifyPointerAxisDiscrete", "", {0, -1}},
      {"NotifyPointerAxisDiscrete", "", {0, 1}},
      {"NotifyKeyboardKeysym", "", {0x61, 1}},
      {"NotifyKeyboardKeysym", "", {0x61, 0}},
      {"NotifyKeyboardKeysym", "", {0xFF31, 1}},
      {"NotifyKeyboardKeysym", "", {0xFF31, 0}},
      {"NotifyPointerButton", "", {0x111, 1}},
      {"NotifyKeyboardKeysym", "", {0xFFE1, 1}},
      {"NotifyPointerButton", "", {0x111, 0}},
      {"NotifyKeyboardKeysym", "", {0xFFE1, 0}},
  };
  const auto Calls = WaitForCalls(*Fake, Want.size());
  ASSERT_EQ(Calls.size(), Want.size());
  for (size_t I = 0; I < Want.size(); ++I) {
    SCOPED_TRACE(I);
    EXPECT_EQ(Calls[I].Method, Want[I].Method);
    EXPECT_EQ(Calls[I].Args, Want[I].Args);
    EXPECT_EQ(Calls[I].Session, Calls[0].Session);
  }
  EXPECT_EQ(Fake->Refusals(), std::vector<std::string>{});
}

TEST_F(PortalDesktopTest, DeclinedOrEndedSessionsLeaveNoScreen) {
  TVideoProducer Producer(*Daemons, SPA_VIDEO_FORMAT_BGRx, 32, 24, Pattern(32, 24, 6));
  ASSERT_NE(Producer.NodeId(), 0u);
  {
    auto Fake = Portal({.Streams = {TFakeStream{Producer.NodeId(), true, 0, 0, 32, 24}}, .UserDeclines = true});
    auto D = Desktop();
    EXPECT_FALSE(D->WaitUntilRunning(StartTimeoutMs));
    EXPECT_EQ(D->State(), TPortalDesktop::TState::Failed);
    EXPECT_NE(D->Problem().find("declined"), std::string::npos) << D->Problem();
    EXPECT_TRUE(CreatePortalScreen(D)->EnumMonitors().empty());
  }
  {
    auto Fake = Portal({.Streams = {TFakeStream{Producer.NodeId(), true, 0, 0, 32, 24}}});
    auto D = Desktop();
    ASSERT_TRUE(D->WaitUntilRunning(StartTimeoutMs)) << D->Problem();
    auto Screen = CreatePortalScreen(D);
    Screen->TakeLayoutChange();
    ASSERT_EQ(Screen->EnumMonitors().size(), 1u);
    Fake->CloseAllSessions();
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Screen->EnumMonitors().empty() && std::chrono::steady_clock::now() < Deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(Screen->EnumMonitors().empty());
    EXPECT_TRUE(Screen->TakeLayoutChange());
    EXPECT_NE(D->Problem().find("ended"), std::string::npos) << D->Problem();
    uint32_t Pixel = 0;
    EXPECT_FALSE(Screen->CopyRect({0, 0, 1, 1}, &Pixel, 1));
    EXPECT_FALSE(D->PointerTo(1, 1));
  }
}

TEST_F(PortalDesktopTest, FramesThatMisstateTheirBufferAreRefused) {
  const struct {
    const char* Name;
    TChunkLie Lie;
  } Cases[] = {{"truthful", TChunkLie::None},
               {"rows narrower than the picture", TChunkLie::StrideTooSmall},
               {"rows past the buffer's end", TChunkLie::BeyondBuffer},
               {"marked corrupted", TChunkLie::Corrupted}};
  constexpr int W = 40, H = 30;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const auto Picture = Pattern(W, H, 7);
    TVideoProducer Producer(*Daemons, SPA_VIDEO_FORMAT_BGRx, W, H, Picture, C.Lie);
    ASSERT_NE(Producer.NodeId(), 0u);
    TPipeWireCapture Capture(Daemons->ConnectPipeWire(), {Producer.NodeId()});
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Capture.Frames(0) + Capture.Refused(0) < 3 && std::chrono::steady_clock::now() < Deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<uint32_t> Got(size_t(W) * H);
    if (C.Lie == TChunkLie::None) {
      EXPECT_GE(Capture.Frames(0), 3u);
      ASSERT_TRUE(Capture.Copy(0, {0, 0, W, H}, Got.data(), W));
      for (auto& Word : Got) Word &= 0x00FFFFFF;
      EXPECT_EQ(Got, Picture);
    } else {
      EXPECT_GE(Capture.Refused(0), 3u);
      EXPECT_EQ(Capture.Frames(0), 0u);
      EXPECT_FALSE(Capture.Copy(0, {0, 0, W, H}, Got.data(), W));
    }
  }
}

TEST(PortalAvailable, NoBusOrNoPortalIsNoPortal) {
  EXPECT_FALSE(PortalAvailable("unix:path=/nonexistent/tlm-no-bus"));
  TPortalDaemons Daemons;
  if (!Daemons.Running()) GTEST_SKIP() << Daemons.Error();
  EXPECT_FALSE(PortalAvailable(Daemons.BusAddress()));
  TFakePortal Fake(Daemons, {});
  ASSERT_TRUE(Fake.Running()) << Fake.Error();
  EXPECT_TRUE(PortalAvailable(Daemons.BusAddress()));
}

}  // namespace
}  // namespace tlm
