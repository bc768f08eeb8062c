#include <gtest/gtest.h>

#include "relay/LogSummary.h"

namespace tlm::test {
namespace {

using std::chrono::milliseconds;

TEST(LogSummary, RepeatsBeyondTheBurstAreCountedAndSummarisedOncePerInterval) {
  std::vector<std::string> lines;
  TLogSummary log([&](const std::string& ALine) { lines.push_back(ALine); }, 2, milliseconds(1000));
  const auto t0 = TLogSummary::TClock::time_point{} + std::chrono::hours(1);
  for (int i = 0; i < 10; ++i) log.Line("refused", "refused " + std::to_string(i), t0 + milliseconds(i));
  log.Line("other", "other kind", t0 + milliseconds(20));
  log.Flush(t0 + milliseconds(500));
  EXPECT_EQ(lines, (std::vector<std::string>{"refused 0", "refused 1", "other kind"}));

  log.Flush(t0 + milliseconds(1000));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "refused: 8 more like this in the last 1 s, not logged one by one");
  // A new interval starts with a fresh burst; a kind without held-back lines has no summary.
  log.Line("refused", "refused again", t0 + milliseconds(1100));
  log.Flush(t0 + milliseconds(2100));
  EXPECT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[4], "refused again");
}

TEST(LogSummary, ALineAfterTheIntervalEndsItEvenWithoutAFlush) {
  std::vector<std::string> lines;
  TLogSummary log([&](const std::string& ALine) { lines.push_back(ALine); }, 1, milliseconds(1000));
  const auto t0 = TLogSummary::TClock::time_point{} + std::chrono::hours(1);
  log.Line("k", "a", t0);
  log.Line("k", "b", t0);
  log.Line("k", "c", t0 + milliseconds(3000));
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "k: 1 more like this in the last 3 s, not logged one by one", "c"}));
}

TEST(LogSummary, AtTheEndEveryKindWithLinesHeldBackIsSummarised) {
  std::vector<std::string> lines;
  TLogSummary log([&](const std::string& ALine) { lines.push_back(ALine); }, 1, milliseconds(60000));
  const auto t0 = TLogSummary::TClock::time_point{} + std::chrono::hours(1);
  for (int i = 0; i < 3; ++i) log.Line("held", "held " + std::to_string(i), t0);
  log.Line("single", "single", t0);
  log.FlushAll(t0 + milliseconds(2000));
  EXPECT_EQ(lines, (std::vector<std::string>{"held 0", "single",
                                             "held: 2 more like this in the last 2 s, not logged one by one"}));
}

}  // namespace
}  // namespace tlm::test
