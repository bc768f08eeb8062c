#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "relay/LogWriter.h"

namespace tlm::test {
namespace {

// A log sink that blocks while jammed, as a full pipe to a log reader that has stopped would.
class TJammedSink {
public:
  void Put(const std::string& ALine) {
    std::unique_lock<std::mutex> hold(FLock);
    ++FEntered;
    FChanged.notify_all();
    FChanged.wait(hold, [&] { return !FJammed; });
    FLines.push_back(ALine);
  }
  void WaitEntered() {
    std::unique_lock<std::mutex> hold(FLock);
    FChanged.wait(hold, [&] { return FEntered > 0; });
  }
  void Release() {
    std::lock_guard<std::mutex> hold(FLock);
    FJammed = false;
    FChanged.notify_all();
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> hold(FLock);
    return FLines;
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FJammed = true;
  size_t FEntered = 0;
  std::vector<std::string> FLines;
};

TEST(LogWriter, AStuckSinkNeverHoldsUpTheWriterAndWhatIsDroppedIsCountedAndReported) {
  TJammedSink sink;
  TLogWriter writer([&](const std::string& ALine) { sink.Put(ALine); }, 100);
  writer.Write("first");
  sink.WaitEntered();
  // The sink is stuck in "first": ten lines of ten bytes fit the buffer, the rest are dropped.
  for (int i = 0; i < 1000; ++i) writer.Write("line " + std::to_string(10000 + i));
  EXPECT_EQ(writer.Dropped(), 990u);
  sink.Release();
  writer.Flush();
  std::vector<std::string> expected{"first"};
  for (int i = 0; i < 10; ++i) expected.push_back("line " + std::to_string(10000 + i));
  expected.push_back("log: 990 lines dropped because the log was not read fast enough");
  EXPECT_EQ(sink.Lines(), expected);

  // Caught up, lines flow again without a report.
  writer.Write("later");
  writer.Flush();
  EXPECT_EQ(sink.Lines().back(), "later");
  EXPECT_EQ(sink.Lines().size(), expected.size() + 1);
}

TEST(LogWriter, LinesWrittenBeforeTheEndAllReachTheSink) {
  std::vector<std::string> lines;
  {
    TLogWriter writer([&](const std::string& ALine) { lines.push_back(ALine); }, 1 << 20);
    for (int i = 0; i < 100; ++i) writer.Write(std::to_string(i));
  }
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines.front(), "0");
  EXPECT_EQ(lines.back(), "99");
}

}  // namespace
}  // namespace tlm::test
