// Persistent map from a host's device key to its connection ID, kept in SQLite.
//
// Contract: owned by the relay server and used only on its network thread (one caller at a
// time; the object holds no lock). The same device key gets the same ID for as long as the
// database file lives and the key keeps being seen; a new key gets a fresh random 9-digit ID
// whose first digit is not 0 and that no other key holds. Keys not seen for a long time can
// be forgotten (ForgetUnseenSince). Every SQLite failure is raised as TError. Times are Unix
// seconds, passed in so that callers and tests control the clock.
// Writes are grouped into one transaction that Commit ends (the owner calls it about once a
// second; it also happens every few hundred writes and on destruction): a crash loses at most
// the newest assignments, never the file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tlm {

class TIdStore {
public:
  // APath: a database file (created when missing) or ":memory:". Files of the older layout
  // (without the last-seen time) are brought up to date; their keys count as seen at creation.
  explicit TIdStore(const std::string& APath);
  ~TIdStore();
  TIdStore(const TIdStore&) = delete;
  TIdStore& operator=(const TIdStore&) = delete;

  // The ID of a known key, which counts as seen at ANow; nullopt for a key never stored.
  std::optional<std::string> Find(std::string_view ADeviceKey, int64_t ANow);
  // Stores a key not stored yet under a fresh ID.
  std::string Create(std::string_view ADeviceKey, int64_t ANow);
  // Find, else Create.
  std::string IdFor(std::string_view ADeviceKey, int64_t ANow = NowUnix());

  // Removes every key last seen before ACutoff, except those whose ID AOnline names (a host
  // connected all that time): those count as seen at ANow. Returns how many were removed.
  // Looks at the AMaxKeys seen longest ago at most, so that a large backlog can be worked off in
  // several calls; AMore (when given) tells whether some may be left.
  size_t ForgetUnseenSince(int64_t ACutoff, int64_t ANow, const std::function<bool(const std::string&)>& AOnline,
                           size_t AMaxKeys = SIZE_MAX, bool* AMore = nullptr);

  // Makes the writes so far durable.
  void Commit();

  static int64_t NowUnix();

private:
  void Exec(const char* ASql);
  sqlite3_stmt* Prepare(const char* ASql);
  [[noreturn]] void Fail(const char* AWhat) const;
  void Touch(std::string_view ADeviceKey, int64_t ANow);
  // Opens the grouping transaction before a write, or commits a full one.
  void BeforeWrite();

  sqlite3* FDb = nullptr;
  sqlite3_stmt* FSelect = nullptr;
  sqlite3_stmt* FInsert = nullptr;
  sqlite3_stmt* FTouch = nullptr;
  size_t FUncommitted = 0;
  bool FInTransaction = false;
};

// A random 9-digit ID text, first digit 1 to 9, from the system's random source.
std::string RandomConnectionId();

}  // namespace tlm
