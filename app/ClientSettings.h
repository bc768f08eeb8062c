// The settings a user changes in the settings dialog, and the rules they must keep. Plain C++;
// the dialog shows them, the configuration store keeps them, the environment overrides them.
#pragma once

#include <optional>
#include <string>

namespace tlm {

struct TClientSettings {
  std::string MyName;     // the name partners see in their prompt and log
  std::string RelayHost;  // "" : the built-in relay host; the port is always 59000
  bool RelayTls = false;  // reach the relay over TLS
  std::string RelayCa;    // PEM file of the certificates to trust ("" : the system's)
  bool operator==(const TClientSettings&) const = default;
};

// Which settings the environment sets for this run, and to what.
struct TSettingsOverrides {
  std::optional<std::string> RelayHost;  // TLMREMOTE_HOST
  bool RelayTls = false;                 // TLMREMOTE_TLS=1
  std::optional<std::string> RelayCa;    // TLMREMOTE_TLS_CA
};

// The settings with blanks trimmed, or an error text (Korean, for the user) in AError.
// Rules: a name of 1 to 64 characters with nothing a prompt could be faked with; a relay host
// that is a host name or an address (no blanks, no port: the port is fixed); a certificate file
// that exists and can be read, when one is given.
bool CheckClientSettings(TClientSettings& ASettings, std::string& AError);

}  // namespace tlm
