// What the process environment asks of one run of the program, read once in main and handed
// to whoever needs a part of it. Nothing else in the program reads the environment, so a test
// builds the value it wants instead of changing the process's variables.
#pragma once

#include <optional>
#include <string>

#include "platform/Folders.h"

namespace tlm {

struct TEnvironment {
  // TLMREMOTE_HOST as given ("" when unset or empty: the built-in relay host).
  std::string RelayHost;
  // TLMREMOTE_CONFIGDIR: the folder of config.ini ("" : "TLMRemote" in the user's configuration folder).
  std::string ConfigDir;
  // TLMREMOTE_DEVICEKEY: the device key, never written to the file ("" : the stored one).
  std::string DeviceKey;
  // COMPUTERNAME: the name shown to partners when config.ini has none (unset: the host name).
  std::optional<std::string> ComputerName;
  // TLMREMOTE_AUTOCONNECT, TLMREMOTE_AUTOPW: a partner to connect to right after start-up.
  std::string AutoConnect;
  std::string AutoPassword;
  // TLMREMOTE_IDFILE: overwritten with the host's ID whenever one is assigned.
  std::string IdFile;
  // TLMREMOTE_RESULTFILE: an unattended viewer writes the first frame's size there and closes.
  std::string ResultFile;
  // TLMREMOTE_LOGFILE: every line of the main window's log is appended there too.
  std::string LogFile;
  // TLMREMOTE_TLS=1 (as RelayTls=1 in config.ini), TLMREMOTE_TLS_CA: the certificates to trust.
  bool RelayTls = false;
  std::string RelayTlsCa;
  // WAYLAND_DISPLAY: the compositor's socket; "" outside a Wayland session.
  std::string WaylandDisplay;
  // What the user's folders are derived from ($HOME, $XDG_CONFIG_HOME; %USERPROFILE%).
  TFolderEnvironment Folders;

  // The one reader of the process environment.
  static TEnvironment FromProcess();

  // The relay host to use: RelayHost, else the built-in default.
  std::string RelayHostOrDefault() const;
  // The folder of config.ini.
  std::string ConfigFolder() const;
  std::string DownloadFolder() const { return UserDownloadDir(Folders); }
};

}  // namespace tlm
