#include "host/FrameFlow.h"
#include "host/HostFileService.h"
#include "host/SerialJobs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "tests/host/HostTestSupport.h"

namespace tlm {
namespace {

using test::TTempHome;
using test::WriteFile;

TEST(HostListing, RootsFoldersAndFailures) {
  TTempHome home;
  EXPECT_EQ(BuildHostListing(""), "#DRIVES\r\nD\t/\t0\r\nD\t" + home.Path() + "\t0\r\n");

  WriteFile(home.Sub("data/a.txt"), "12345");
  WriteFile(home.Sub("data/.hidden"), "");
  std::filesystem::create_directories(home.Sub("data/sub"));
  std::filesystem::create_symlink(home.Sub("data/sub"), home.Sub("data/link"));
  for (const std::string& request : {home.Sub("data"), home.Sub("data/"), home.Sub("data//")}) {
    auto listing = ParseDirListing(BuildHostListing(request));
    ASSERT_TRUE(listing.has_value());
    EXPECT_EQ(listing->Path, home.Sub("data"));
    std::map<std::string, std::pair<bool, std::string>> seen;
    for (const auto& e : listing->Entries) seen[e.Name] = {e.IsDir, e.SizeText};
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen["a.txt"], std::make_pair(false, std::string("5")));
    EXPECT_EQ(seen[".hidden"], std::make_pair(false, std::string("0")));
    EXPECT_EQ(seen["sub"], std::make_pair(true, std::string("0")));
    EXPECT_EQ(seen["link"], std::make_pair(true, std::string("0")));
  }

  std::filesystem::create_directories(home.Sub("empty"));
  EXPECT_EQ(BuildHostListing(home.Sub("empty")), home.Sub("empty") + "\r\n");
  EXPECT_EQ(BuildHostListing(home.Sub("missing/")), home.Sub("missing") + "\r\n");
  EXPECT_EQ(BuildHostListing(home.Sub("data/a.txt")), home.Sub("data/a.txt") + "\r\n");
  // The root keeps its slash; "~" is the configuration folder.
  EXPECT_EQ(BuildHostListing("/").substr(0, 3), "/\r\n");
  std::filesystem::create_directories(home.Sub(".config/TLMRemote"));
  EXPECT_EQ(BuildHostListing("~"), home.Sub(".config") + "\r\nD\tTLMRemote\t0\r\n");
}

// Names with the listing's own separators are left out; every other byte passes as it is.
TEST(HostListing, NamesWithSeparatorsAreLeftOut) {
  TTempHome home;
  const std::string dir = home.Sub("odd");
  std::filesystem::create_directories(dir);
  for (const char* name : {"tab\there", "cr\rhere", "lf\nF\tfake.exe\t1", "trail\n", "ok name.txt", "쉼표,;.txt"})
    WriteFile(dir + "/" + name, "x");
  std::filesystem::create_directories(dir + "/dir\nwith break");
  EXPECT_EQ(BuildHostListing(dir).find("fake"), std::string::npos);
  auto listing = ParseDirListing(BuildHostListing(dir));
  ASSERT_TRUE(listing.has_value());
  std::vector<std::string> names;
  for (const auto& e : listing->Entries) names.push_back(e.Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ok name.txt", "쉼표,;.txt"}));
}

TEST(SerialJobs, OneAtATimeInOrderWithABoundedQueue) {
  TSerialJobs jobs(3);
  std::mutex lock;
  std::condition_variable changed;
  bool release = false;
  std::vector<int> ran;
  std::atomic<int> running{0}, most{0};
  auto job = [&](int AId) {
    return [&, AId] {
      const int now = ++running;
      most = std::max(most.load(), now);
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return release; });
      ran.push_back(AId);
      --running;
    };
  };
  EXPECT_TRUE(jobs.Push(job(1)));  // starts at once and waits for the release
  while (running.load() == 0) std::this_thread::yield();
  EXPECT_TRUE(jobs.Push(job(2)));
  EXPECT_TRUE(jobs.Push(job(3)));
  EXPECT_TRUE(jobs.Push(job(4)));
  EXPECT_FALSE(jobs.Push(job(5))) << "three wait already";
  {
    std::lock_guard<std::mutex> hold(lock);
    release = true;
  }
  changed.notify_all();
  jobs.WaitIdle();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(most.load(), 1);
  // Idle again: a new job starts a new worker; a throwing job does not stop the queue.
  EXPECT_TRUE(jobs.Push([] { throw TError("boom"); }));
  EXPECT_TRUE(jobs.Push(job(6)));
  jobs.WaitIdle();
  EXPECT_EQ(ran.back(), 6);
}

TEST(SerialJobs, ClearDropsWaitingJobsOnly) {
  TSerialJobs jobs(8);
  std::atomic<bool> started{false}, go{false}, firstDone{false};
  std::atomic<int> later{0};
  jobs.Push([&] {
    started = true;
    while (!go.load()) std::this_thread::yield();
    firstDone = true;
  });
  while (!started.load()) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) jobs.Push([&] { ++later; });
  jobs.Clear();
  go = true;
  jobs.WaitIdle();
  EXPECT_TRUE(firstDone.load());
  EXPECT_EQ(later.load(), 0);
}

TEST(FrameFlow, CongestedOnlyWhileFramesAreSlowerThanTheQuickestRecentOnes) {
  // Each step: frames sent and acknowledged at given times (ms), then the question at a time.
  struct TStep {
    enum { Sent, Acked, Ask } What;
    int64_t At;
    bool Congested = false;  // for Ask
    int InFlight = -1;       // for Ask: the window's count, -1 unchecked
  };
  struct {
    const char* Name;
    std::vector<TStep> Steps;
  } cases[] = {
      {"no measurement yet", {{TStep::Sent, 0}, {TStep::Ask, 50, false}}},
      {"quick frames", {{TStep::Sent, 0}, {TStep::Acked, 10}, {TStep::Sent, 20}, {TStep::Acked, 30}, {TStep::Ask, 35, false}}},
      {"a frame waits far longer than the base",
       {{TStep::Sent, 0}, {TStep::Acked, 10}, {TStep::Sent, 20}, {TStep::Ask, 60, false}, {TStep::Ask, 20 + 10 + TFrameFlow::TargetMs + 1, true}}},
      {"the last round trip was slow and is fresh",
       {{TStep::Sent, 0}, {TStep::Acked, 10}, {TStep::Sent, 20}, {TStep::Acked, 220}, {TStep::Ask, 230, true}, {TStep::Ask, 800, false}}},
      {"the viewer stopped acknowledging",
       {{TStep::Sent, 0}, {TStep::Acked, 10}, {TStep::Sent, 20}, {TStep::Ask, 20 + TFrameFlow::StalledMs + 1, false}}},
      {"acknowledgements nobody asked for are ignored",
       {{TStep::Acked, 5}, {TStep::Acked, 6}, {TStep::Sent, 10}, {TStep::Acked, 20}, {TStep::Ask, 25, false, 0},
        {TStep::Acked, 26}, {TStep::Sent, 30}, {TStep::Ask, 31, false, 1}, {TStep::Sent, 32}, {TStep::Ask, 33, false, 2}}},
  };
  for (const auto& c : cases) {
    TFrameFlow delay;
    for (const TStep& step : c.Steps) {
      if (step.What == TStep::Sent) delay.FrameSent(step.At);
      if (step.What == TStep::Acked) delay.FrameAcked(step.At);
      if (step.What == TStep::Ask) {
        EXPECT_EQ(delay.Congested(step.At), step.Congested) << c.Name << " at " << step.At;
        if (step.InFlight >= 0) {
          EXPECT_EQ(delay.InFlight(), size_t(step.InFlight)) << c.Name << " at " << step.At;
        }
      }
    }
  }
  TFrameFlow delay;
  delay.FrameSent(0);
  delay.FrameAcked(10);
  delay.FrameSent(20);
  delay.Reset();  // a new session measures afresh
  EXPECT_FALSE(delay.Congested(1000));
  EXPECT_EQ(delay.InFlight(), 0u);
}

}  // namespace
}  // namespace tlm
