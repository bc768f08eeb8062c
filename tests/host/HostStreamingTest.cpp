// Session start and end, the frame window, quality presets, monitor choice and key frames.
#include "tests/host/HostAgentFixture.h"

#include "protocol/Frame.h"
#include "protocol/PaletteTile.h"

namespace tlm::test {
namespace {

using HostStreaming = HostAgentFixture;

TEST_F(HostStreaming, SessionStartsWithMonitorListThenKeyFrameOne) {
  auto end = StartRegistered();
  end->Send(MsgSessionStart, BytesOf("ignored"));
  TPacket list = end->Next();
  ASSERT_EQ(list.Type, MsgMonitorList);
  EXPECT_EQ(TextOf(list.Payload), "0\t1280\t1024\t0\r\n1\t1920\t1080\t1");
  TParsedFrame first = NextFrame(*end);
  EXPECT_EQ(first.FrameNo, 1u);
  EXPECT_TRUE(first.Keyframe);
  EXPECT_EQ(first.ScreenW, 1280);
  EXPECT_EQ(first.ScreenH, 1024);
  TParsedFrame second = NextFrame(*end);
  EXPECT_EQ(second.FrameNo, 2u);
  EXPECT_FALSE(second.Keyframe);
  EXPECT_EQ(Capturer->Refreshes.load(), 1);
  EXPECT_GE(Capturer->Resets.load(), 1);
  EXPECT_TRUE(WaitFor([&] { return SessionStarts == 1 && Has(Statuses, "상담원 접속됨 - 화면 공유 중"); }));
  EXPECT_TRUE(Agent->InSession());

  // A second start changes nothing: no second list, no second capture thread.
  end->Send(MsgSessionStart);
  EXPECT_TRUE(end->Quiet(300));
  EXPECT_EQ(Capturer->Refreshes.load(), 1);
  EXPECT_EQ(SessionStarts, 1);
}

TEST_F(HostStreaming, AtMostTwoFramesWithoutAcknowledgement) {
  auto end = StartInSession();
  EXPECT_EQ(NextFrame(*end).FrameNo, 1u);
  EXPECT_EQ(NextFrame(*end).FrameNo, 2u);
  EXPECT_TRUE(end->Quiet(300));
  EXPECT_EQ(Capturer->Captures.load(), 2) << "no capture while the window is full";

  end->Send(MsgFrameAck);
  EXPECT_EQ(NextFrame(*end).FrameNo, 3u);
  EXPECT_TRUE(end->Quiet(300));

  // Surplus acknowledgements (three for frames 2 and 3) do not widen the window: a viewer
  // cannot make the host send more than two frames ahead. The capture waits until all three
  // are handled; otherwise a fast one would send frame 4 in between and the third would count
  // for it.
  Capturer->Hold();
  end->Send(MsgFrameAck);
  end->Send(MsgFrameAck);
  end->Send(MsgFrameAck);
  Probe(*end);
  Capturer->Release();
  EXPECT_EQ(NextFrame(*end).FrameNo, 4u);
  EXPECT_EQ(NextFrame(*end).FrameNo, 5u);
  EXPECT_TRUE(end->Quiet(300));
  end->Send(MsgFrameAck);
  EXPECT_EQ(NextFrame(*end).FrameNo, 6u);
  EXPECT_TRUE(end->Quiet(300));
}

TEST_F(HostStreaming, QualityPresets) {
  auto end = StartInSession();
  NextFrame(*end);
  NextFrame(*end);
  struct TCase {
    TBytes Payload;
    int JpegQuality;  // as the capturer got it for the next frame
    bool Keyframe;
  } cases[] = {
      {{0}, 45, true}, {{2}, 82, true}, {{7}, 62, true}, {{1}, 62, true},
      {{3}, 45, true},  // smooth starts at the fast preset's quality
      {{4}, 62, true},  // the first value past the known presets is standard
      {{}, 62, false},          // empty: nothing changes, no key frame
      {{0, 2}, 45, true},       // only the first byte counts
  };
  for (const TCase& c : cases) {
    end->Send(MsgQuality, c.Payload);
    end->Send(MsgFrameAck);
    TPacket p = end->NextOf(MsgFrame);
    TParsedFrame frame;
    ASSERT_TRUE(ParseFramePayload(p.Payload, frame));
    ASSERT_EQ(frame.Rects.size(), 1u);
    EXPECT_EQ(frame.Rects[0].Jpeg[2], c.JpegQuality) << "payload size " << c.Payload.size();
    EXPECT_EQ(frame.Keyframe, c.Keyframe) << "payload size " << c.Payload.size();
  }
  EXPECT_EQ(Agent->Quality(), 0);
  Agent->SetQuality(2);  // from the user interface: same effect
  end->Send(MsgFrameAck);
  TParsedFrame frame = NextFrame(*end);
  EXPECT_TRUE(frame.Keyframe);
  EXPECT_EQ(frame.Rects[0].Jpeg[2], 82);
}

TEST_F(HostStreaming, MonitorChoiceAndKeyFrameRequests) {
  auto end = StartInSession();
  NextFrame(*end);
  NextFrame(*end);
  struct TCase {
    uint32_t Type;
    TBytes Payload;
    int ScreenW;
    bool Keyframe;
  } cases[] = {
      {MsgSelectMonitor, {1}, 1920, true},
      {MsgSelectMonitor, {2}, 1920, true},    // no such monitor: unchanged, still a key frame
      {MsgSelectMonitor, {}, 1920, false},    // empty: nothing at all
      {MsgSelectMonitor, {0, 1}, 1280, true},
      {MsgKeyframeRequest, {}, 1280, true},
      {MsgChat, BytesOf("x"), 1280, false},
  };
  for (const TCase& c : cases) {
    end->Send(c.Type, c.Payload);
    end->Send(MsgFrameAck);
    TParsedFrame frame = NextFrame(*end);
    EXPECT_EQ(frame.ScreenW, c.ScreenW) << c.Type << "/" << c.Payload.size();
    EXPECT_EQ(frame.Keyframe, c.Keyframe) << c.Type << "/" << c.Payload.size();
  }
}

TEST_F(HostStreaming, CaptureFailuresPauseButKeepTheSession) {
  auto end = StartInSession();
  NextFrame(*end);
  NextFrame(*end);
  Capturer->Fail = true;
  const int before = Capturer->Captures.load();
  end->Send(MsgFrameAck);
  ASSERT_TRUE(WaitFor([&] { return Capturer->Captures.load() >= before + 2; }));
  EXPECT_TRUE(end->Quiet(100));
  Capturer->Fail = false;
  EXPECT_EQ(NextFrame(*end).FrameNo, 3u);  // failed captures use no frame number
  EXPECT_TRUE(Agent->InSession());
}

TEST_F(HostStreaming, SessionEndStopsFramesAndTheNextSessionStartsAfresh) {
  auto end = StartInSessionScripted();
  NextFrame(*end);
  NextFrame(*end);
  end->Send(MsgSessionEnd);
  ASSERT_TRUE(WaitFor([&] { return SessionEnds == 1 && !Agent->InSession(); }));
  EXPECT_EQ(Statuses.back(), "대기 중 - 접속을 기다립니다");
  end->Send(MsgFrameAck);
  EXPECT_TRUE(end->Quiet(300));

  // No session: an end changes nothing.
  const size_t statuses = Statuses.size();
  end->Send(MsgSessionEnd);
  end->SendText(MsgChat, "sync");
  ASSERT_TRUE(WaitFor([&] { return Chats.size() == 1; }));
  EXPECT_EQ(Statuses.size(), statuses);
  EXPECT_EQ(SessionEnds, 1);

  // A fresh window and frame numbering, although two frames of the last session went unacknowledged.
  end->Send(MsgSessionStart);
  EXPECT_EQ(end->Next().Type, MsgMonitorList);
  TParsedFrame first = NextFrame(*end);
  EXPECT_EQ(first.FrameNo, 1u);
  EXPECT_TRUE(first.Keyframe);
  EXPECT_EQ(NextFrame(*end).FrameNo, 2u);
}

TEST_F(HostStreaming, RealCapturerOnAFakeScreen) {
  auto screen = std::make_shared<TFakeScreen>(TPixelRect{0, 0, 1920, 1080}, 0x00336699);
  screen->SetMonitors({{TPixelRect{0, 0, 1000, 700}, true}, {TPixelRect{1000, 0, 1920, 1080}, false}});
  auto end = StartOnScreen(screen);
  end->Send(MsgSessionStart);
  EXPECT_EQ(TextOf(end->NextOf(MsgMonitorList).Payload), "0\t1000\t700\t1\r\n1\t920\t1080\t0");
  TParsedFrame first = NextFrame(*end);
  EXPECT_EQ(first.FrameNo, 1u);
  EXPECT_TRUE(first.Keyframe);
  EXPECT_EQ(first.ScreenW, 1000);
  EXPECT_EQ(first.ScreenH, 700);
  // A key frame covers the whole monitor: one full-width rectangle per tile row.
  ASSERT_EQ(first.Rects.size(), 5u);
  int covered = 0;
  for (const TParsedRect& r : first.Rects) {
    EXPECT_EQ(r.W, 1000);
    EXPECT_GE(r.Jpeg.size(), 4u);
    EXPECT_EQ(r.Jpeg[0], 0xFF);
    EXPECT_EQ(r.Jpeg[1], 0xD8);
    covered += r.H;
  }
  EXPECT_EQ(covered, 700);
  // Nothing changed: the second capture sends nothing until the picture changes.
  end->Send(MsgFrameAck);
  screen->Fill(TPixelRect{170, 170, 180, 180}, 0x00FFFFFF);
  TParsedFrame next = NextFrame(*end);
  EXPECT_EQ(next.FrameNo, 2u);
  EXPECT_FALSE(next.Keyframe);
  ASSERT_EQ(next.Rects.size(), 1u);
  EXPECT_EQ(next.Rects[0].X, 160);
  EXPECT_EQ(next.Rects[0].Y, 160);
}

// The first step of the luminance table of a JPEG made by libjpeg: 18 at quality 45, 12 at 62,
// 6 at 82 (the standard table scaled); -1 without one.
int LumaStep(const TBytes& AJpeg) {
  for (size_t i = 2; i + 5 < AJpeg.size(); ++i)
    if (AJpeg[i] == 0xFF && AJpeg[i + 1] == 0xDB && (AJpeg[i + 4] & 0x0F) == 0) return AJpeg[i + 5];
  return -1;
}

// Only the smooth preset comes back to a still screen, once, to send it sharp.
TEST_F(HostStreaming, SmoothPresetRefinesAStillScreenOnce) {
  struct TCase {
    uint8_t Preset;
    bool Refines;
    int KeyframeStep;
  } cases[] = {{3, true, 18}, {1, false, 12}, {9, false, 12}, {0, false, 18}};
  for (const TCase& c : cases) {
    auto screen = std::make_shared<TFakeScreen>(480, 320, 0x00336699);
    screen->Fill(TPixelRect{0, 0, 240, 100}, 0x00FFFFFF);
    auto end = StartOnScreen(screen);
    end->Send(MsgQuality, TBytes{c.Preset});
    end->Send(MsgSessionStart);
    end->NextOf(MsgMonitorList);
    // The reader takes the preset before the session starts: the first frame has it.
    const TParsedFrame first = NextFrame(*end);
    end->Send(MsgFrameAck);
    ASSERT_TRUE(first.Keyframe) << int(c.Preset);
    EXPECT_EQ(LumaStep(first.Rects[0].Jpeg), c.KeyframeStep) << int(c.Preset);
    if (c.Refines) {
      const TParsedFrame sharp = NextFrame(*end);
      end->Send(MsgFrameAck);
      EXPECT_FALSE(sharp.Keyframe);
      ASSERT_EQ(sharp.Rects.size(), 2u);
      for (const TParsedRect& r : sharp.Rects) {
        EXPECT_EQ(r.W, 480);
        EXPECT_EQ(LumaStep(r.Jpeg), 6);
      }
    }
    EXPECT_TRUE(end->Quiet(400)) << int(c.Preset);
    Agent.reset();
  }
}

// A viewer of the original wire never sees a palette tile: only a MsgQuality that announces them
// turns them on, and every session starts without them, also after one whose viewer did.
TEST_F(HostStreaming, PaletteTilesOnlyForAViewerThatAnnouncesThem) {
  auto screen = std::make_shared<TFakeScreen>(480, 320, 0x00336699);
  screen->Fill(TPixelRect{0, 0, 240, 100}, 0x00FFFFFF);
  auto end = StartOnScreen(screen);
  struct TCase {
    const char* Name;
    TBytes Quality;
    bool Palette;
  } cases[] = {
      {"announced", {QualityFast, DecodesPaletteTiles}, true},
      {"the original wire's one byte, next session", {QualityFast}, false},
      {"announced again", {QualitySmooth, DecodesPaletteTiles}, true},
      {"only codings this host does not know", {QualitySmooth, 2}, false},
      {"none", {QualityStandard, 0}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    end->Send(MsgSessionStart);
    end->NextOf(MsgMonitorList);
    const TParsedFrame first = NextFrame(*end);
    ASSERT_TRUE(first.Keyframe);
    for (const TParsedRect& r : first.Rects) EXPECT_EQ(r.Jpeg.at(0), 0xFF) << "before the viewer has said anything";
    // The preset makes the next frame a key frame, captured after the codings were taken.
    end->Send(MsgQuality, c.Quality);
    end->Send(MsgFrameAck);
    const TParsedFrame second = NextFrame(*end);
    ASSERT_TRUE(second.Keyframe);
    int64_t covered = 0;
    for (const TParsedRect& r : second.Rects) {
      covered += int64_t(r.W) * r.H;
      EXPECT_EQ(IsPaletteTile(r.Jpeg), c.Palette);
      if (!c.Palette) {
        EXPECT_EQ(r.Jpeg.at(0), 0xFF);
      }
    }
    EXPECT_EQ(covered, 480 * 320);
    if (c.Palette) {
      EXPECT_EQ(second.Rects.size(), 6u) << "one per tile: every tile is flat";
    }
    end->Send(MsgSessionEnd);
    ASSERT_TRUE(WaitFor([&] { return !Agent->InSession(); }));
  }
}

// The host's screen changes size mid-session: the viewer gets the new monitor list, then a key
// frame of the new size, and mouse positions map against the new layout.
TEST_F(HostStreaming, ScreenResizedMidSessionSendsTheNewListAndAKeyFrameOfTheNewSize) {
  auto screen = std::make_shared<TFakeScreen>(1600, 900, 0x00336699);
  Input.SetVirtualScreen(TVirtualScreen{0, 0, 1600, 900});
  auto end = StartOnScreen(screen);
  end->Send(MsgSessionStart);
  EXPECT_EQ(TextOf(end->NextOf(MsgMonitorList).Payload), "0\t1600\t900\t1");
  TParsedFrame first = NextFrame(*end);
  EXPECT_EQ(first.ScreenW, 1600);
  end->Send(MsgFrameAck);

  Input.SetVirtualScreen(TVirtualScreen{0, 0, 1280, 720});
  screen->SetDesktop(TPixelRect{0, 0, 1280, 720}, 0x00996633);
  ExpectResizedTo(*end, "0\t1280\t720\t1", 1280, 720);
  // A layout notice that changes nothing sends no list.
  end->Send(MsgFrameAck);
  screen->SetScreenRect(TPixelRect{0, 0, 1280, 720});
  screen->Fill(TPixelRect{0, 0, 10, 10}, 0x00FFFFFF);
  EXPECT_FALSE(NextFrame(*end).Keyframe);
  end->Send(MsgFrameAck);
  EXPECT_TRUE(end->Quiet(300));
}

}  // namespace
}  // namespace tlm::test
