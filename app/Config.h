// The settings that survive a restart, kept in config.ini in a per-user folder.
//
// One instance, owned by the main window and used on the user-interface thread only. Every
// setter writes the whole file at once (temporary file, then rename), so an accepted change
// survives a crash and a crash mid-write never leaves a torn file. Getters read the file each
// time: nothing is cached, so a hand edit is seen at once.
#pragma once

#include <string>
#include <vector>

namespace tlm {

struct TRecentItem {
  std::string ID;
  std::string Name;
};

class TAppConfig {
public:
  // Folder: TLMREMOTE_CONFIGDIR when set and not empty, else "TLMRemote" in the per-user
  // configuration folder (UserConfigDir in platform/Folders.h). The folder is created when
  // missing; failing that is not an error here (the first write reports it).
  TAppConfig();
  ~TAppConfig();

  const std::string& Path() const { return FPath; }

  // TLMREMOTE_DEVICEKEY when set and not empty (never written); else the stored key; else a new
  // one, stored before it is returned.
  std::string DeviceKey();
  std::string PasswordHash() const;
  void SetPasswordHash(const std::string& AHash);
  bool HasPassword() const { return !PasswordHash().empty(); }
  // 1 when missing or not an integer; other integers come back unchanged.
  int DefaultQuality() const;
  void SetDefaultQuality(int APreset);

  // The viewer's "비율 유지" toggle; off unless stored as "1".
  bool KeepAspect() const;
  void SetKeepAspect(bool AKeep);
  // The stored name, else COMPUTERNAME, else (where that is not set) the host name.
  std::string MyName() const;
  void SetMyName(const std::string& AName);
  // RelayTls=1: reach the relay over TLS (the environment's TLMREMOTE_TLS=1 does it too).
  // There is no setter: it is set by editing the file, as the relay must offer TLS first.
  bool RelayTls() const;
  // Entries of the Recent section in file order, whatever their keys; empty IDs skipped.
  std::vector<TRecentItem> GetRecent() const;
  // Puts the ID first, drops its older entry, and rewrites the section as r0..r9.
  void AddRecent(const std::string& AID, const std::string& AName);

  // "D" and 32 uppercase hex digits from a fresh random version-4 UUID.
  static std::string NewDeviceKey();

private:
  std::string FPath;
};

}  // namespace tlm
