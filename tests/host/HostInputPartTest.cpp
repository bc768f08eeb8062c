// The input part alone, against layout snapshots: no relay, no agent, no capture thread.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/HostInput.h"
#include "platform/fake/FakeInput.h"
#include "protocol/Packet.h"

namespace tlm::test {
namespace {

// A desktop whose layout cannot be read while Broken is set; counts every attempt.
class TFlakyInjector final : public TFakeInputInjector {
public:
  bool Broken = false;
  int Reads = 0;
  TVirtualScreen VirtualScreen() override {
    ++Reads;
    if (Broken) throw std::runtime_error("no desktop");
    return TFakeInputInjector::VirtualScreen();
  }
};

TBytes MoveTo(int32_t AX, int32_t AY) { return PackMouseEvent(TMouseEventRec{AX, AY, 0, MouseMove, 0}); }

TEST(HostInputPart, TheDesktopIsReadAgainOnlyForANewLayout) {
  TFlakyInjector injector;
  injector.SetVirtualScreen(TVirtualScreen{0, 0, 2001, 1001});
  THostInput input(&injector);
  input.ReadDesktop();
  const int readsAtStart = injector.Reads;
  const int32_t half = MulDiv(1000, 65535, 2000);     // x = 1000 on a 2001 pixel desktop
  const int32_t quarter = MulDiv(1000, 65535, 4000);  // on a 4001 pixel one

  struct TStep {
    const char* Name;
    TVirtualScreen Desktop;  // what the injector reports from now on
    bool Broken;
    TLayoutSnapshot Layout;
    int32_t X;
    TMouseInput Expected;
    int Reads;  // desktop reads since the start
  } const steps[] = {
      {"generation 0 is the one read at start", {0, 0, 2001, 1001}, false, {{0, 0, 1000, 1000}, 0}, 1000, {half, 0, 0, 0xC001}, 0},
      {"a second monitor's origin is added", {0, 0, 2001, 1001}, false, {{1000, 0, 2000, 1000}, 0}, 0, {half, 0, 0, 0xC001}, 0},
      {"a changed desktop is not seen without a new layout", {0, 0, 4001, 1001}, false, {{0, 0, 1000, 1000}, 0}, 1000,
       {half, 0, 0, 0xC001}, 0},
      {"a new generation reads it", {0, 0, 4001, 1001}, false, {{0, 0, 1000, 1000}, 1}, 1000, {quarter, 0, 0, 0xC001}, 1},
      {"the same generation does not read again", {0, 0, 2001, 1001}, false, {{0, 0, 1000, 1000}, 1}, 1000,
       {quarter, 0, 0, 0xC001}, 1},
      {"an unreadable desktop keeps the last one", {0, 0, 2001, 1001}, true, {{0, 0, 1000, 1000}, 2}, 1000,
       {quarter, 0, 0, 0xC001}, 2},
  };
  for (const TStep& s : steps) {
    SCOPED_TRACE(s.Name);
    injector.SetVirtualScreen(s.Desktop);
    injector.Broken = s.Broken;
    injector.Clear();
    input.Mouse(MoveTo(s.X, 0), s.Layout);
    ASSERT_EQ(injector.MouseInputs().size(), 1u);
    EXPECT_EQ(injector.MouseInputs()[0], s.Expected);
    EXPECT_EQ(injector.Reads - readsAtStart, s.Reads);
  }
}

TEST(HostInputPart, ReleasesWhatIsHeldAndDropsEverythingWithoutAnInjector) {
  TFakeInputInjector injector;
  THostInput input(&injector);
  const TLayoutSnapshot layout{{0, 0, 1920, 1080}, 0};
  input.Key(PackKeyEvent(TKeyEventRec{0x11, 0x1D, 0, 0}));  // ctrl down
  input.Mouse(PackMouseEvent(TMouseEventRec{5, 5, MouseButtonRight, MousePress, 0}), layout);
  injector.Clear();
  input.ReleaseHeld();
  EXPECT_EQ(injector.MouseInputs(), (std::vector<TMouseInput>{{0, 0, 0, MOUSEEVENTF_RIGHTUP}}));
  EXPECT_EQ(injector.KeyInputs(), (std::vector<TKeyInput>{{0x11, 0x1D, KEYEVENTF_KEYUP}}));
  injector.Clear();
  input.ReleaseHeld();
  EXPECT_TRUE(injector.Records().empty()) << "released once";

  THostInput none(nullptr);
  none.ReadDesktop();
  none.Mouse(MoveTo(1, 1), layout);
  none.Key(PackKeyEvent(TKeyEventRec{0x41, 0x1E, 0, 0}));
  none.ReleaseHeld();
}

}  // namespace
}  // namespace tlm::test
