// The settings that survive a restart, kept in config.ini in a per-user folder.
//
// One instance, owned by the client core (TClientApp) and used on the user-interface thread only. Every
// setter writes the whole file at once (owner-only temporary file, synced, renamed, folder
// synced), so an accepted change survives a crash and a crash mid-write never leaves a torn
// file. Getters read the file each time, so a hand edit is seen at once.
//
// A setter whose write fails raises TError naming the file and the reason, but the value is
// kept in memory: the getters answer it for the rest of the run, and the next successful write
// stores it along with its own change.
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/Environment.h"

namespace tlm {

struct TRecentItem {
  std::string ID;
  std::string Name;
};

class TAppConfig {
public:
  // Folder: AEnv.ConfigFolder() (TLMREMOTE_CONFIGDIR, else "TLMRemote" in the per-user
  // configuration folder). The folder is created when missing; failing that is not an error
  // here (the first write reports it). AEnv's device key and computer name are kept.
  explicit TAppConfig(const TEnvironment& AEnv);
  ~TAppConfig();

  const std::string& Path() const { return FPath; }
  std::string Folder() const;

  // The environment's device key when not empty (never written); else the stored key; else a
  // new one, stored before it is returned.
  std::string DeviceKey();
  std::string PasswordHash() const;
  void SetPasswordHash(const std::string& AHash);
  bool HasPassword() const { return !PasswordHash().empty(); }
  // 1 when missing or not an integer; other integers come back unchanged.
  int DefaultQuality() const;
  void SetDefaultQuality(int APreset);

  // The viewer's "비율 유지" toggle; on unless stored as "0" (the user's choice to stretch).
  bool KeepAspect() const;
  void SetKeepAspect(bool AKeep);
  // The stored name, else the environment's COMPUTERNAME, else (where that is not set) the host name.
  std::string MyName() const;
  void SetMyName(const std::string& AName);
  // RelayTls=1: reach the relay over TLS (the environment's TLMREMOTE_TLS=1 does it too).
  bool RelayTls() const;
  void SetRelayTls(bool AOn);
  // RelayHost: the relay's host name or address ("" : the built-in one; TLMREMOTE_HOST wins).
  std::string RelayHost() const;
  void SetRelayHost(const std::string& AHost);
  // RelayCa: PEM file of the certificates to trust for the relay (TLMREMOTE_TLS_CA wins).
  std::string RelayCa() const;
  void SetRelayCa(const std::string& APath);
  // KeepRunningOnClose: the user's answer to "keep running in the tray?" (none until asked).
  std::optional<bool> KeepRunningOnClose() const;
  void SetKeepRunningOnClose(bool AKeep);
  // PortalRestoreToken: what the desktop portal gave back last time, so that an unattended host
  // gets its screen again without the portal's dialog ("" : none yet; replaced after every start).
  std::string PortalRestoreToken() const;
  void SetPortalRestoreToken(const std::string& AToken);
  // RequireEncryption=1: sessions with a partner without end-to-end encryption are refused,
  // as viewer and as host. Default 0 (such sessions run, shown as unencrypted); no setter.
  bool RequireEncryption() const;
  // Entries of the Recent section in file order, whatever their keys; empty IDs skipped.
  std::vector<TRecentItem> GetRecent() const;
  // Puts the ID first, drops its older entry, and rewrites the section as r0..r9.
  void AddRecent(const std::string& AID, const std::string& AName);
  void RemoveRecent(const std::string& AID);
  // The password hash remembered for AID at the user's request ("" : none; "" forgets it), kept
  // as a hash so that the end-to-end handshake can use it as well as the plain proof. It admits
  // like the password it was made from; the file is the owner's alone.
  std::string RecentPasswordHash(const std::string& AID) const;
  void SetRecentPasswordHash(const std::string& AID, const std::string& AHash);
  // Gives the entry AID the name AName where it stands; nothing when AID is not in the list.
  void RenameRecent(const std::string& AID, const std::string& AName);

  // Appends one line "time\tname\taddress\thow" to admissions.log beside config.ini, keeping the
  // newest MaxAdmissionLines lines; owner-only, replaced whole like config.ini.
  static constexpr size_t MaxAdmissionLines = 1000;
  std::string AdmissionsPath() const;
  void RecordAdmission(std::time_t AWhen, const std::string& AName, const std::string& AAddress,
                       const std::string& AHow);

  // "D" and 32 uppercase hex digits from a fresh random version-4 UUID.
  static std::string NewDeviceKey();

private:
  std::string Get(const char* AKey) const;
  void Set(const char* AKey, const std::string& AValue);
  // Writes every value not yet on disk; keeps them in memory when that fails.
  void Flush();

  std::string FPath;
  const std::string FDeviceKeyOverride;
  const std::optional<std::string> FComputerName;
  std::map<std::string, std::string> FUnsaved;           // main-section values not yet written
  std::optional<std::vector<TRecentItem>> FUnsavedRecent;  // a recent list not yet written
};

}  // namespace tlm
