// The viewer's mouse and key records reaching the injector, and nothing left held down after a session.
#include "tests/host/HostAgentFixture.h"

namespace tlm::test {
namespace {

using HostInput = HostAgentFixture;

TBytes MouseRec(int32_t AX, int32_t AY, uint8_t AButton, uint8_t AAction, int16_t AWheel = 0) {
  return PackMouseEvent(TMouseEventRec{AX, AY, AButton, AAction, AWheel});
}
TBytes KeyRec(uint16_t AVk, uint16_t AScan, uint8_t AUp, uint8_t AExt) {
  return PackKeyEvent(TKeyEventRec{AVk, AScan, AUp, AExt});
}

TEST_F(HostInput, RecordsMapOntoTheSelectedMonitor) {
  auto end = StartInSession();
  end->Send(MsgMouse, MouseRec(100, 50, 0, 0));
  end->Send(MsgSelectMonitor, {1});
  end->Send(MsgMouse, MouseRec(0, 0, 0, 0));
  end->Send(MsgMouse, TBytes(11, 0x33));                // short: a move to the corner
  end->Send(MsgMouse, MouseRec(10, 20, 2, 1));          // right down
  end->Send(MsgMouse, MouseRec(10, 20, 2, 2));          // right up
  end->Send(MsgMouse, MouseRec(10, 20, 2, 3));          // double-click: always left
  end->Send(MsgMouse, MouseRec(10, 20, 0, 4, -120));    // wheel
  end->Send(MsgKey, KeyRec(0x26, 0x48, 0, 1));          // up arrow, extended
  end->Send(MsgKey, KeyRec(0x26, 0x48, 1, 1));
  end->Send(MsgKey, KeyRec(0x41, 0x1E, 2, 0));          // KeyUp 2 is a press
  end->Send(MsgKey, TBytes(5, 0x44));                   // short: key 0 pressed
  ASSERT_TRUE(Input.WaitForRecords(12, std::chrono::seconds(5)));

  const int32_t monitor1X = MulDiv(1280, 65535, 3199);
  const std::vector<TMouseInput> expectMouse = {
      {MulDiv(100, 65535, 3199), MulDiv(50, 65535, 1079), 0, 0xC001},
      {monitor1X, 0, 0, 0xC001},
      {monitor1X, 0, 0, 0xC001},
      {MulDiv(1290, 65535, 3199), MulDiv(20, 65535, 1079), 0, 0xC009},
      {MulDiv(1290, 65535, 3199), MulDiv(20, 65535, 1079), 0, 0xC011},
      {MulDiv(1290, 65535, 3199), MulDiv(20, 65535, 1079), 0, 0xC003},
      {MulDiv(1290, 65535, 3199), MulDiv(20, 65535, 1079), 0, 0xC004},
      {MulDiv(1290, 65535, 3199), MulDiv(20, 65535, 1079), -120, 0xC801},
  };
  EXPECT_EQ(Input.MouseInputs(), expectMouse);
  const std::vector<TKeyInput> expectKeys = {{0x26, 0x48, 1}, {0x26, 0x48, 3}, {0x41, 0x1E, 0}, {0, 0, 0}};
  EXPECT_EQ(Input.KeyInputs(), expectKeys);
}

TEST_F(HostInput, SessionEndReleasesWhatTheViewerHeld) {
  auto end = StartInSessionScripted();
  end->Send(MsgKey, KeyRec(0x11, 0x1D, 0, 0));  // ctrl down
  end->Send(MsgKey, KeyRec(0x41, 0x1E, 0, 0));  // A down
  end->Send(MsgKey, KeyRec(0x41, 0x1E, 1, 0));  // A up
  end->Send(MsgMouse, MouseRec(5, 5, 1, 1));    // left down
  end->Send(MsgMouse, MouseRec(5, 5, 3, 1));    // middle down
  end->Send(MsgMouse, MouseRec(5, 5, 3, 2));    // middle up
  ASSERT_TRUE(Input.WaitForRecords(6, std::chrono::seconds(5)));
  Input.Clear();
  end->Send(MsgSessionEnd);
  ASSERT_TRUE(WaitFor([&] { return SessionEnds == 1; }));
  EXPECT_EQ(Input.MouseInputs(), (std::vector<TMouseInput>{{0, 0, 0, 0x0004}}));
  EXPECT_EQ(Input.KeyInputs(), (std::vector<TKeyInput>{{0x11, 0x1D, 2}}));

  // Nothing is held now: the next session's end releases nothing.
  Input.Clear();
  end->Send(MsgSessionStart);
  end->NextOf(MsgMonitorList);
  end->Send(MsgSessionEnd);
  ASSERT_TRUE(WaitFor([&] { return SessionEnds == 2; }));
  EXPECT_TRUE(Input.Records().empty());
}

TEST_F(HostInput, LostConnectionAndStopReleaseToo) {
  auto end = StartRegistered("", ShortTimings());
  end->Send(MsgSessionStart);
  end->NextOf(MsgMonitorList);
  end->Send(MsgKey, KeyRec(0xA5, 0x38, 0, 1));  // right alt down
  ASSERT_TRUE(Input.WaitForRecords(1, std::chrono::seconds(5)));
  end.reset();
  ASSERT_TRUE(Input.WaitForRecords(2, std::chrono::seconds(5)));
  EXPECT_EQ(Input.KeyInputs().back(), (TKeyInput{0xA5, 0x38, 3}));

  end = Relay.AcceptRegistered(DeviceKey, "2");
  end->Send(MsgMouse, MouseRec(1, 1, 2, 1));  // right down, outside any session
  ASSERT_TRUE(Input.WaitForRecords(3, std::chrono::seconds(5)));
  Agent->Stop();
  EXPECT_EQ(Input.MouseInputs().back(), (TMouseInput{0, 0, 0, 0x0010}));
}

}  // namespace
}  // namespace tlm::test

namespace tlm::test {
namespace {

// "보기만 허용": while it is on nothing the viewer sends reaches the desktop, and what the viewer
// held when it was switched on is let go; switched off, input flows again.
TEST_F(HostInput, ViewOnlyDropsTheViewersInputAndReleasesWhatItHeld) {
  auto end = StartInSessionScripted();
  end->Send(MsgKey, KeyRec(0x10, 0x2A, 0, 0));  // shift down
  end->Send(MsgMouse, MouseRec(5, 5, 1, 1));    // left down
  ASSERT_TRUE(Input.WaitForRecords(2, std::chrono::seconds(5)));
  Input.Clear();
  Agent->SetViewOnly(true);
  EXPECT_TRUE(Agent->ViewOnly());
  end->Send(MsgMouse, MouseRec(7, 7, 0, 0));    // a move: dropped, and the held ones released
  end->Send(MsgKey, KeyRec(0x41, 0x1E, 0, 0));  // dropped
  end->Send(MsgMouse, MouseRec(7, 7, 1, 2));    // dropped
  ASSERT_TRUE(Input.WaitForRecords(2, std::chrono::seconds(5)));
  end->Send(MsgChat, TBytes{'x'});  // the reader has read every record before this line
  ASSERT_TRUE(WaitFor([&] { return Chats.size() == 1; }));
  EXPECT_EQ(Input.MouseInputs(), (std::vector<TMouseInput>{{0, 0, 0, 0x0004}}));
  EXPECT_EQ(Input.KeyInputs(), (std::vector<TKeyInput>{{0x10, 0x2A, 2}}));

  Input.Clear();
  Agent->SetViewOnly(false);
  end->Send(MsgKey, KeyRec(0x41, 0x1E, 0, 0));
  ASSERT_TRUE(Input.WaitForRecords(1, std::chrono::seconds(5)));
  EXPECT_EQ(Input.KeyInputs(), (std::vector<TKeyInput>{{0x41, 0x1E, 0}}));

  // It holds for one session: the next one starts with input allowed.
  Agent->SetViewOnly(true);
  end->Send(MsgSessionEnd);
  ASSERT_TRUE(WaitFor([&] { return SessionEnds == 1; }));
  EXPECT_FALSE(Agent->ViewOnly());
}

}  // namespace
}  // namespace tlm::test
