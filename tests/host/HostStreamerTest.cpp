// The streamer alone: a session on a loopback connection, no relay and no agent.
#include <gtest/gtest.h>

#include <memory>

#include "host/HostStreamer.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/Messages.h"
#include "protocol/PacketWriter.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/Loopback.h"

namespace tlm::test {
namespace {

class HostStreamerPart : public ::testing::Test {
protected:
  TQueueDispatcher Ui;
  TLoopbackPair Pair = MakeLoopbackPair();
  TPacketWriter Writer{*Pair.Client};
  TPacketPeer Viewer{Ui, std::move(Pair.Server)};
  std::unique_ptr<THostStreamer> Streamer;

  HostStreamerPart() { Writer.Start(); }
  ~HostStreamerPart() override {
    Streamer.reset();  // closes the session, so the capture thread ends
    Writer.Stop();
  }

  THostSessionRef NewSession() {
    // The test owns the writer; the session only borrows it.
    return std::make_shared<THostSession>(std::shared_ptr<TPacketWriter>(std::shared_ptr<TPacketWriter>(), &Writer));
  }
};

TEST_F(HostStreamerPart, AtMostTheWindowOfFramesAndAFreshStartPerSession) {
  TFakeCapturer* capturer = nullptr;
  auto owned = std::make_unique<TFakeCapturer>(std::vector<THostMonitor>{{{0, 0, 800, 600}, true}});
  capturer = owned.get();
  Streamer = std::make_unique<THostStreamer>(std::move(owned));

  THostSessionRef first = NewSession();
  Streamer->Begin(first);
  EXPECT_EQ(TextOf(Viewer.Next().Payload), "0\t800\t600\t1");
  EXPECT_EQ(NextFrame(Viewer).FrameNo, 1u);
  EXPECT_EQ(NextFrame(Viewer).FrameNo, 2u);
  EXPECT_TRUE(Viewer.Quiet(300));
  // Surplus acknowledgements never widen the window.
  for (int i = 0; i < 4; ++i) Streamer->FrameAcked();
  EXPECT_EQ(NextFrame(Viewer).FrameNo, 3u);
  EXPECT_EQ(NextFrame(Viewer).FrameNo, 4u);
  EXPECT_TRUE(Viewer.Quiet(300));
  EXPECT_EQ(capturer->Captures.load(), 4);

  // Closing the session stops the capture thread; End returns although nothing was acknowledged.
  first->Close();
  Streamer->End();
  Streamer->FrameAcked();
  EXPECT_TRUE(Viewer.Quiet(200));

  // The next session counts from one with an empty window and starts with a key frame.
  Streamer->Begin(NewSession());
  EXPECT_EQ(Viewer.Next().Type, MsgMonitorList);
  const TParsedFrame again = NextFrame(Viewer);
  EXPECT_EQ(again.FrameNo, 1u);
  EXPECT_TRUE(again.Keyframe);
  EXPECT_EQ(NextFrame(Viewer).FrameNo, 2u);
  EXPECT_FALSE(first->Lasts());
}

// What input maps against: the monitor the viewer chose, and a new generation whenever the
// monitors themselves may have changed (a session began, the screen was resized), never for a
// mere change of choice.
TEST_F(HostStreamerPart, LayoutSnapshotFollowsTheChoiceAndTheScreen) {
  auto screen = std::make_shared<TFakeScreen>(TPixelRect{0, 0, 1920, 1080}, 0x00336699);
  screen->SetMonitors({{TPixelRect{0, 0, 1000, 700}, true}, {TPixelRect{1000, 0, 1920, 1080}, false}});
  Streamer = std::make_unique<THostStreamer>(MakeScreenCapturer(screen));
  const TLayoutSnapshot initial = Streamer->Layout();
  EXPECT_EQ(initial.Monitor, (TPixelRect{0, 0, 1000, 700}));

  Streamer->SelectMonitor(1);
  EXPECT_EQ(Streamer->Layout().Monitor, (TPixelRect{1000, 0, 1920, 1080}));
  EXPECT_EQ(Streamer->Layout().Generation, initial.Generation);
  Streamer->SelectMonitor(2);  // no such monitor
  Streamer->SelectMonitor(-1);
  EXPECT_EQ(Streamer->Layout().Monitor, (TPixelRect{1000, 0, 1920, 1080}));

  // A session starts on the capturer's own monitor, and with a new generation.
  Streamer->Begin(NewSession());
  EXPECT_EQ(TextOf(Viewer.Next().Payload), "0\t1000\t700\t1\r\n1\t920\t1080\t0");
  const TLayoutSnapshot begun = Streamer->Layout();
  EXPECT_EQ(begun.Monitor, (TPixelRect{0, 0, 1000, 700}));
  EXPECT_NE(begun.Generation, initial.Generation);
  NextFrame(Viewer);
  Streamer->FrameAcked();

  // The screen shrinks to one monitor: the new list goes before the key frame of the new size,
  // and the snapshot has the new monitor under a new generation by the time the list is out.
  screen->SetDesktop(TPixelRect{0, 0, 1280, 720}, 0x00996633);
  EXPECT_EQ(TextOf(Viewer.NextOf(MsgMonitorList).Payload), "0\t1280\t720\t1");
  const TLayoutSnapshot resized = Streamer->Layout();
  EXPECT_EQ(resized.Monitor, (TPixelRect{0, 0, 1280, 720}));
  EXPECT_NE(resized.Generation, begun.Generation);
  const TParsedFrame frame = NextFrame(Viewer);
  EXPECT_TRUE(frame.Keyframe);
  EXPECT_EQ(frame.ScreenW, 1280);
}

}  // namespace
}  // namespace tlm::test
