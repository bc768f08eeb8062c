// The agent streaming a private Xvfb display whose size changes mid-session, as a user's
// display settings would change it: the viewer must get the new monitor list and then a key
// frame of the new size holding what the server shows.
#include "tests/host/HostAgentFixture.h"

#include "platform/x11/X11Screen.h"
#include "protocol/Frame.h"
#include "tests/capture/TestPictures.h"
#include "tests/capture/X11Painter.h"
#include "tests/support/XvfbServer.h"

namespace tlm::test {
namespace {

using HostScreenResize = HostAgentFixture;

TParsedFrame NextFrame(TPacketPeer& AEnd) {
  TPacket p = AEnd.NextOf(MsgFrame);
  TParsedFrame frame;
  EXPECT_TRUE(ParseFramePayload(p.Payload, frame));
  return frame;
}

TEST_F(HostScreenResize, XvfbResizedMidSessionGivesTheNewListAndAKeyFrameOfTheNewSize) {
  TXvfbServer server(1600, 900);
  if (!server.Running()) GTEST_SKIP() << "no Xvfb: " << server.Error();
  TX11Painter painter(server.Display());
  ASSERT_NE(painter.Dpy(), nullptr);
  Input.SetVirtualScreen(TVirtualScreen{0, 0, 1600, 900});
  THostServices services;
  const std::string display = server.Display();
  services.MakeScreen = [display] { return std::make_shared<TX11Screen>(display); };
  services.Input = &Input;
  Agent = std::make_unique<THostAgent>(Ui, "127.0.0.1", Relay.Port(), DeviceKey, "", std::move(services));
  Agent->Start();
  auto end = Relay.AcceptRegistered(DeviceKey, "42");
  end->Send(MsgSessionStart);
  EXPECT_EQ(TextOf(end->NextOf(MsgMonitorList).Payload), "0\t1600\t900\t0");
  EXPECT_EQ(NextFrame(*end).ScreenW, 1600);
  end->Send(MsgFrameAck);

  // A picture in the area that stays, then the resize.
  painter.ShowPicture(0, 0, 1280, 720, MakeDesktopPicture(1280, 720, 21));
  painter.MovePointer(20, 20);
  Input.SetVirtualScreen(TVirtualScreen{0, 0, 1280, 720});
  ASSERT_TRUE(painter.ResizeScreen(1280, 720));
  const std::vector<uint32_t> held = painter.Read(0, 0, 1280, 720);

  EXPECT_EQ(TextOf(end->NextOf(MsgMonitorList).Payload), "0\t1280\t720\t0");
  TParsedFrame resized = NextFrame(*end);
  EXPECT_TRUE(resized.Keyframe);
  EXPECT_EQ(resized.ScreenW, 1280);
  EXPECT_EQ(resized.ScreenH, 720);
  int covered = 0;
  for (const TParsedRect& r : resized.Rects) {
    EXPECT_EQ(r.X, 0);
    EXPECT_EQ(r.W, 1280);
    covered += r.H;
    TDecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(r.Jpeg, d));
    // What the server shows at the new size (the first tile row also holds the cursor).
    EXPECT_GT(Psnr(d, held.data(), 1280, r.X, r.Y), r.Y == 0 ? 20.0 : 25.0) << "row at " << r.Y;
  }
  EXPECT_EQ(covered, 720);

  // Mouse positions map against the new layout.
  end->Send(MsgMouse, PackMouseEvent(TMouseEventRec{1279, 719, 0, 0, 0}));
  ASSERT_TRUE(Input.WaitForRecords(1, std::chrono::seconds(5)));
  EXPECT_EQ(Input.MouseInputs().back(), (TMouseInput{65535, 65535, 0, 0xC001}));
}

}  // namespace
}  // namespace tlm::test
