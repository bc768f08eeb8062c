#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "protocol/Marshal.h"

namespace tlm {
namespace {

TEST(LifeGuard, CallbackQueuedByADeadOwnerDoesNothing) {
  TQueueDispatcher ui;
  std::atomic<int> ran{0};
  {
    auto guard = NewLifeGuard();
    std::thread worker([&] { PostGuarded(ui, guard, [&] { ++ran; }); });
    worker.join();
    guard->Kill();  // the owner goes away before the UI thread gets to the call
  }
  EXPECT_EQ(ui.RunPending(), 1);
  EXPECT_EQ(ran, 0);
}

TEST(LifeGuard, LiveOwnerRunsInPostingOrder) {
  TQueueDispatcher ui;
  auto guard = NewLifeGuard();
  std::vector<int> order;
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) PostGuarded(ui, guard, [&order, i] { order.push_back(i); });
  });
  worker.join();
  ui.RunPending();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Dispatcher, OnTheUiThreadCallsRunAtOnce) {
  TQueueDispatcher ui;
  int ran = 0;
  ui.Post([&] { ++ran; });
  ui.Sync([&] { ++ran; });
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(ui.QueuedCount(), 0u);
}

TEST(Dispatcher, WaitPumpingServesAWorkerBlockedInSync) {
  // The UI thread waits for a worker that itself waits for the UI thread: no deadlock.
  TQueueDispatcher ui;
  auto guard = NewLifeGuard();
  std::atomic<bool> done{false};
  bool answer = false;
  std::thread worker([&] {
    SyncGuarded(ui, guard, [&] { answer = true; });
    done = true;
  });
  ui.WaitPumping([&] { return done.load(); });
  worker.join();
  EXPECT_TRUE(answer);
}

TEST(Dispatcher, SyncRethrowsInTheCaller) {
  TQueueDispatcher ui;
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      ui.Sync([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  ui.RunUntil([&] { return caught.load(); }, 5000);
  worker.join();
  EXPECT_TRUE(caught);
}

}  // namespace
}  // namespace tlm
