// The agent streaming a private Xvfb display whose size changes mid-session, as a user's
// display settings would change it: the viewer must get the new monitor list and then a key
// frame of the new size holding what the server shows.
#include "tests/host/HostAgentFixture.h"

#include "platform/x11/X11Screen.h"
#include "tests/capture/TestPictures.h"
#include "tests/capture/X11Painter.h"
#include "tests/support/XvfbServer.h"

namespace tlm::test {
namespace {

using HostScreenResize = HostAgentFixture;

TEST_F(HostScreenResize, XvfbResizedMidSessionGivesTheNewListAndAKeyFrameOfTheNewSize) {
  TXvfbServer server(1600, 900);
  if (!server.Running()) GTEST_SKIP() << "no Xvfb: " << server.Error();
  TX11Painter painter(server.Display());
  ASSERT_NE(painter.Dpy(), nullptr);
  Input.SetVirtualScreen(TVirtualScreen{0, 0, 1600, 900});
  auto end = StartOnScreen(std::make_shared<TX11Screen>(server.Display()));
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

  const TParsedFrame resized = ExpectResizedTo(*end, "0\t1280\t720\t0", 1280, 720);
  // What the server shows at the new size (the first tile row also holds the cursor).
  for (const TParsedRect& r : resized.Rects) {
    TDecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(r.Jpeg, d));
    EXPECT_GT(Psnr(d, held.data(), 1280, r.X, r.Y), r.Y == 0 ? 20.0 : 25.0) << "row at " << r.Y;
  }
  // The agent goes before the server: a display lost under libX11 is a test of its own.
  Agent.reset();
}

}  // namespace
}  // namespace tlm::test
