#include "relay/IdStore.h"

#include <sqlite3.h>

#include <chrono>
#include <random>

#include "protocol/Error.h"

namespace tlm {

std::string RandomConnectionId() {
  // std::random_device reads the kernel's random source: IDs are neither sequential nor
  // predictable from earlier ones.
  static thread_local std::random_device source;
  std::uniform_int_distribution<uint32_t> pick(100000000u, 999999999u);
  return std::to_string(pick(source));
}

TIdStore::TIdStore(const std::string& APath) {
  if (sqlite3_open_v2(APath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string text = FDb ? sqlite3_errmsg(FDb) : "out of memory";
    sqlite3_close(FDb);
    FDb = nullptr;
    throw TError("Cannot open ID database " + APath + ": " + text);
  }
  try {
    sqlite3_busy_timeout(FDb, 2000);
    // WAL with NORMAL sync: a registration costs no fsync, and a crash loses at most the
    // newest assignments, never the file.
    if (APath != ":memory:") {
      Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=NORMAL");
    }
    Exec("CREATE TABLE IF NOT EXISTS hosts ("
         " device_key TEXT PRIMARY KEY NOT NULL,"
         " id TEXT NOT NULL UNIQUE,"
         " created_at INTEGER NOT NULL)");
    if (sqlite3_prepare_v2(FDb, "SELECT id FROM hosts WHERE device_key = ?1", -1, &FSelect, nullptr) != SQLITE_OK)
      Fail("prepare select");
    if (sqlite3_prepare_v2(FDb, "INSERT INTO hosts (device_key, id, created_at) VALUES (?1, ?2, ?3)", -1, &FInsert,
                           nullptr) != SQLITE_OK)
      Fail("prepare insert");
  } catch (...) {
    sqlite3_finalize(FSelect);
    sqlite3_finalize(FInsert);
    sqlite3_close(FDb);
    throw;
  }
}

TIdStore::~TIdStore() {
  sqlite3_finalize(FSelect);
  sqlite3_finalize(FInsert);
  sqlite3_close(FDb);
}

void TIdStore::Exec(const char* ASql) {
  char* err = nullptr;
  if (sqlite3_exec(FDb, ASql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string text = err ? err : "unknown error";
    sqlite3_free(err);
    throw TError(std::string("ID database: ") + ASql + ": " + text);
  }
}

void TIdStore::Fail(const char* AWhat) const {
  throw TError(std::string("ID database: ") + AWhat + ": " + sqlite3_errmsg(FDb));
}

std::string TIdStore::IdFor(std::string_view ADeviceKey) {
  sqlite3_reset(FSelect);
  sqlite3_bind_text(FSelect, 1, ADeviceKey.data(), int(ADeviceKey.size()), SQLITE_TRANSIENT);
  int rc = sqlite3_step(FSelect);
  if (rc == SQLITE_ROW) {
    auto text = reinterpret_cast<const char*>(sqlite3_column_text(FSelect, 0));
    std::string id = text ? text : "";
    sqlite3_reset(FSelect);
    return id;
  }
  sqlite3_reset(FSelect);
  if (rc != SQLITE_DONE) Fail("lookup");

  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  // A clash with an ID already taken is rare (a few thousand hosts among 900 million IDs);
  // the UNIQUE constraint catches it and we draw again.
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::string id = RandomConnectionId();
    sqlite3_reset(FInsert);
    sqlite3_bind_text(FInsert, 1, ADeviceKey.data(), int(ADeviceKey.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(FInsert, 2, id.data(), int(id.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(FInsert, 3, now);
    rc = sqlite3_step(FInsert);
    sqlite3_reset(FInsert);
    if (rc == SQLITE_DONE) return id;
    if (rc != SQLITE_CONSTRAINT) Fail("insert");
  }
  throw TError("ID database: no free connection ID found");
}

}  // namespace tlm
