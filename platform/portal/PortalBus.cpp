#include "platform/portal/PortalBus.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/Error.h"

namespace tlm {

namespace {

constexpr uint64_t CallTimeoutUs = 30'000'000;
// A portal describes one stream per monitor; more than this is not a desktop.
constexpr size_t MaxStreams = 16;
// Messages handled per visit, so a flood on the bus cannot keep a caller here.
constexpr int MaxProcessPerVisit = 64;

struct TMessageFree {
  void operator()(sd_bus_message* A) const { sd_bus_message_unref(A); }
};
using TMessage = std::unique_ptr<sd_bus_message, TMessageFree>;

struct TSlotFree {
  void operator()(sd_bus_slot* A) const { sd_bus_slot_unref(A); }
};
using TSlot = std::unique_ptr<sd_bus_slot, TSlotFree>;

// sd-bus returns negative errno values.
void Check(int ARc, const char* AWhat) {
  if (ARc < 0) throw TError(std::string("D-Bus: ") + AWhat + ": " + std::strerror(-ARc));
}

void AppendArg(sd_bus_message* M, const TPortalArg& A) {
  int Rc = 0;
  if (auto* P = std::get_if<TPortalPath>(&A)) Rc = sd_bus_message_append_basic(M, 'o', P->Path.c_str());
  else if (auto* S = std::get_if<std::string>(&A)) Rc = sd_bus_message_append_basic(M, 's', S->c_str());
  else if (auto* U = std::get_if<uint32_t>(&A)) Rc = sd_bus_message_append_basic(M, 'u', U);
  else if (auto* I = std::get_if<int32_t>(&A)) Rc = sd_bus_message_append_basic(M, 'i', I);
  else if (auto* D = std::get_if<double>(&A)) Rc = sd_bus_message_append_basic(M, 'd', D);
  Check(Rc, "append argument");
}

void AppendOptions(sd_bus_message* M, const TPortalOptions& AOptions) {
  Check(sd_bus_message_open_container(M, 'a', "{sv}"), "open options");
  for (const auto& O : AOptions) {
    Check(sd_bus_message_open_container(M, 'e', "sv"), "open option");
    Check(sd_bus_message_append_basic(M, 's', O.Key.c_str()), "option key");
    if (auto* S = std::get_if<std::string>(&O.Value)) {
      Check(sd_bus_message_append(M, "v", "s", S->c_str()), "option value");
    } else if (auto* U = std::get_if<uint32_t>(&O.Value)) {
      Check(sd_bus_message_append(M, "v", "u", *U), "option value");
    } else {
      const int B = std::get<bool>(O.Value) ? 1 : 0;
      Check(sd_bus_message_append(M, "v", "b", B), "option value");
    }
    Check(sd_bus_message_close_container(M), "close option");
  }
  Check(sd_bus_message_close_container(M), "close options");
}

// Reads the value of the variant at the cursor into AOut when its signature is ASignature,
// else skips it. Returns whether it was read.
bool ReadVariantBasic(sd_bus_message* M, const char* ASignature, void* AOut) {
  char Type = 0;
  const char* Contents = nullptr;
  if (sd_bus_message_peek_type(M, &Type, &Contents) <= 0 || Type != 'v' || !Contents) return false;
  if (std::strcmp(Contents, ASignature) != 0) {
    sd_bus_message_skip(M, "v");
    return false;
  }
  if (sd_bus_message_enter_container(M, 'v', Contents) <= 0) return false;
  const bool Ok = sd_bus_message_read_basic(M, ASignature[0], AOut) > 0;
  sd_bus_message_exit_container(M);
  return Ok;
}

bool ReadVariantPair(sd_bus_message* M, int32_t& AFirst, int32_t& ASecond) {
  char Type = 0;
  const char* Contents = nullptr;
  if (sd_bus_message_peek_type(M, &Type, &Contents) <= 0 || Type != 'v' || !Contents) return false;
  if (std::strcmp(Contents, "(ii)") != 0) {
    sd_bus_message_skip(M, "v");
    return false;
  }
  if (sd_bus_message_enter_container(M, 'v', Contents) <= 0) return false;
  const bool Ok = sd_bus_message_read(M, "(ii)", &AFirst, &ASecond) > 0;
  sd_bus_message_exit_container(M);
  return Ok;
}

// One stream's properties a{sv}: position, size and source type; the rest is skipped.
void ReadStreamProperties(sd_bus_message* M, TPortalStreamInfo& AStream) {
  if (sd_bus_message_enter_container(M, 'a', "{sv}") <= 0) return;
  while (sd_bus_message_enter_container(M, 'e', "sv") > 0) {
    const char* Key = nullptr;
    if (sd_bus_message_read_basic(M, 's', &Key) <= 0) break;
    const std::string K = Key ? Key : "";
    if (K == "position") AStream.HasPosition = ReadVariantPair(M, AStream.X, AStream.Y);
    else if (K == "size") AStream.HasSize = ReadVariantPair(M, AStream.Width, AStream.Height);
    else if (K == "source_type") ReadVariantBasic(M, "u", &AStream.SourceType);
    else sd_bus_message_skip(M, "v");
    sd_bus_message_exit_container(M);
  }
  sd_bus_message_exit_container(M);
}

void ReadStreams(sd_bus_message* M, std::vector<TPortalStreamInfo>& AStreams) {
  char Type = 0;
  const char* Contents = nullptr;
  if (sd_bus_message_peek_type(M, &Type, &Contents) <= 0 || Type != 'v' || !Contents) return;
  if (std::strcmp(Contents, "a(ua{sv})") != 0 || sd_bus_message_enter_container(M, 'v', Contents) <= 0) {
    sd_bus_message_skip(M, "v");
    return;
  }
  if (sd_bus_message_enter_container(M, 'a', "(ua{sv})") > 0) {
    while (sd_bus_message_enter_container(M, 'r', "ua{sv}") > 0) {
      TPortalStreamInfo S;
      if (sd_bus_message_read_basic(M, 'u', &S.NodeId) > 0) ReadStreamProperties(M, S);
      sd_bus_message_exit_container(M);
      if (AStreams.size() < MaxStreams) AStreams.push_back(S);
    }
    sd_bus_message_exit_container(M);
  }
  sd_bus_message_exit_container(M);
}

// One request's response as the signal handler fills it.
struct TPending {
  bool Done = false;
  uint32_t Code = 0;
  TPortalResults Results;
};

int OnClosed(sd_bus_message*, void* AUser, sd_bus_error*) {
  *static_cast<bool*>(AUser) = true;
  return 0;
}

}  // namespace

TPortalBus::TPortalBus(const std::string& AAddress) {
  int Rc = 0;
  if (AAddress.empty()) {
    Rc = sd_bus_open_user(&FBus);
  } else {
    Rc = sd_bus_new(&FBus);
    if (Rc >= 0) Rc = sd_bus_set_address(FBus, AAddress.c_str());
    if (Rc >= 0) Rc = sd_bus_set_bus_client(FBus, 1);
    if (Rc >= 0) Rc = sd_bus_start(FBus);
  }
  if (Rc < 0) {
    if (FBus) sd_bus_unref(FBus);
    FBus = nullptr;
    throw TError(std::string("D-Bus: the session bus cannot be reached: ") + std::strerror(-Rc));
  }
  const char* Unique = nullptr;
  if (sd_bus_get_unique_name(FBus, &Unique) < 0 || !Unique) {
    sd_bus_flush_close_unref(FBus);
    FBus = nullptr;
    throw TError("D-Bus: no unique name");
  }
  // ":1.42" is spelt "1_42" in request object paths.
  for (const char* C = Unique; *C; ++C) {
    if (*C == ':') continue;
    FSenderPart += *C == '.' ? '_' : *C;
  }
}

TPortalBus::~TPortalBus() {
  if (FClosedSlot) sd_bus_slot_unref(static_cast<sd_bus_slot*>(FClosedSlot));
  if (FBus) sd_bus_flush_close_unref(FBus);
}

void TPortalBus::ProcessLocked() {
  for (int I = 0; I < MaxProcessPerVisit; ++I)
    if (sd_bus_process(FBus, nullptr) <= 0) break;
}

bool TPortalBus::PortalPresent() { return Property(ScreenCastInterface, "version") > 0; }

uint32_t TPortalBus::Property(const char* AInterface, const char* AName) {
  std::lock_guard Lock(FLock);
  sd_bus_error Err = SD_BUS_ERROR_NULL;
  uint32_t Value = 0;
  const int Rc = sd_bus_get_property_trivial(FBus, PortalBusName, PortalObjectPath, AInterface, AName, &Err, 'u', &Value);
  sd_bus_error_free(&Err);
  return Rc < 0 ? 0 : Value;
}

namespace {

void ReadResponse(sd_bus_message* M, TPending* P);

// sd-bus calls this from its C frames: nothing may unwind through them.
int OnResponse(sd_bus_message* M, void* AUser, sd_bus_error*) {
  auto* P = static_cast<TPending*>(AUser);
  if (P->Done) return 0;
  P->Done = true;
  try {
    ReadResponse(M, P);
  } catch (...) {
    P->Code = 2;
  }
  return 0;
}

void ReadResponse(sd_bus_message* M, TPending* P) {
  if (sd_bus_message_read_basic(M, 'u', &P->Code) <= 0) {
    P->Code = 2;
    return;
  }
  if (sd_bus_message_enter_container(M, 'a', "{sv}") <= 0) return;
  while (sd_bus_message_enter_container(M, 'e', "sv") > 0) {
    const char* Key = nullptr;
    if (sd_bus_message_read_basic(M, 's', &Key) <= 0) break;
    const std::string K = Key ? Key : "";
    const char* Text = nullptr;
    if (K == "session_handle") {
      // Documented as a string; some portals send an object path.
      char Type = 0;
      const char* Contents = nullptr;
      if (sd_bus_message_peek_type(M, &Type, &Contents) > 0 && Contents && (!std::strcmp(Contents, "o") || !std::strcmp(Contents, "s"))) {
        if (ReadVariantBasic(M, Contents, &Text) && Text) P->Results.SessionHandle = Text;
      } else {
        sd_bus_message_skip(M, "v");
      }
    } else if (K == "restore_token") {
      if (ReadVariantBasic(M, "s", &Text) && Text) P->Results.RestoreToken = Text;
    } else if (K == "devices") {
      ReadVariantBasic(M, "u", &P->Results.Devices);
    } else if (K == "streams") {
      ReadStreams(M, P->Results.Streams);
    } else {
      sd_bus_message_skip(M, "v");
    }
    sd_bus_message_exit_container(M);
  }
}

}  // namespace

TPortalResults TPortalBus::Request(const char* AInterface, const char* AMethod, const std::vector<TPortalArg>& AArgs,
                                   TPortalOptions AOptions, int ATimeoutMs, const std::atomic<bool>& ACancel) {
  std::unique_lock Lock(FLock);
  const std::string Token = "tlm" + std::to_string(::getpid()) + "_" + std::to_string(++FNextToken);
  const std::string Expected = std::string(PortalObjectPath) + "/request/" + FSenderPart + "/" + Token;
  AOptions.push_back({"handle_token", Token});

  // Subscribed before the call, so a response sent at once is not missed.
  TPending Pending;
  sd_bus_slot* Raw = nullptr;
  Check(sd_bus_match_signal(FBus, &Raw, nullptr, Expected.c_str(), "org.freedesktop.portal.Request", "Response",
                            &OnResponse, &Pending),
        "subscribe to the response");
  TSlot Slot(Raw);

  sd_bus_message* RawCall = nullptr;
  Check(sd_bus_message_new_method_call(FBus, &RawCall, PortalBusName, PortalObjectPath, AInterface, AMethod), "new call");
  TMessage Call(RawCall);
  for (const auto& A : AArgs) AppendArg(Call.get(), A);
  AppendOptions(Call.get(), AOptions);

  sd_bus_error Err = SD_BUS_ERROR_NULL;
  sd_bus_message* RawReply = nullptr;
  const int Rc = sd_bus_call(FBus, Call.get(), CallTimeoutUs, &Err, &RawReply);
  TMessage Reply(RawReply);
  if (Rc < 0) {
    const std::string Text = Err.message ? Err.message : std::strerror(-Rc);
    sd_bus_error_free(&Err);
    throw TError(std::string("portal: ") + AMethod + " failed: " + Text);
  }
  const char* Handle = nullptr;
  if (sd_bus_message_read_basic(Reply.get(), 'o', &Handle) <= 0 || !Handle)
    throw TError(std::string("portal: ") + AMethod + " returned no request");
  if (Expected != Handle) {
    // A portal older than handle tokens picks its own path.
    Raw = nullptr;
    Check(sd_bus_match_signal(FBus, &Raw, nullptr, Handle, "org.freedesktop.portal.Request", "Response",
                              &OnResponse, &Pending),
          "subscribe to the response");
    Slot.reset(Raw);
  }

  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs < 0 ? 0 : ATimeoutMs);
  for (;;) {
    ProcessLocked();
    if (Pending.Done) break;
    if (ACancel) throw TError(std::string("portal: ") + AMethod + " was abandoned");
    if (ATimeoutMs >= 0 && std::chrono::steady_clock::now() >= Deadline)
      throw TError(std::string("portal: no answer to ") + AMethod);
    sd_bus_wait(FBus, 50'000);
    // Lets an input call from another thread in between slices.
    Lock.unlock();
    std::this_thread::yield();
    Lock.lock();
  }
  if (Pending.Code == 1) throw TError(std::string("portal: the user declined (") + AMethod + ")");
  if (Pending.Code != 0) throw TError(std::string("portal: ") + AMethod + " ended with an error");
  return std::move(Pending.Results);
}

bool TPortalBus::Notify(const char* AMethod, const std::string& ASession, const std::vector<TPortalArg>& AArgs) {
  std::lock_guard Lock(FLock);
  try {
    sd_bus_message* Raw = nullptr;
    Check(sd_bus_message_new_method_call(FBus, &Raw, PortalBusName, PortalObjectPath, RemoteDesktopInterface, AMethod),
          "new call");
    TMessage Call(Raw);
    AppendArg(Call.get(), TPortalPath{ASession});
    AppendOptions(Call.get(), {});
    for (const auto& A : AArgs) AppendArg(Call.get(), A);
    Check(sd_bus_message_set_expect_reply(Call.get(), 0), "no reply");
    Check(sd_bus_send(FBus, Call.get(), nullptr), "send");
  } catch (const TError&) {
    return false;
  }
  ProcessLocked();
  return true;
}

int TPortalBus::OpenPipeWireRemote(const std::string& ASession) {
  std::lock_guard Lock(FLock);
  sd_bus_message* Raw = nullptr;
  Check(sd_bus_message_new_method_call(FBus, &Raw, PortalBusName, PortalObjectPath, ScreenCastInterface,
                                       "OpenPipeWireRemote"),
        "new call");
  TMessage Call(Raw);
  AppendArg(Call.get(), TPortalPath{ASession});
  AppendOptions(Call.get(), {});
  sd_bus_error Err = SD_BUS_ERROR_NULL;
  sd_bus_message* RawReply = nullptr;
  const int Rc = sd_bus_call(FBus, Call.get(), CallTimeoutUs, &Err, &RawReply);
  TMessage Reply(RawReply);
  if (Rc < 0) {
    const std::string Text = Err.message ? Err.message : std::strerror(-Rc);
    sd_bus_error_free(&Err);
    throw TError("portal: OpenPipeWireRemote failed: " + Text);
  }
  int Fd = -1;
  if (sd_bus_message_read_basic(Reply.get(), 'h', &Fd) <= 0 || Fd < 0)
    throw TError("portal: OpenPipeWireRemote returned no descriptor");
  // The message owns its descriptor; ours outlives it.
  const int Own = ::fcntl(Fd, F_DUPFD_CLOEXEC, 3);
  if (Own < 0) throw TError("portal: cannot keep the PipeWire descriptor");
  return Own;
}

void TPortalBus::CloseSession(const std::string& ASession) {
  std::lock_guard Lock(FLock);
  sd_bus_error Err = SD_BUS_ERROR_NULL;
  sd_bus_call_method(FBus, PortalBusName, ASession.c_str(), "org.freedesktop.portal.Session", "Close", &Err, nullptr, "");
  sd_bus_error_free(&Err);
}

void TPortalBus::WatchSession(const std::string& ASession) {
  std::lock_guard Lock(FLock);
  sd_bus_slot* Raw = nullptr;
  Check(sd_bus_match_signal(FBus, &Raw, nullptr, ASession.c_str(), "org.freedesktop.portal.Session", "Closed",
                            &OnClosed, &FClosed),
        "subscribe to the session's end");
  if (FClosedSlot) sd_bus_slot_unref(static_cast<sd_bus_slot*>(FClosedSlot));
  FClosedSlot = Raw;
}

bool TPortalBus::SessionClosed() {
  std::lock_guard Lock(FLock);
  ProcessLocked();
  return FClosed;
}

}  // namespace tlm
