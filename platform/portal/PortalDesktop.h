// The desktop through the desktop portal (GNOME, KDE and other compositors without the wlroots
// protocols): one remote-desktop session (org.freedesktop.portal.RemoteDesktop with its screen
// cast), or a screen-cast-only session where the portal offers no remote desktop. The picture
// comes from the session's PipeWire streams, one per monitor; pointer and keys go through the
// session's Notify calls.
//
// The session is started on a thread of the desktop's own, because its first start waits for
// the user's answer in the portal's dialog. Until it runs the screen has no monitors and input
// is dropped. The restore token the portal hands out at each start is passed to the token
// store, and offered at the next start, so that the dialog is needed once.
//
// Shared by the screen and the injector made from it (shared_ptr); every method may be called
// from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Input.h"
#include "platform/Screen.h"
#include "platform/portal/PortalBus.h"

namespace tlm {

class TPipeWireCapture;

// Where the restore token lives between runs. On a portal that can restore the session, Load is
// called once, on the desktop's thread, before the session is set up, and Save after each start
// with the token that replaces the old one ("" when the portal gave none), also on the desktop's
// thread. A portal that cannot restore the session leaves both uncalled. Either may be empty.
struct TPortalTokenStore {
  std::function<std::string()> Load;
  std::function<void(const std::string&)> Save;
};

struct TPortalDesktopSetup {
  std::string BusAddress;  // empty: the user's session bus
  TPortalTokenStore Tokens;
  // How long a started session may take to deliver its first frames.
  int FirstFrameTimeoutMs = 5000;
};

class TPortalDesktop {
public:
  enum class TState { Starting, Running, Failed };

  // Starts the session in the background. Never throws: a failure shows in State and Problem.
  explicit TPortalDesktop(TPortalDesktopSetup ASetup);
  // Closes the session.
  ~TPortalDesktop();
  TPortalDesktop(const TPortalDesktop&) = delete;
  TPortalDesktop& operator=(const TPortalDesktop&) = delete;

  TState State();
  // Why the session failed or ended ("" while it starts or runs).
  std::string Problem();
  // Waits until the session runs or failed (at most ATimeoutMs); whether it runs.
  bool WaitUntilRunning(int ATimeoutMs);
  // Whether the portal granted pointer and keyboard (a screen-cast-only session has neither).
  bool PointerGranted();
  bool KeyboardGranted();

  // The screen: monitors in the portal's stream order, pixels of the newest frames.
  std::vector<TMonitorInfoRec> Monitors();
  bool CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride);
  bool TakeLayoutChange();

  // Input in virtual-screen pixels; false when it could not be sent.
  bool PointerTo(int32_t AX, int32_t AY);
  bool PointerBy(int32_t ADx, int32_t ADy);
  bool Button(uint32_t AEvdevButton, bool ADown);
  bool Scroll(int32_t ASteps);  // positive: towards the user (down)
  bool Keysym(uint32_t AKeysym, bool ADown);

private:
  struct TMonitor {
    uint32_t Node = 0;
    TPixelRect Bounds;          // in the virtual screen, picture pixels
    int32_t LogicalWidth = 0;   // the stream's size in the compositor's coordinates
    int32_t LogicalHeight = 0;
  };
  void Run();
  void Start();
  void Fail(const std::string& AProblem);
  bool Usable();
  void RefreshLayoutLocked();
  bool Send(const char* AMethod, const std::vector<TPortalArg>& AArgs);

  TPortalDesktopSetup FSetup;
  std::atomic<bool> FStop{false};
  std::mutex FLock;  // the fields below
  std::condition_variable FStateCv;
  TState FState = TState::Starting;
  std::string FProblem;
  std::string FSession;
  uint32_t FDevices = 0;
  std::vector<TPortalStreamInfo> FStreams;
  std::vector<TMonitor> FMonitors;
  bool FLayoutChanged = false;
  std::unique_ptr<TPortalBus> FBus;
  std::unique_ptr<TPipeWireCapture> FCapture;
  std::thread FThread;
};

// Whether a desktop portal with screen casting answers on the bus (AAddress empty: the
// session bus). Asks the bus, so it may start the portal service.
bool PortalAvailable(const std::string& AAddress = {});

// The screen and the injector over a desktop.
std::unique_ptr<IScreen> CreatePortalScreen(std::shared_ptr<TPortalDesktop> ADesktop);
std::unique_ptr<IInputInjector> CreatePortalInjector(std::shared_ptr<TPortalDesktop> ADesktop);

}  // namespace tlm
