// The data-control clipboard against a private headless sway, with wl-copy and wl-paste as the
// other programs: their copies are reported (ours never), ours are pasted, what was on the
// clipboard before is known but not reported, large texts pass both ways, a compositor that
// goes away ends nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wayland/WaylandClipboard.h"
#include "protocol/Error.h"
#include "tests/support/SwayServer.h"

namespace tlm {
namespace {

class WaylandClipboardTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* Tool : {"wl-copy", "wl-paste"})
      if (!test::TSwayServer::HasProgram(Tool)) GTEST_SKIP() << Tool << " is not installed (scripts/install-deps installs it)";
    Sway = std::make_unique<test::TSwayServer>("", 1);
    if (!Sway->Running()) GTEST_SKIP() << "no headless sway: " << Sway->Error();
  }

  void Watch(TWaylandClipboard& AClip) {
    AClip.Watch([this](const std::string& AText) {
      std::lock_guard Hold(Lock);
      Seen.push_back(AText);
      Changed.notify_all();
    });
  }
  // Waits until the watcher has heard ACount texts.
  bool WaitSeen(size_t ACount) {
    std::unique_lock Hold(Lock);
    return Changed.wait_for(Hold, std::chrono::seconds(10), [&] { return Seen.size() >= ACount; });
  }
  // wl-copy with the text from a file (it may be large).
  void Copy(const std::string& AText) {
    const std::string File = Sway->Folder() + "/copy.txt";
    std::ofstream(File, std::ios::binary) << AText;
    int Rc = -1;
    Sway->Run("wl-copy < " + File, &Rc);
    ASSERT_EQ(Rc, 0);
  }
  std::string Paste() { return Sway->Run("wl-paste --no-newline"); }

  std::unique_ptr<test::TSwayServer> Sway;
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::string> Seen;
};

TEST_F(WaylandClipboardTest, OtherProgramsCopiesAreReportedAndOursArePasted) {
  Copy("before");
  TWaylandClipboard Clip(Sway->Socket());
  Watch(Clip);
  EXPECT_EQ(Clip.Text(), "before");

  Copy("from wl-copy");
  ASSERT_TRUE(WaitSeen(1));
  EXPECT_EQ(Seen[0], "from wl-copy");
  EXPECT_EQ(Clip.Text(), "from wl-copy");

  Clip.SetText("원격에서 온 글 ✓");
  std::string Pasted;
  for (int I = 0; I < 100 && (Pasted = Paste()) != "원격에서 온 글 ✓"; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Pasted, "원격에서 온 글 ✓");
  EXPECT_EQ(Paste(), "원격에서 온 글 ✓");  // pasted as often as asked

  // Another program's copy after ours is reported; ours never was.
  Copy("again");
  ASSERT_TRUE(WaitSeen(2));
  EXPECT_EQ(Seen, (std::vector<std::string>{"from wl-copy", "again"}));
}

TEST_F(WaylandClipboardTest, LargeTextsPassBothWays) {
  TWaylandClipboard Clip(Sway->Socket());
  Watch(Clip);
  std::string Big;
  for (int I = 0; Big.size() < (3u << 20); ++I) Big += "line " + std::to_string(I) + "\n";
  Copy(Big);
  ASSERT_TRUE(WaitSeen(1));
  EXPECT_EQ(Seen[0].size(), Big.size());
  EXPECT_TRUE(Seen[0] == Big);

  const std::string Mine = Big + "mine";
  Clip.SetText(Mine);
  std::string Pasted;
  for (int I = 0; I < 100 && (Pasted = Paste()).size() != Mine.size(); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(Pasted == Mine) << Pasted.size();
}

TEST_F(WaylandClipboardTest, TooLargeACopyIsDropped) {
  TWaylandClipboard Clip(Sway->Socket());
  Watch(Clip);
  Copy(std::string(TWaylandClipboard::MaxText + 1, 'x'));
  Copy("small");
  ASSERT_TRUE(WaitSeen(1));
  EXPECT_EQ(Seen.back(), "small");
  EXPECT_EQ(Seen.size(), 1u);
}

TEST_F(WaylandClipboardTest, ACompositorThatGoesAwayEndsNothing) {
  auto Clip = std::make_unique<TWaylandClipboard>(Sway->Socket());
  Watch(*Clip);
  Clip->SetText("before the end");
  std::string Pasted;
  for (int I = 0; I < 100 && (Pasted = Paste()) != "before the end"; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(Pasted, "before the end");
  Sway->Kill();
  Clip->SetText("after the end");  // lost, quietly
  Clip.reset();  // the thread ends
  EXPECT_TRUE(Seen.empty());
}

TEST(WaylandClipboardNoCompositor, Raises) { EXPECT_THROW(TWaylandClipboard("/nonexistent/wayland-0"), TError); }

}  // namespace
}  // namespace tlm
