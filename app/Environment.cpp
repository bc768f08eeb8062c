#include "app/Environment.h"

#include <cstdlib>

#include "protocol/Credentials.h"
#include "protocol/LocalFiles.h"
#ifdef _WIN32
#include "protocol/WinText.h"
#endif

namespace tlm {

namespace {

// Unset and empty differ only where the program treats them differently (COMPUTERNAME).
std::optional<std::string> Variable(const char* AName) {
#ifdef _WIN32
  // The narrow environment is in the ANSI code page; the program's texts are UTF-8.
  const std::wstring wide = WideFromUtf8(AName);
  const wchar_t* v = ::_wgetenv(wide.c_str());
  if (!v) return std::nullopt;
  return Utf8FromWide(v);
#else
  const char* v = std::getenv(AName);
  if (!v) return std::nullopt;
  return std::string(v);
#endif
}

std::string Text(const char* AName) { return Variable(AName).value_or(std::string()); }

}  // namespace

TEnvironment TEnvironment::FromProcess() {
  TEnvironment env;
  env.RelayHost = Text("TLMREMOTE_HOST");
  env.ConfigDir = Text("TLMREMOTE_CONFIGDIR");
  env.DeviceKey = Text("TLMREMOTE_DEVICEKEY");
  env.ComputerName = Variable("COMPUTERNAME");
  env.AutoConnect = Text("TLMREMOTE_AUTOCONNECT");
  env.AutoPassword = Text("TLMREMOTE_AUTOPW");
  env.IdFile = Text("TLMREMOTE_IDFILE");
  env.ResultFile = Text("TLMREMOTE_RESULTFILE");
  env.LogFile = Text("TLMREMOTE_LOGFILE");
  env.RelayTls = Text("TLMREMOTE_TLS") == "1";
  env.RelayTlsCa = Text("TLMREMOTE_TLS_CA");
  env.WaylandDisplay = Text("WAYLAND_DISPLAY");
#ifdef _WIN32
  env.Folders.Home = Text("USERPROFILE");
#else
  env.Folders.Home = Text("HOME");
  env.Folders.ConfigHome = Text("XDG_CONFIG_HOME");
#endif
  return env;
}

std::string TEnvironment::RelayHostOrDefault() const {
  return RelayHost.empty() ? std::string(DefaultRelayHost) : RelayHost;
}

std::string TEnvironment::ConfigFolder() const {
  return ConfigDir.empty() ? JoinPath(UserConfigDir(Folders), "TLMRemote") : ConfigDir;
}

}  // namespace tlm
