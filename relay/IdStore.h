// Persistent map from a host's device key to its connection ID, kept in SQLite.
//
// Contract: owned by the relay server and used only on its network thread (one caller at a
// time; the object holds no lock). The same device key gets the same ID for as long as the
// database file lives; a new key gets a fresh random 9-digit ID whose first digit is not 0 and
// that no other key holds. Every SQLite failure is raised as TError.
#pragma once

#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tlm {

class TIdStore {
public:
  // APath: a database file (created when missing) or ":memory:".
  explicit TIdStore(const std::string& APath);
  ~TIdStore();
  TIdStore(const TIdStore&) = delete;
  TIdStore& operator=(const TIdStore&) = delete;

  // The key's ID; assigns and stores a new one on first sight.
  std::string IdFor(std::string_view ADeviceKey);

private:
  void Exec(const char* ASql);
  [[noreturn]] void Fail(const char* AWhat) const;

  sqlite3* FDb = nullptr;
  sqlite3_stmt* FSelect = nullptr;
  sqlite3_stmt* FInsert = nullptr;
};

// A random 9-digit ID text, first digit 1 to 9, from the system's random source.
std::string RandomConnectionId();

}  // namespace tlm
