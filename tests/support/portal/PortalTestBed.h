// A private desktop-portal world for one test: a D-Bus session bus (dbus-daemon), a PipeWire
// daemon with WirePlumber (which links a consumer to the node it targets, as on a desktop),
// a test producer of known pictures, and a fake org.freedesktop.portal.Desktop that speaks the
// ScreenCast / RemoteDesktop request-response flow, hands out restore tokens and records the
// input calls it receives.
//
// Everything runs in a runtime folder of its own; the destructor stops it all. The fake portal
// and the producers run on threads of this process, talking to the daemons like any client.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct sd_bus;
struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;

namespace tlm::test {

// The daemons. Running() false (with Error) when a program is missing or does not start.
class TPortalDaemons {
public:
  TPortalDaemons();
  ~TPortalDaemons();
  TPortalDaemons(const TPortalDaemons&) = delete;
  TPortalDaemons& operator=(const TPortalDaemons&) = delete;

  bool Running() const { return FError.empty(); }
  const std::string& Error() const { return FError; }
  const std::string& BusAddress() const { return FBusAddress; }
  // A new connection to the PipeWire daemon (the caller owns the descriptor); -1 on failure.
  int ConnectPipeWire() const;

private:
  pid_t Spawn(const std::vector<std::string>& AArgs, const std::string& ALog);
  std::string FDir;
  std::string FBusAddress;
  std::string FError;
  std::vector<pid_t> FPids;
};

// What a producer may misstate about its frames, as a faulty or hostile compositor could.
enum class TChunkLie { None, StrideTooSmall, BeyondBuffer, Corrupted };

// One video source node fed with a fixed picture of 0x00RRGGBB words in the given SPA layout,
// its frames described truthfully or with ALie.
class TVideoProducer {
public:
  TVideoProducer(const TPortalDaemons& ADaemons, uint32_t AFormat, int AWidth, int AHeight,
                 std::vector<uint32_t> APicture, TChunkLie ALie = TChunkLie::None);
  ~TVideoProducer();
  TVideoProducer(const TVideoProducer&) = delete;
  TVideoProducer& operator=(const TVideoProducer&) = delete;
  // The node's id once it exists (0 on failure, after a few seconds).
  uint32_t NodeId() const { return FNode; }
  // Frames handed out so far.
  uint64_t Frames() const { return FFrames; }

  // For the loop's callbacks.
  void Produce();
  void FormatChanged();
  pw_stream* Stream() const { return FStream; }

private:
  pw_thread_loop* FLoop = nullptr;
  pw_context* FContext = nullptr;
  pw_core* FCore = nullptr;
  pw_stream* FStream = nullptr;
  void* FListener = nullptr;
  void* FTimer = nullptr;
  uint32_t FFormat;
  int FWidth, FHeight;
  std::vector<uint32_t> FPicture;
  TChunkLie FLie;
  uint32_t FNode = 0;
  std::atomic<uint64_t> FFrames{0};
};

// One stream the fake portal announces at Start.
struct TFakeStream {
  uint32_t Node = 0;
  bool SendPosition = true;
  int32_t X = 0, Y = 0, Width = 0, Height = 0;
};

// An input call as the fake portal received it.
struct TInputCall {
  std::string Method;
  std::string Session;
  std::vector<double> Args;  // the arguments after the options, as numbers
};

struct TFakePortalConfig {
  uint32_t ScreenCastVersion = 4;
  uint32_t RemoteDesktopVersion = 2;  // 0: no RemoteDesktop interface at all
  std::vector<TFakeStream> Streams;
  bool UserDeclines = false;
};

class TFakePortal {
public:
  TFakePortal(const TPortalDaemons& ADaemons, TFakePortalConfig AConfig);
  ~TFakePortal();
  TFakePortal(const TFakePortal&) = delete;
  TFakePortal& operator=(const TFakePortal&) = delete;

  bool Running() const { return FError.empty(); }
  const std::string& Error() const { return FError; }

  // Dialogs the "user" saw (starts that no valid token restored).
  int Dialogs();
  // Sessions closed by their client.
  int ClosedSessions();
  // Requests the fake refused, with the reason (unsupported options and the like).
  std::vector<std::string> Refusals();
  std::vector<TInputCall> InputCalls();
  // Tokens issued and not yet used.
  std::set<std::string> ValidTokens();
  // Ends every session from the portal's side (the user revoked it).
  void CloseAllSessions();

  // Handlers (on the portal's thread).
  struct TSession {
    bool Remote = false;
    bool Started = false;
    std::string RestoreToken;
    bool Persist = false;
    uint32_t Devices = 0;
  };
  int Handle(const std::string& AMember, const std::string& AInterface, void* AMessage);

private:
  void Loop();
  // Replies with the request's path and sends its Response; AResults appends the a{sv}.
  void Respond(void* AMessage, const std::string& AToken, uint32_t ACode,
               const std::function<void(void*)>& AResults = {});

  TFakePortalConfig FConfig;
  const TPortalDaemons& FDaemons;
  std::string FError;
  sd_bus* FBus = nullptr;
  std::vector<void*> FSlots;
  std::atomic<bool> FStop{false};
  std::thread FThread;
  std::mutex FLock;  // the records below
  std::map<std::string, TSession> FSessions;
  std::set<std::string> FTokens;
  uint64_t FNextToken = 0;
  int FDialogs = 0;
  int FClosed = 0;
  std::vector<std::string> FRefusals;
  std::vector<TInputCall> FInput;
  bool FCloseAll = false;
};

}  // namespace tlm::test
