#include <gtest/gtest.h>

#include <thread>

#include "platform/fake/FakeInput.h"

namespace tlm {
namespace {

using namespace std::chrono_literals;

TEST(FakeInput, RecordsCallsInArrivalOrder) {
  TFakeInputInjector LFake;
  const TMouseInput LDown{100, 200, 0, 0xC003};
  const TKeyInput LKey{0x2E, 0x53, KEYEVENTF_EXTENDEDKEY};
  const TMouseInput LUp{100, 200, 0, 0xC004};
  LFake.SendMouse(LDown);
  LFake.SendKey(LKey);
  LFake.SendMouse(LUp);

  const auto LRecords = LFake.Records();
  ASSERT_EQ(LRecords.size(), 3u);
  EXPECT_EQ(LRecords[0].Kind, TFakeInputRecord::TKind::Mouse);
  EXPECT_EQ(LRecords[0].Mouse, LDown);
  EXPECT_EQ(LRecords[1].Kind, TFakeInputRecord::TKind::Key);
  EXPECT_EQ(LRecords[1].Key, LKey);
  EXPECT_EQ(LRecords[2].Mouse, LUp);
  EXPECT_EQ(LFake.MouseInputs(), (std::vector<TMouseInput>{LDown, LUp}));
  EXPECT_EQ(LFake.KeyInputs(), (std::vector<TKeyInput>{LKey}));

  LFake.Clear();
  EXPECT_TRUE(LFake.Records().empty());
}

TEST(FakeInput, VirtualScreenIsWhatTheTestSet) {
  TFakeInputInjector LFake;
  EXPECT_EQ(LFake.VirtualScreen(), (TVirtualScreen{0, 0, 1920, 1080}));
  LFake.SetVirtualScreen({-1280, -200, 3200, 1280});
  EXPECT_EQ(LFake.VirtualScreen(), (TVirtualScreen{-1280, -200, 3200, 1280}));
  EXPECT_EQ(LFake.VirtualScreenCalls(), 2);
}

TEST(FakeInput, WaitsForRecordsSentFromAnotherThread) {
  TFakeInputInjector LFake;
  EXPECT_FALSE(LFake.WaitForRecords(1, 10ms));
  std::thread LSender([&] {
    for (uint16_t i = 0; i < 200; ++i) {
      LFake.SendKey({i, 0, 0});
      LFake.SendKey({i, 0, KEYEVENTF_KEYUP});
    }
  });
  EXPECT_TRUE(LFake.WaitForRecords(400, 10s));
  LSender.join();
  const auto LKeys = LFake.KeyInputs();
  ASSERT_EQ(LKeys.size(), 400u);
  for (size_t i = 0; i < LKeys.size(); ++i) {
    EXPECT_EQ(LKeys[i].Vk, i / 2);
    EXPECT_EQ(LKeys[i].Flags, i % 2 ? KEYEVENTF_KEYUP : 0u);
  }
}

}  // namespace
}  // namespace tlm
