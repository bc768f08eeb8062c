#include "host/InputMapping.h"

#include <gtest/gtest.h>

namespace tlm {
namespace {

constexpr uint32_t Move = 0xC001;  // move | virtual desk | absolute

TMouseEventRec Mouse(int32_t AX, int32_t AY, uint8_t AButton, uint8_t AAction, int16_t AWheel = 0) {
  return TMouseEventRec{AX, AY, AButton, AAction, AWheel};
}

TEST(MouseMapping, PositionIsRelativeToTheMonitorAndNormalisedOverTheVirtualDesktop) {
  const TPixelRect second{1920, 0, 3840, 1080};
  const TVirtualScreen virt{0, 0, 3840, 1080};
  auto in = MouseInputsFor(Mouse(0, 0, 0, 0), second, virt);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].Dx, MulDiv(1920, 65535, 3839));
  EXPECT_EQ(in[0].Dx, 32776);  // 1920 * 65535 / 3839 = 32775.53..., rounded to nearest
  EXPECT_EQ(in[0].Dy, 0);
  EXPECT_EQ(in[0].Flags, Move);
  EXPECT_EQ(in[0].MouseData, 0);

  // The far corner of the desktop is 65535 on both axes; a desktop that starts left of 0 is
  // measured from its own left edge.
  in = MouseInputsFor(Mouse(1919, 1079, 0, 0), second, virt);
  EXPECT_EQ(in[0].Dx, 65535);
  EXPECT_EQ(in[0].Dy, 65535);
  in = MouseInputsFor(Mouse(0, 0, 0, 0), TPixelRect{-1280, 0, 0, 1024}, TVirtualScreen{-1280, 0, 3200, 1080});
  EXPECT_EQ(in[0].Dx, 0);
}

TEST(MouseMapping, DegenerateDesktopSendsEverythingToTheOrigin) {
  for (TVirtualScreen virt : {TVirtualScreen{0, 0, 1, 1080}, TVirtualScreen{0, 0, 1920, 1}, TVirtualScreen{}}) {
    auto in = MouseInputsFor(Mouse(500, 400, 0, 0), TPixelRect{0, 0, 1920, 1080}, virt);
    EXPECT_EQ(in[0].Dx, 0);
    EXPECT_EQ(in[0].Dy, 0);
  }
}

TEST(MouseMapping, ActionAndButtonTable) {
  struct TCase {
    uint8_t Button, Action;
    uint32_t Flags;
  } cases[] = {
      {1, 1, Move | 0x0002}, {2, 1, Move | 0x0008}, {3, 1, Move | 0x0020},  // presses
      {1, 2, Move | 0x0004}, {2, 2, Move | 0x0010}, {3, 2, Move | 0x0040},  // releases
      {0, 1, Move},          {4, 1, Move},          {4, 2, Move},           // no such button: move only
      {1, 0, Move},          {2, 5, Move},          {1, 255, Move},         // move, unknown actions
  };
  for (const TCase& c : cases) {
    auto in = MouseInputsFor(Mouse(10, 10, c.Button, c.Action), TPixelRect{0, 0, 100, 100}, TVirtualScreen{0, 0, 100, 100});
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].Flags, c.Flags) << "button " << int(c.Button) << " action " << int(c.Action);
  }
}

TEST(MouseMapping, DoubleClickIsALeftClickWhateverTheButton) {
  for (uint8_t button : {1, 2, 3, 0}) {
    auto in = MouseInputsFor(Mouse(50, 60, button, 3), TPixelRect{0, 0, 101, 101}, TVirtualScreen{0, 0, 101, 101});
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(in[0].Flags, 0xC003u);
    EXPECT_EQ(in[1].Flags, 0xC004u);
    EXPECT_EQ(in[0].Dx, in[1].Dx);
    EXPECT_EQ(in[0].Dy, in[1].Dy);
    EXPECT_EQ(in[0].Dx, MulDiv(50, 65535, 100));
  }
}

TEST(MouseMapping, WheelDeltaIsSignExtended) {
  for (int16_t delta : {int16_t(-120), int16_t(120), int16_t(-32768), int16_t(0)}) {
    auto in = MouseInputsFor(Mouse(0, 0, 0, 4, delta), TPixelRect{0, 0, 10, 10}, TVirtualScreen{0, 0, 10, 10});
    EXPECT_EQ(in[0].Flags, Move | 0x0800u);
    EXPECT_EQ(in[0].MouseData, int32_t(delta));
  }
  // The delta of a record that is not a wheel turn is not passed on.
  auto in = MouseInputsFor(Mouse(0, 0, 0, 0, -120), TPixelRect{0, 0, 10, 10}, TVirtualScreen{0, 0, 10, 10});
  EXPECT_EQ(in[0].MouseData, 0);
}

TEST(MouseMapping, ShortRecordIsAMoveToTheMonitorCorner) {
  const TBytes eleven(11, 0x7F);
  auto in = MouseInputsFor(UnpackMouseEvent(eleven), TPixelRect{1920, 0, 3840, 1080}, TVirtualScreen{0, 0, 3840, 1080});
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].Flags, Move);
  EXPECT_EQ(in[0].Dx, MulDiv(1920, 65535, 3839));
  EXPECT_EQ(in[0].Dy, 0);
}

TEST(KeyMapping, FlagsOnlyForExactlyOne) {
  struct TCase {
    uint8_t Up, Extended;
    uint32_t Flags;
  } cases[] = {{0, 0, 0}, {1, 0, 2}, {0, 1, 1}, {1, 1, 3}, {2, 0, 0}, {0, 2, 0}, {255, 255, 0}};
  for (const TCase& c : cases) {
    TKeyInput in = KeyInputFor(TKeyEventRec{0x41, 0x1E, c.Up, c.Extended});
    EXPECT_EQ(in.Flags, c.Flags) << int(c.Up) << "/" << int(c.Extended);
    EXPECT_EQ(in.Vk, 0x41);
    EXPECT_EQ(in.Scan, 0x1E);
  }
  TKeyInput zero = KeyInputFor(UnpackKeyEvent(TBytes(5, 0x55)));
  EXPECT_EQ(zero, (TKeyInput{0, 0, 0}));
}

TEST(PressedInputs, ReleasesWhatIsStillHeld) {
  TPressedInputs held;
  held.Note(TKeyInput{0x11, 0x1D, 0});                 // ctrl down
  held.Note(TKeyInput{0xA5, 0x38, 1});                 // right alt down (extended)
  held.Note(TKeyInput{0x41, 0x1E, 0});                 // A down
  held.Note(TKeyInput{0x41, 0x1E, 0});                 // repeat: still one A
  held.Note(TKeyInput{0x41, 0x1E, 2});                 // A up
  held.Note(TMouseInput{0, 0, 0, Move | 0x0002});      // left down
  held.Note(TMouseInput{0, 0, 0, Move | 0x0008});      // right down
  held.Note(TMouseInput{0, 0, 0, Move | 0x0010});      // right up
  held.Note(TMouseInput{0, 0, 0, Move | 0x0020});      // middle down
  EXPECT_FALSE(held.Empty());

  auto mouse = held.TakeMouseReleases();
  ASSERT_EQ(mouse.size(), 2u);
  EXPECT_EQ(mouse[0].Flags, 0x0004u);  // left up, without a move
  EXPECT_EQ(mouse[1].Flags, 0x0040u);  // middle up
  auto keys = held.TakeKeyReleases();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0], (TKeyInput{0xA5, 0x38, 3}));  // last pressed first, keeps its extended flag
  EXPECT_EQ(keys[1], (TKeyInput{0x11, 0x1D, 2}));
  EXPECT_TRUE(held.Empty());
  EXPECT_TRUE(held.TakeMouseReleases().empty());
}

TEST(PressedInputs, ExtendedAndPlainVariantsAreDifferentKeys) {
  TPressedInputs held;
  held.Note(TKeyInput{0x11, 0x1D, 1});  // right ctrl down
  held.Note(TKeyInput{0x11, 0x1D, 2});  // left ctrl up: does not release the right one
  auto keys = held.TakeKeyReleases();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].Flags, 3u);
  // A double-click leaves nothing held.
  held.Note(TMouseInput{0, 0, 0, 0xC003});
  held.Note(TMouseInput{0, 0, 0, 0xC004});
  EXPECT_TRUE(held.Empty());
}

}  // namespace
}  // namespace tlm
