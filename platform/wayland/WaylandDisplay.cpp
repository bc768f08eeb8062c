#include "platform/wayland/WaylandDisplay.h"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "protocol/Error.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace tlm {

namespace {

TWaylandDisplay& Self(void* AData) { return *static_cast<TWaylandDisplay*>(AData); }

void RegistryGlobal(void* AData, wl_registry* ARegistry, uint32_t AName, const char* AInterface, uint32_t AVersion) {
  Self(AData).Global(ARegistry, AName, AInterface, AVersion);
}
void RegistryGlobalRemove(void* AData, wl_registry*, uint32_t AName) { Self(AData).GlobalRemove(AName); }
const wl_registry_listener RegistryListener = {RegistryGlobal, RegistryGlobalRemove};

// What the output listeners get: the output and the display whose layout flag they raise. Owned
// through the wl_output's user data, deleted with the proxy.
struct TOutputCtx {
  TWaylandDisplay* Display;
  TWaylandOutput* Output;
};

void OutputGeometry(void* AData, wl_output*, int32_t AX, int32_t AY, int32_t, int32_t, int32_t, const char*,
                    const char*, int32_t) {
  auto* C = static_cast<TOutputCtx*>(AData);
  C->Output->GeometryX = AX;
  C->Output->GeometryY = AY;
}
void OutputMode(void* AData, wl_output*, uint32_t AFlags, int32_t AWidth, int32_t AHeight, int32_t) {
  auto* C = static_cast<TOutputCtx*>(AData);
  if (!(AFlags & WL_OUTPUT_MODE_CURRENT)) return;
  C->Output->ModeWidth = AWidth;
  C->Output->ModeHeight = AHeight;
}
void OutputDone(void* AData, wl_output*) { static_cast<TOutputCtx*>(AData)->Display->NoteLayoutChange(); }
void OutputScale(void* AData, wl_output*, int32_t AFactor) {
  static_cast<TOutputCtx*>(AData)->Output->Scale = AFactor > 0 ? AFactor : 1;
}
void OutputName(void*, wl_output*, const char*) {}
void OutputDescription(void*, wl_output*, const char*) {}
const wl_output_listener OutputListener = {OutputGeometry, OutputMode, OutputDone, OutputScale, OutputName,
                                           OutputDescription};

void XdgPosition(void* AData, zxdg_output_v1*, int32_t AX, int32_t AY) {
  auto* C = static_cast<TOutputCtx*>(AData);
  C->Output->X = AX;
  C->Output->Y = AY;
  C->Output->HasLogicalPosition = true;
  C->Display->NoteLayoutChange();
}
void XdgSize(void* AData, zxdg_output_v1*, int32_t AWidth, int32_t AHeight) {
  auto* C = static_cast<TOutputCtx*>(AData);
  C->Output->Width = AWidth;
  C->Output->Height = AHeight;
  C->Output->HasLogicalSize = true;
  C->Display->NoteLayoutChange();
}
void XdgDone(void* AData, zxdg_output_v1*) { static_cast<TOutputCtx*>(AData)->Display->NoteLayoutChange(); }
void XdgName(void*, zxdg_output_v1*, const char*) {}
void XdgDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener XdgListener = {XdgPosition, XdgSize, XdgDone, XdgName, XdgDescription};

}  // namespace

TPixelRect TWaylandOutput::Bounds() const {
  if (HasLogicalPosition && HasLogicalSize) return TPixelRect{X, Y, X + Width, Y + Height};
  // Without xdg-output: the compositor's position and the mode divided by the scale.
  const int32_t W = ModeWidth / std::max(Scale, 1), H = ModeHeight / std::max(Scale, 1);
  return TPixelRect{GeometryX, GeometryY, GeometryX + W, GeometryY + H};
}

uint32_t WaylandTimeMs() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TWaylandDisplay::TWaylandDisplay(const std::string& ASocket) {
  FDisplay = wl_display_connect(ASocket.empty() ? nullptr : ASocket.c_str());
  if (!FDisplay) throw TError("Wayland: no compositor at " + (ASocket.empty() ? std::string("$WAYLAND_DISPLAY") : ASocket));
  FRegistry = wl_display_get_registry(FDisplay);
  wl_registry_add_listener(FRegistry, &RegistryListener, this);
  // The globals, then the outputs' descriptions they announce on binding.
  if (!Roundtrip() || !Roundtrip()) {
    Close();
    throw TError("Wayland: the compositor does not answer");
  }
  FLayoutChanged = false;
}

TWaylandDisplay::~TWaylandDisplay() { Close(); }

void TWaylandDisplay::Close() {
  for (auto& O : FOutputs) {
    if (O->Xdg) zxdg_output_v1_destroy(O->Xdg);
    if (O->Output) {
      delete static_cast<TOutputCtx*>(wl_output_get_user_data(O->Output));
      wl_output_destroy(O->Output);
    }
  }
  FOutputs.clear();
  if (FXdgOutputs) zxdg_output_manager_v1_destroy(FXdgOutputs);
  if (FScreencopy) zwlr_screencopy_manager_v1_destroy(FScreencopy);
  if (FVirtualPointer) zwlr_virtual_pointer_manager_v1_destroy(FVirtualPointer);
  if (FVirtualKeyboard) zwp_virtual_keyboard_manager_v1_destroy(FVirtualKeyboard);
  if (FDataControl) zwlr_data_control_manager_v1_destroy(FDataControl);
  if (FSeat) wl_seat_destroy(FSeat);
  if (FShm) wl_shm_destroy(FShm);
  if (FRegistry) wl_registry_destroy(FRegistry);
  if (FDisplay) wl_display_disconnect(FDisplay);
  FXdgOutputs = nullptr;
  FScreencopy = nullptr;
  FVirtualPointer = nullptr;
  FVirtualKeyboard = nullptr;
  FDataControl = nullptr;
  FSeat = nullptr;
  FShm = nullptr;
  FRegistry = nullptr;
  FDisplay = nullptr;
}

void TWaylandDisplay::Global(wl_registry* ARegistry, uint32_t AName, const char* AInterface, uint32_t AVersion) {
  auto Bind = [&](const wl_interface* AIface, uint32_t AMax) {
    return wl_registry_bind(ARegistry, AName, AIface, std::min(AVersion, AMax));
  };
  if (std::strcmp(AInterface, wl_shm_interface.name) == 0 && !FShm) {
    FShm = static_cast<wl_shm*>(Bind(&wl_shm_interface, 1));
  } else if (std::strcmp(AInterface, wl_seat_interface.name) == 0 && !FSeat) {
    FSeat = static_cast<wl_seat*>(Bind(&wl_seat_interface, 1));
  } else if (std::strcmp(AInterface, wl_output_interface.name) == 0) {
    auto O = std::make_unique<TWaylandOutput>();
    O->Name = AName;
    O->Output = static_cast<wl_output*>(Bind(&wl_output_interface, 2));
    wl_output_add_listener(O->Output, &OutputListener, new TOutputCtx{this, O.get()});
    FOutputs.push_back(std::move(O));
    WatchOutput(*FOutputs.back());
    FLayoutChanged = true;
  } else if (std::strcmp(AInterface, zxdg_output_manager_v1_interface.name) == 0 && !FXdgOutputs) {
    FXdgOutputs = static_cast<zxdg_output_manager_v1*>(Bind(&zxdg_output_manager_v1_interface, 2));
    for (auto& O : FOutputs) WatchOutput(*O);
  } else if (std::strcmp(AInterface, zwlr_screencopy_manager_v1_interface.name) == 0 && !FScreencopy) {
    FScreencopyVersion = std::min(AVersion, 3u);
    FScreencopy = static_cast<zwlr_screencopy_manager_v1*>(Bind(&zwlr_screencopy_manager_v1_interface, 3));
  } else if (std::strcmp(AInterface, zwlr_virtual_pointer_manager_v1_interface.name) == 0 && !FVirtualPointer) {
    FVirtualPointer = static_cast<zwlr_virtual_pointer_manager_v1*>(Bind(&zwlr_virtual_pointer_manager_v1_interface, 1));
  } else if (std::strcmp(AInterface, zwp_virtual_keyboard_manager_v1_interface.name) == 0 && !FVirtualKeyboard) {
    FVirtualKeyboard = static_cast<zwp_virtual_keyboard_manager_v1*>(Bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
  } else if (std::strcmp(AInterface, zwlr_data_control_manager_v1_interface.name) == 0 && !FDataControl) {
    FDataControl = static_cast<zwlr_data_control_manager_v1*>(Bind(&zwlr_data_control_manager_v1_interface, 1));
  }
}

void TWaylandDisplay::WatchOutput(TWaylandOutput& AOutput) {
  if (!FXdgOutputs || AOutput.Xdg) return;
  AOutput.Xdg = zxdg_output_manager_v1_get_xdg_output(FXdgOutputs, AOutput.Output);
  zxdg_output_v1_add_listener(AOutput.Xdg, &XdgListener, wl_output_get_user_data(AOutput.Output));
}

void TWaylandDisplay::GlobalRemove(uint32_t AName) {
  auto It = std::find_if(FOutputs.begin(), FOutputs.end(), [&](const auto& O) { return O->Name == AName; });
  if (It == FOutputs.end()) return;
  TWaylandOutput& O = **It;
  if (O.Xdg) zxdg_output_v1_destroy(O.Xdg);
  delete static_cast<TOutputCtx*>(wl_output_get_user_data(O.Output));
  wl_output_destroy(O.Output);
  FOutputs.erase(It);
  FLayoutChanged = true;
}

std::vector<TMonitorInfoRec> TWaylandDisplay::Monitors() const {
  std::vector<TMonitorInfoRec> List;
  for (const auto& O : FOutputs) {
    const TPixelRect R = O->Bounds();
    if (!R.Empty()) List.push_back(TMonitorInfoRec{R, false});
  }
  auto Primary = std::find_if(List.begin(), List.end(), [](const auto& M) { return M.Bounds.Left == 0 && M.Bounds.Top == 0; });
  if (Primary == List.end()) Primary = List.begin();
  if (Primary != List.end()) Primary->Primary = true;
  return List;
}

TPixelRect TWaylandDisplay::LayoutRect() const {
  TPixelRect Box;
  bool Any = false;
  for (const TMonitorInfoRec& M : Monitors()) {
    if (!Any) {
      Box = M.Bounds;
      Any = true;
      continue;
    }
    Box.Left = std::min(Box.Left, M.Bounds.Left);
    Box.Top = std::min(Box.Top, M.Bounds.Top);
    Box.Right = std::max(Box.Right, M.Bounds.Right);
    Box.Bottom = std::max(Box.Bottom, M.Bounds.Bottom);
  }
  return Box;
}

bool TWaylandDisplay::Broken() const { return !FDisplay || wl_display_get_error(FDisplay) != 0; }

bool TWaylandDisplay::Wait(int ATimeoutMs) {
  if (Broken()) return false;
  while (wl_display_prepare_read(FDisplay) != 0) {
    if (wl_display_dispatch_pending(FDisplay) < 0) return false;
  }
  wl_display_flush(FDisplay);
  pollfd P{wl_display_get_fd(FDisplay), POLLIN, 0};
  if (poll(&P, 1, ATimeoutMs) > 0 && (P.revents & POLLIN)) {
    if (wl_display_read_events(FDisplay) < 0) return false;
  } else {
    wl_display_cancel_read(FDisplay);
    if (P.revents & (POLLERR | POLLHUP)) return false;
  }
  return wl_display_dispatch_pending(FDisplay) >= 0;
}

namespace {
void SyncDone(void* AData, wl_callback*, uint32_t) { *static_cast<bool*>(AData) = true; }
const wl_callback_listener SyncListener = {SyncDone};
}  // namespace

bool TWaylandDisplay::Roundtrip(int ATimeoutMs) {
  if (Broken()) return false;
  bool Done = false;
  wl_callback* Cb = wl_display_sync(FDisplay);
  wl_callback_add_listener(Cb, &SyncListener, &Done);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  while (!Done) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0 || !Wait(int(Left.count()))) break;
  }
  wl_callback_destroy(Cb);
  return Done;
}

bool TWaylandDisplay::TakeLayoutChange() {
  const bool Changed = FLayoutChanged;
  FLayoutChanged = false;
  return Changed;
}

}  // namespace tlm
