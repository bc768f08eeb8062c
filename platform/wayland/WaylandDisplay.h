// One client connection to a Wayland compositor with the globals the host uses: shared memory,
// the first seat, every output with its logical place in the layout (xdg-output), and the
// wlroots managers for screen copy, virtual pointer, virtual keyboard and data control (each
// null when the compositor does not offer it).
//
// Each user (screen, injector, clipboard) owns a connection of its own and calls it from one
// thread at a time. A connection that broke stays broken (Broken()); its owner makes a new one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Screen.h"

struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_seat;
struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_data_control_manager_v1;

namespace tlm {

// One output as the compositor describes it.
struct TWaylandOutput {
  uint32_t Name = 0;  // the registry's name of the global
  wl_output* Output = nullptr;
  zxdg_output_v1* Xdg = nullptr;
  // Position and size in the layout: from xdg-output, else from the output's geometry and mode.
  int32_t X = 0, Y = 0, Width = 0, Height = 0;
  bool HasLogicalPosition = false, HasLogicalSize = false;
  int32_t ModeWidth = 0, ModeHeight = 0, Scale = 1;
  int32_t GeometryX = 0, GeometryY = 0;
  TPixelRect Bounds() const;
};

class TWaylandDisplay {
public:
  // Connects to ASocket (empty: $WAYLAND_DISPLAY) and waits for the globals and the outputs'
  // descriptions. Throws TError when no compositor answers.
  explicit TWaylandDisplay(const std::string& ASocket = {});
  ~TWaylandDisplay();
  TWaylandDisplay(const TWaylandDisplay&) = delete;
  TWaylandDisplay& operator=(const TWaylandDisplay&) = delete;

  wl_display* Display() const { return FDisplay; }
  wl_shm* Shm() const { return FShm; }
  wl_seat* Seat() const { return FSeat; }
  zwlr_screencopy_manager_v1* Screencopy() const { return FScreencopy; }
  uint32_t ScreencopyVersion() const { return FScreencopyVersion; }
  zwlr_virtual_pointer_manager_v1* VirtualPointer() const { return FVirtualPointer; }
  zwp_virtual_keyboard_manager_v1* VirtualKeyboard() const { return FVirtualKeyboard; }
  zwlr_data_control_manager_v1* DataControl() const { return FDataControl; }

  const std::vector<std::unique_ptr<TWaylandOutput>>& Outputs() const { return FOutputs; }
  // The outputs with a known size, in the compositor's announcement order; the one at (0, 0)
  // (else the first) is the primary one.
  std::vector<TMonitorInfoRec> Monitors() const;
  // The bounding rectangle of Monitors() (empty without any).
  TPixelRect LayoutRect() const;

  // Sends what is queued and handles the events that arrived, without waiting.
  bool Poll() { return Wait(0); }
  // Sends what is queued and waits up to ATimeoutMs for events, then handles them. False when
  // the connection is broken.
  bool Wait(int ATimeoutMs);
  // Waits until the compositor has handled everything sent so far (at most ATimeoutMs).
  bool Roundtrip(int ATimeoutMs = 2000);
  bool Broken() const;

  // True once after an output was added, removed or moved.
  bool TakeLayoutChange();

  // For the listeners.
  void Global(wl_registry* ARegistry, uint32_t AName, const char* AInterface, uint32_t AVersion);
  void GlobalRemove(uint32_t AName);
  void NoteLayoutChange() { FLayoutChanged = true; }

private:
  void Close();
  void WatchOutput(TWaylandOutput& AOutput);

  wl_display* FDisplay = nullptr;
  wl_registry* FRegistry = nullptr;
  wl_shm* FShm = nullptr;
  wl_seat* FSeat = nullptr;
  zxdg_output_manager_v1* FXdgOutputs = nullptr;
  zwlr_screencopy_manager_v1* FScreencopy = nullptr;
  uint32_t FScreencopyVersion = 0;
  zwlr_virtual_pointer_manager_v1* FVirtualPointer = nullptr;
  zwp_virtual_keyboard_manager_v1* FVirtualKeyboard = nullptr;
  zwlr_data_control_manager_v1* FDataControl = nullptr;
  std::vector<std::unique_ptr<TWaylandOutput>> FOutputs;
  bool FLayoutChanged = false;
};

// Milliseconds of a monotonic clock, for the time stamps of injected input.
uint32_t WaylandTimeMs();

}  // namespace tlm
