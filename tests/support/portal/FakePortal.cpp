#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <variant>

#include "tests/support/portal/PortalTestBed.h"

namespace tlm::test {

namespace {

constexpr const char* DesktopPath = "/org/freedesktop/portal/desktop";
constexpr const char* SessionPrefix = "/org/freedesktop/portal/desktop/session";
constexpr const char* ScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* RemoteDesktop = "org.freedesktop.portal.RemoteDesktop";

using TValue = std::variant<std::string, uint32_t, bool>;
using TDict = std::map<std::string, TValue>;

// Reads an a{sv} of strings, object paths, u and b values; others are skipped.
TDict ReadDict(sd_bus_message* M) {
  TDict D;
  if (sd_bus_message_enter_container(M, 'a', "{sv}") <= 0) return D;
  while (sd_bus_message_enter_container(M, 'e', "sv") > 0) {
    const char* Key = nullptr;
    sd_bus_message_read_basic(M, 's', &Key);
    char Type = 0;
    const char* Contents = nullptr;
    sd_bus_message_peek_type(M, &Type, &Contents);
    const std::string C = Contents ? Contents : "";
    if (C == "s" || C == "o") {
      const char* S = nullptr;
      sd_bus_message_enter_container(M, 'v', C.c_str());
      sd_bus_message_read_basic(M, C[0], &S);
      sd_bus_message_exit_container(M);
      D[Key] = std::string(S ? S : "");
    } else if (C == "u") {
      uint32_t U = 0;
      sd_bus_message_read(M, "v", "u", &U);
      D[Key] = U;
    } else if (C == "b") {
      int B = 0;
      sd_bus_message_read(M, "v", "b", &B);
      D[Key] = B != 0;
    } else {
      sd_bus_message_skip(M, "v");
    }
    sd_bus_message_exit_container(M);
  }
  sd_bus_message_exit_container(M);
  return D;
}

std::string SenderPart(sd_bus_message* M) {
  std::string Part;
  for (const char* C = sd_bus_message_get_sender(M); C && *C; ++C)
    if (*C != ':') Part += *C == '.' ? '_' : *C;
  return Part;
}

std::string Text(const TDict& D, const char* AKey) {
  auto It = D.find(AKey);
  return It != D.end() && std::holds_alternative<std::string>(It->second) ? std::get<std::string>(It->second) : "";
}

int OnDesktop(sd_bus_message* M, void* AUser, sd_bus_error*) {
  return static_cast<TFakePortal*>(AUser)->Handle(sd_bus_message_get_member(M) ? sd_bus_message_get_member(M) : "",
                                                  sd_bus_message_get_interface(M) ? sd_bus_message_get_interface(M) : "",
                                                  M);
}

}  // namespace

TFakePortal::TFakePortal(const TPortalDaemons& ADaemons, TFakePortalConfig AConfig)
    : FConfig(std::move(AConfig)), FDaemons(ADaemons) {
  int Rc = sd_bus_new(&FBus);
  if (Rc >= 0) Rc = sd_bus_set_address(FBus, ADaemons.BusAddress().c_str());
  if (Rc >= 0) Rc = sd_bus_set_bus_client(FBus, 1);
  if (Rc >= 0) Rc = sd_bus_start(FBus);
  sd_bus_slot* Slot = nullptr;
  if (Rc >= 0) Rc = sd_bus_add_object(FBus, &Slot, DesktopPath, OnDesktop, this);
  FSlots.push_back(Slot);
  if (Rc >= 0) Rc = sd_bus_add_fallback(FBus, &Slot, SessionPrefix, OnDesktop, this);
  FSlots.push_back(Slot);
  if (Rc >= 0) Rc = sd_bus_request_name(FBus, "org.freedesktop.portal.Desktop", 0);
  if (Rc < 0) {
    FError = std::string("fake portal: ") + std::strerror(-Rc);
    return;
  }
  FThread = std::thread([this] { Loop(); });
}

TFakePortal::~TFakePortal() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
  for (void* S : FSlots) sd_bus_slot_unref(static_cast<sd_bus_slot*>(S));
  if (FBus) sd_bus_flush_close_unref(FBus);
}

void TFakePortal::Loop() {
  while (!FStop) {
    while (sd_bus_process(FBus, nullptr) > 0) {
    }
    bool CloseAll = false;
    std::vector<std::string> Paths;
    {
      std::lock_guard Lock(FLock);
      CloseAll = std::exchange(FCloseAll, false);
      if (CloseAll)
        for (auto& [Path, S] : FSessions) Paths.push_back(Path);
      if (CloseAll) FSessions.clear();
    }
    for (const auto& P : Paths) sd_bus_emit_signal(FBus, P.c_str(), "org.freedesktop.portal.Session", "Closed", "a{sv}", 0);
    sd_bus_wait(FBus, 20'000);
  }
}

void TFakePortal::Respond(void* AMessage, const std::string& AToken, uint32_t ACode,
                          const std::function<void(void*)>& AResults) {
  auto* M = static_cast<sd_bus_message*>(AMessage);
  const std::string Path = std::string(DesktopPath) + "/request/" + SenderPart(M) + "/" + AToken;
  sd_bus_reply_method_return(M, "o", Path.c_str());
  sd_bus_message* Signal = nullptr;
  sd_bus_message_new_signal(FBus, &Signal, Path.c_str(), "org.freedesktop.portal.Request", "Response");
  sd_bus_message_append_basic(Signal, 'u', &ACode);
  if (AResults) {
    AResults(Signal);
  } else {
    sd_bus_message_append(Signal, "a{sv}", 0);
  }
  sd_bus_send(FBus, Signal, nullptr);
  sd_bus_message_unref(Signal);
}

int TFakePortal::Handle(const std::string& AMember, const std::string& AInterface, void* AMessage) {
  auto* M = static_cast<sd_bus_message*>(AMessage);
  auto Refuse = [&](const std::string& AWhy) {
    {
      std::lock_guard Lock(FLock);
      FRefusals.push_back(AMember + ": " + AWhy);
    }
    return sd_bus_reply_method_errorf(M, "org.freedesktop.portal.Error.InvalidArgument", "%s", AWhy.c_str());
  };
  const bool HasRemote = FConfig.RemoteDesktopVersion > 0;

  if (AInterface == "org.freedesktop.DBus.Properties" && AMember == "Get") {
    const char *Iface = nullptr, *Name = nullptr;
    sd_bus_message_read(M, "ss", &Iface, &Name);
    const std::string I = Iface ? Iface : "", N = Name ? Name : "";
    uint32_t Value = 0;
    if (I == ScreenCast && N == "version") Value = FConfig.ScreenCastVersion;
    else if (I == ScreenCast && N == "AvailableSourceTypes") Value = 1;
    else if (I == ScreenCast && N == "AvailableCursorModes") Value = 1 | 2;
    else if (I == RemoteDesktop && HasRemote && N == "version") Value = FConfig.RemoteDesktopVersion;
    else if (I == RemoteDesktop && HasRemote && N == "AvailableDeviceTypes") Value = 3;
    else return sd_bus_reply_method_errorf(M, "org.freedesktop.DBus.Error.UnknownProperty", "no %s.%s", Iface, Name);
    return sd_bus_reply_method_return(M, "v", "u", Value);
  }
  if (AInterface == "org.freedesktop.portal.Session" && AMember == "Close") {
    std::lock_guard Lock(FLock);
    if (FSessions.erase(sd_bus_message_get_path(M))) ++FClosed;
    return sd_bus_reply_method_return(M, "");
  }
  if (AInterface == RemoteDesktop && !HasRemote) return 0;  // an unknown interface
  if (AInterface != ScreenCast && AInterface != RemoteDesktop) return 0;

  if (AMember == "CreateSession") {
    const TDict Options = ReadDict(M);
    const std::string Session = std::string(SessionPrefix) + "/" + SenderPart(M) + "/" + Text(Options, "session_handle_token");
    {
      std::lock_guard Lock(FLock);
      FSessions[Session].Remote = AInterface == RemoteDesktop;
    }
    Respond(M, Text(Options, "handle_token"), 0, [&](void* R) {
      sd_bus_message_append(static_cast<sd_bus_message*>(R), "a{sv}", 1, "session_handle", "s", Session.c_str());
    });
    return 1;
  }

  const char* SessionPath = nullptr;
  sd_bus_message_read_basic(M, 'o', &SessionPath);
  const std::string Session = SessionPath ? SessionPath : "";
  std::unique_lock Lock(FLock);
  auto It = FSessions.find(Session);
  if (It == FSessions.end()) {
    Lock.unlock();
    return Refuse("no such session");
  }
  TSession& S = It->second;

  if (AMember == "SelectDevices" && AInterface == RemoteDesktop) {
    const TDict Options = ReadDict(M);
    const bool WantsPersist = Options.count("persist_mode") || Options.count("restore_token");
    if (WantsPersist && FConfig.RemoteDesktopVersion < 2) {
      Lock.unlock();
      return Refuse("persist_mode needs RemoteDesktop version 2");
    }
    S.Devices = Options.count("types") ? std::get<uint32_t>(Options.at("types")) : 3;
    S.Persist = Options.count("persist_mode") && std::get<uint32_t>(Options.at("persist_mode")) == 2;
    S.RestoreToken = Text(Options, "restore_token");
    Lock.unlock();
    Respond(M, Text(Options, "handle_token"), 0, nullptr);
    return 1;
  }
  if (AMember == "SelectSources" && AInterface == ScreenCast) {
    const TDict Options = ReadDict(M);
    const bool WantsPersist = Options.count("persist_mode") || Options.count("restore_token");
    if (WantsPersist && S.Remote) {
      Lock.unlock();
      return Refuse("remote desktop sessions cannot persist through SelectSources");
    }
    if (WantsPersist && FConfig.ScreenCastVersion < 4) {
      Lock.unlock();
      return Refuse("persist_mode needs ScreenCast version 4");
    }
    if (!S.Remote) {
      S.Persist = Options.count("persist_mode") && std::get<uint32_t>(Options.at("persist_mode")) == 2;
      S.RestoreToken = Text(Options, "restore_token");
    }
    Lock.unlock();
    Respond(M, Text(Options, "handle_token"), 0, nullptr);
    return 1;
  }
  if (AMember == "Start") {
    const char* Parent = nullptr;
    sd_bus_message_read_basic(M, 's', &Parent);
    const TDict Options = ReadDict(M);
    // A valid token stands for the user's earlier answer; each is good once.
    if (!S.RestoreToken.empty() && FTokens.erase(S.RestoreToken)) {
    } else {
      ++FDialogs;
      if (FConfig.UserDeclines) {
        Lock.unlock();
        Respond(M, Text(Options, "handle_token"), 1, nullptr);
        return 1;
      }
    }
    S.Started = true;
    std::string NewToken;
    if (S.Persist) {
      NewToken = "token-" + std::to_string(++FNextToken);
      FTokens.insert(NewToken);
    }
    const uint32_t Devices = S.Remote ? S.Devices : 0;
    Lock.unlock();

    Respond(M, Text(Options, "handle_token"), 0, [&](void* R) {
    auto* Results = static_cast<sd_bus_message*>(R);
    sd_bus_message_open_container(Results, 'a', "{sv}");
    sd_bus_message_open_container(Results, 'e', "sv");
    sd_bus_message_append_basic(Results, 's', "streams");
    sd_bus_message_open_container(Results, 'v', "a(ua{sv})");
    sd_bus_message_open_container(Results, 'a', "(ua{sv})");
    for (const auto& F : FConfig.Streams) {
      sd_bus_message_open_container(Results, 'r', "ua{sv}");
      sd_bus_message_append_basic(Results, 'u', &F.Node);
      sd_bus_message_open_container(Results, 'a', "{sv}");
      if (F.SendPosition) sd_bus_message_append(Results, "{sv}", "position", "(ii)", F.X, F.Y);
      sd_bus_message_append(Results, "{sv}", "size", "(ii)", F.Width, F.Height);
      sd_bus_message_append(Results, "{sv}", "source_type", "u", 1u);
      sd_bus_message_close_container(Results);
      sd_bus_message_close_container(Results);
    }
    sd_bus_message_close_container(Results);
    sd_bus_message_close_container(Results);
    sd_bus_message_close_container(Results);
    if (S.Remote) sd_bus_message_append(Results, "{sv}", "devices", "u", Devices);
    if (!NewToken.empty()) sd_bus_message_append(Results, "{sv}", "restore_token", "s", NewToken.c_str());
    sd_bus_message_close_container(Results);
    });
    return 1;
  }
  if (AMember == "OpenPipeWireRemote" && AInterface == ScreenCast) {
    if (!S.Started) {
      Lock.unlock();
      return Refuse("session not started");
    }
    Lock.unlock();
    const int Fd = FDaemons.ConnectPipeWire();
    if (Fd < 0) return Refuse("no PipeWire");
    const int Rc = sd_bus_reply_method_return(M, "h", Fd);  // sends a duplicate
    ::close(Fd);
    return Rc;
  }
  if (AMember.rfind("Notify", 0) == 0 && AInterface == RemoteDesktop) {
    const bool Pointer = AMember.rfind("NotifyPointer", 0) == 0;
    const bool Allowed = S.Started && (S.Devices & (Pointer ? 2u : 1u));
    Lock.unlock();
    sd_bus_message_skip(M, "a{sv}");
    TInputCall Call{AMember, Session, {}};
    for (;;) {
      char Type = 0;
      const char* Contents = nullptr;
      if (sd_bus_message_peek_type(M, &Type, &Contents) <= 0) break;
      if (Type == 'u') {
        uint32_t U = 0;
        sd_bus_message_read_basic(M, 'u', &U);
        Call.Args.push_back(U);
      } else if (Type == 'i') {
        int32_t I = 0;
        sd_bus_message_read_basic(M, 'i', &I);
        Call.Args.push_back(I);
      } else if (Type == 'd') {
        double D = 0;
        sd_bus_message_read_basic(M, 'd', &D);
        Call.Args.push_back(D);
      } else {
        return Refuse("unexpected argument type");
      }
    }
    if (!Allowed) return Refuse("device not granted or session not started");
    {
      std::lock_guard Record(FLock);
      FInput.push_back(Call);
    }
    return sd_bus_reply_method_return(M, "");
  }
  Lock.unlock();
  return Refuse("unknown method");
}

int TFakePortal::Dialogs() {
  std::lock_guard Lock(FLock);
  return FDialogs;
}

int TFakePortal::ClosedSessions() {
  std::lock_guard Lock(FLock);
  return FClosed;
}

std::vector<std::string> TFakePortal::Refusals() {
  std::lock_guard Lock(FLock);
  return FRefusals;
}

std::vector<TInputCall> TFakePortal::InputCalls() {
  std::lock_guard Lock(FLock);
  return FInput;
}

std::set<std::string> TFakePortal::ValidTokens() {
  std::lock_guard Lock(FLock);
  return FTokens;
}

void TFakePortal::CloseAllSessions() {
  std::lock_guard Lock(FLock);
  FCloseAll = true;
}

}  // namespace tlm::test
