#include "host/HostInput.h"

#include <exception>
#include <vector>

#include "protocol/Packet.h"

namespace tlm {

void THostInput::ReadDesktop() {
  if (!FInjector) return;
  try {
    FDesktop = FInjector->VirtualScreen();
  } catch (const std::exception&) {
    FDesktop = TVirtualScreen{};
  }
}

void THostInput::Mouse(std::span<const uint8_t> ARecord, const TLayoutSnapshot& ALayout) {
  if (!FInjector) return;
  if (ALayout.Generation != FDesktopGeneration) {
    // A desktop that cannot be read now keeps the one known so far.
    try {
      FDesktop = FInjector->VirtualScreen();
    } catch (const std::exception&) {
    }
    FDesktopGeneration = ALayout.Generation;
  }
  for (const TMouseInput& in : MouseInputsFor(UnpackMouseEvent(ARecord), ALayout.Monitor, FDesktop)) {
    try {
      FInjector->SendMouse(in);
    } catch (const std::exception&) {
      continue;
    }
    FHeld.Note(in);
  }
}

void THostInput::Key(std::span<const uint8_t> ARecord) {
  if (!FInjector) return;
  const TKeyInput in = KeyInputFor(UnpackKeyEvent(ARecord));
  try {
    FInjector->SendKey(in);
  } catch (const std::exception&) {
    return;
  }
  FHeld.Note(in);
}

void THostInput::ReleaseHeld() {
  if (!FInjector) return;
  for (const TMouseInput& in : FHeld.TakeMouseReleases()) {
    try {
      FInjector->SendMouse(in);
    } catch (const std::exception&) {
    }
  }
  for (const TKeyInput& in : FHeld.TakeKeyReleases()) {
    try {
      FInjector->SendKey(in);
    } catch (const std::exception&) {
    }
  }
}

}  // namespace tlm
