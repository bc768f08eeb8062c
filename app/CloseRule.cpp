#include "app/CloseRule.h"

namespace tlm {

ECloseChoice CloseChoice(bool ATray, bool AUnattended, std::optional<bool> AKeepRunning) {
  if (!ATray) return AUnattended ? ECloseChoice::AskToQuit : ECloseChoice::Quit;
  if (AKeepRunning) return *AKeepRunning ? ECloseChoice::ToTray : ECloseChoice::Quit;
  // Without unattended access the tray still keeps the ID and the consent prompt: no question.
  return AUnattended ? ECloseChoice::AskToTray : ECloseChoice::ToTray;
}

}  // namespace tlm
