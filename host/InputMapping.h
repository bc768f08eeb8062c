// Turns the viewer's mouse and key records into the host's input records, and remembers
// which buttons and keys a session holds down so that they can be released when it ends.
//
// Pure functions plus one small tracker, used by the host's input part (host/HostInput.h) on
// the agent's reader thread.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "platform/Input.h"
#include "platform/Screen.h"
#include "protocol/Packet.h"

namespace tlm {

// What the streamer publishes for the mapping of mouse positions: the monitor the viewer sees
// and a number that changes whenever the screen's layout may have changed (a session began,
// the monitors changed), so that the virtual desktop is read again.
struct TLayoutSnapshot {
  TPixelRect Monitor;  // empty: positions are taken from the desktop's origin
  uint64_t Generation = 0;
};

// Every mouse record moves the pointer to its position (relative to AMonitor) in absolute
// virtual-desktop units; press, release and wheel add their flags; a double-click (action 3)
// gives two inputs, left down then left up, whatever the button byte says.
std::vector<TMouseInput> MouseInputsFor(const TMouseEventRec& ARec, const TPixelRect& AMonitor,
                                        const TVirtualScreen& AVirt);
// Virtual key and scan code as sent; key-up only for KeyUp == 1, extended only for Extended == 1.
TKeyInput KeyInputFor(const TKeyEventRec& ARec);

class TPressedInputs {
public:
  void Note(const TMouseInput& AInput);
  void Note(const TKeyInput& AInput);
  bool Empty() const { return FButtons.empty() && FKeys.empty(); }
  // The inputs that release everything still held (keys in reverse press order); clears the
  // record. Button releases carry no move, so the pointer stays where it is.
  std::vector<TMouseInput> TakeMouseReleases();
  std::vector<TKeyInput> TakeKeyReleases();

private:
  std::vector<uint32_t> FButtons;  // the *UP flag of each held button, in press order
  // (virtual key, extended) -> scan code, with the press order kept beside it
  std::vector<std::pair<std::pair<uint16_t, bool>, uint16_t>> FKeys;
};

}  // namespace tlm
