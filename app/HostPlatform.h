// The desktop services the host agent needs on this machine: the screen for its capturer, the
// input injector and the clipboard setter. A desktop that cannot be reached (no display, no
// XTEST) leaves the matching service empty: the host still registers and admits viewers, and
// logs what it cannot do.
#pragma once

#include <memory>
#include <string>

#include "host/HostAgent.h"

namespace tlm {

class THostPlatform {
public:
  THostPlatform();
  ~THostPlatform();
  THostServices Services(IClipboardSetter* AClipboard);
  // Why a service is missing ("" when all are there).
  const std::string& Problems() const { return FProblems; }

private:
  std::unique_ptr<IInputInjector> FInput;
  std::string FProblems;
};

}  // namespace tlm
