// What closing the main window does. With a tray icon the host can go on running without the
// window (reachable under its ID, the tray's "종료" ends it); without one, closing ends the
// program. While unattended access is on, closing would end it silently, so the user is asked:
// with a tray once, the answer kept (AKeepRunning); without a tray at every close.
#pragma once

#include <optional>

namespace tlm {

enum class ECloseChoice {
  Quit,       // end the program
  ToTray,     // hide the window; the host keeps running
  AskToTray,  // ask "keep running in the tray?"; keep the answer; then as it says
  AskToQuit,  // ask "end unattended access?"; quit on yes, keep the window on no
};

// ATray: the desktop shows tray icons; AUnattended: a password admits viewers by itself;
// AKeepRunning: the user's earlier answer to AskToTray, if any.
ECloseChoice CloseChoice(bool ATray, bool AUnattended, std::optional<bool> AKeepRunning);

// What the windows ask and tell (lines end with "\n"): AskToTray's question (yes: the tray),
// AskToQuit's (yes: quit), and the notice when the window first goes to the tray.
const char* KeepRunningQuestion();
const char* QuitUnattendedQuestion();
const char* InTrayNotice();

}  // namespace tlm
