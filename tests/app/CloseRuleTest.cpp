#include <gtest/gtest.h>

#include "app/CloseRule.h"

namespace tlm {
namespace {

TEST(CloseRuleTest, AskOnlyWhereClosingWouldSilentlyEndUnattendedAccess) {
  struct TCase {
    bool Tray, Unattended;
    std::optional<bool> KeepRunning;
    ECloseChoice Choice;
  } cases[] = {
      {true, true, std::nullopt, ECloseChoice::AskToTray},  // the first close asks
      {true, true, true, ECloseChoice::ToTray},             // then the answer holds
      {true, true, false, ECloseChoice::Quit},
      {true, false, std::nullopt, ECloseChoice::ToTray},
      {true, false, false, ECloseChoice::Quit},
      {false, true, std::nullopt, ECloseChoice::AskToQuit},  // no tray: every time
      {false, true, true, ECloseChoice::AskToQuit},
      {false, false, std::nullopt, ECloseChoice::Quit},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CloseChoice(c.Tray, c.Unattended, c.KeepRunning), c.Choice)
        << c.Tray << c.Unattended << (c.KeepRunning ? int(*c.KeepRunning) : -1);
}

}  // namespace
}  // namespace tlm
