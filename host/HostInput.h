// THostInput: the viewer's mouse and keys on this desktop. It owns the use of the injector,
// the record of what the viewer holds down (released when the session ends) and the virtual
// desktop that absolute positions are scaled to, read again whenever the streamer's layout
// snapshot says the layout may have changed.
//
// Contract: every call belongs to the agent's reader thread, so the injector is only ever used
// from that one thread (platform/Input.h) and nothing here needs a lock. Injection failures are
// dropped: a record the desktop refuses is lost, as the desktop would lose it.
#pragma once

#include <cstdint>
#include <span>

#include "host/InputMapping.h"
#include "platform/Input.h"

namespace tlm {

class THostInput {
public:
  // AInjector (not owned) may be null: every record is then dropped.
  explicit THostInput(IInputInjector* AInjector) : FInjector(AInjector) {}
  THostInput(const THostInput&) = delete;
  THostInput& operator=(const THostInput&) = delete;

  // Reads the virtual desktop afresh; one that cannot be read counts as empty.
  void ReadDesktop();
  // A mouse record (TMouseEventRec) mapped against ALayout.
  void Mouse(std::span<const uint8_t> ARecord, const TLayoutSnapshot& ALayout);
  // A key record (TKeyEventRec).
  void Key(std::span<const uint8_t> ARecord);
  // Releases every button and key the viewer still holds.
  void ReleaseHeld();

private:
  IInputInjector* const FInjector;
  TVirtualScreen FDesktop;
  uint64_t FDesktopGeneration = 0;  // the layout FDesktop was read for
  TPressedInputs FHeld;
};

}  // namespace tlm
