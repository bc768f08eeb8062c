// One connection to the D-Bus session bus for talking to the desktop portal
// (org.freedesktop.portal.Desktop): method calls with a{sv} options, the portal's
// request/response pattern (a call returns a request object, whose Response signal carries the
// result later, possibly after a dialog), and fire-and-forget calls for input.
//
// Every method takes the connection's lock, so any thread may call; a wait for a response
// releases the lock between short slices, so input calls from another thread are not held up
// for long. Errors are TError.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

struct sd_bus;

namespace tlm {

// One option of an a{sv} dictionary; the value's type gives the variant's signature.
struct TPortalOption {
  std::string Key;
  std::variant<std::string, uint32_t, bool> Value;
};
using TPortalOptions = std::vector<TPortalOption>;

// A positional argument of a call (besides its options dictionary): an object path, a string,
// or a number of the D-Bus type its C++ type names.
struct TPortalPath {
  std::string Path;
};
using TPortalArg = std::variant<TPortalPath, std::string, uint32_t, int32_t, double>;

// One stream of a started screen cast, as the portal describes it.
struct TPortalStreamInfo {
  uint32_t NodeId = 0;
  bool HasPosition = false;
  int32_t X = 0, Y = 0;
  bool HasSize = false;
  int32_t Width = 0, Height = 0;
  uint32_t SourceType = 0;
  bool operator==(const TPortalStreamInfo&) const = default;
};

// What a Response signal carried; fields the portal did not send keep their defaults.
struct TPortalResults {
  std::string SessionHandle;
  std::string RestoreToken;
  uint32_t Devices = 0;
  std::vector<TPortalStreamInfo> Streams;
};

// The portal's interfaces and the bits of their masks that the host uses.
constexpr const char* PortalBusName = "org.freedesktop.portal.Desktop";
constexpr const char* PortalObjectPath = "/org/freedesktop/portal/desktop";
constexpr const char* ScreenCastInterface = "org.freedesktop.portal.ScreenCast";
constexpr const char* RemoteDesktopInterface = "org.freedesktop.portal.RemoteDesktop";
constexpr uint32_t PortalDeviceKeyboard = 1;
constexpr uint32_t PortalDevicePointer = 2;
constexpr uint32_t PortalSourceMonitor = 1;
constexpr uint32_t PortalCursorEmbedded = 2;
// persist_mode: until the permission is revoked.
constexpr uint32_t PortalPersistUntilRevoked = 2;

class TPortalBus {
public:
  // AAddress: a D-Bus address ("unix:path=..."); empty means the user's session bus.
  // Throws TError when the bus cannot be reached.
  explicit TPortalBus(const std::string& AAddress = {});
  ~TPortalBus();
  TPortalBus(const TPortalBus&) = delete;
  TPortalBus& operator=(const TPortalBus&) = delete;

  // Whether the portal service is on the bus or can be started by it.
  bool PortalPresent();
  // A u property of one of the portal's interfaces (0 when it cannot be read: an interface
  // the portal lacks reads as version 0).
  uint32_t Property(const char* AInterface, const char* AName);

  // Calls AMethod with AArgs and then AOptions (a handle_token is added) and waits for the
  // request's Response: until ATimeoutMs passed (negative: no limit, as for a dialog the user
  // answers) or ACancel became true. Throws TError when the call fails, the user refused (the
  // text says so) or the wait ended without a response.
  TPortalResults Request(const char* AInterface, const char* AMethod, const std::vector<TPortalArg>& AArgs,
                         TPortalOptions AOptions, int ATimeoutMs, const std::atomic<bool>& ACancel);

  // RemoteDesktop's input call AMethod(session, {}, AArgs...) without awaiting its reply;
  // false when it could not be sent.
  bool Notify(const char* AMethod, const std::string& ASession, const std::vector<TPortalArg>& AArgs);
  // ScreenCast.OpenPipeWireRemote: a descriptor of our own (the caller closes it).
  int OpenPipeWireRemote(const std::string& ASession);
  // Session.Close on ASession; errors are ignored (the session may be gone).
  void CloseSession(const std::string& ASession);
  // Watches ASession's Closed signal (the user or the compositor ended it).
  void WatchSession(const std::string& ASession);
  // True once the watched session was closed by the other side; handles what arrived first.
  bool SessionClosed();

private:
  void ProcessLocked();

  std::mutex FLock;
  sd_bus* FBus = nullptr;
  std::string FSenderPart;  // the unique name as request paths spell it
  uint64_t FNextToken = 0;
  void* FClosedSlot = nullptr;
  bool FClosed = false;
};

}  // namespace tlm
