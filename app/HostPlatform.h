// The desktop services the host agent needs on this machine: the screen for its capturer, the
// input injector and the clipboard setter, from the backend of the session the program runs in
// (Wayland when the environment names a Wayland display, X11 otherwise). A desktop that cannot be reached (no
// display, no XTEST, a compositor without the protocols) leaves the matching service empty:
// the host still registers and admits viewers, and logs what it cannot do.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/HostAgent.h"
#include "platform/Clipboard.h"

namespace tlm {

// The desktop's clipboard where the toolkit's works only for a focused window (a Wayland
// session); null elsewhere, and null with AProblem set when the compositor offers none.
// AWaylandDisplay: $WAYLAND_DISPLAY as the program read it ("" outside a Wayland session).
std::unique_ptr<ITextClipboard> CreateDesktopClipboard(const std::string& AWaylandDisplay, std::string& AProblem);

class THostPlatform {
public:
  explicit THostPlatform(const std::string& AWaylandDisplay);
  ~THostPlatform();
  THostServices Services(IClipboardSetter* AClipboard);
  // Why a service is missing ("" when all are there).
  const std::string& Problems() const { return FProblems; }
  // The lines for the main window's log at start-up: the backend in use, then each problem.
  std::vector<std::string> LogLines() const;

private:
  void AddProblem(const std::string& AText);

  bool FWayland = false;
  std::unique_ptr<IInputInjector> FInput;
  std::string FProblems;
};

}  // namespace tlm
