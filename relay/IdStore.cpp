#include "relay/IdStore.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "protocol/Error.h"

namespace tlm {

namespace {

// A key seen again is written back at most this often, so that a host reconnecting many
// times a day costs no write each time.
constexpr int64_t TouchGranularity = 24 * 3600;
// Writes grouped into one transaction at most.
constexpr size_t MaxUncommitted = 512;

std::string ColumnText(sqlite3_stmt* AStmt, int AColumn) {
  auto text = reinterpret_cast<const char*>(sqlite3_column_text(AStmt, AColumn));
  return text ? std::string(text, size_t(sqlite3_column_bytes(AStmt, AColumn))) : std::string();
}

// Resets a statement when the scope ends, whatever way it ends.
struct TResetOnExit {
  sqlite3_stmt* Stmt;
  ~TResetOnExit() { sqlite3_reset(Stmt); }
};

}  // namespace

std::string RandomConnectionId() {
  // std::random_device reads the kernel's random source: IDs are neither sequential nor
  // predictable from earlier ones.
  static thread_local std::random_device source;
  std::uniform_int_distribution<uint32_t> pick(100000000u, 999999999u);
  return std::to_string(pick(source));
}

int64_t TIdStore::NowUnix() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
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
    // Files made before keys could be forgotten lack last_seen.
    bool hasLastSeen = false;
    {
      sqlite3_stmt* info = Prepare("SELECT 1 FROM pragma_table_info('hosts') WHERE name = 'last_seen'");
      hasLastSeen = sqlite3_step(info) == SQLITE_ROW;
      sqlite3_finalize(info);
    }
    if (!hasLastSeen) {
      Exec("ALTER TABLE hosts ADD COLUMN last_seen INTEGER NOT NULL DEFAULT 0");
      Exec("UPDATE hosts SET last_seen = created_at");
    }
    Exec("CREATE INDEX IF NOT EXISTS hosts_last_seen ON hosts (last_seen)");
    FSelect = Prepare("SELECT id, last_seen FROM hosts WHERE device_key = ?1");
    FInsert = Prepare("INSERT INTO hosts (device_key, id, created_at, last_seen) VALUES (?1, ?2, ?3, ?3)");
    FTouch = Prepare("UPDATE hosts SET last_seen = ?2 WHERE device_key = ?1");
  } catch (...) {
    sqlite3_finalize(FSelect);
    sqlite3_finalize(FInsert);
    sqlite3_finalize(FTouch);
    sqlite3_close(FDb);
    throw;
  }
}

TIdStore::~TIdStore() {
  try {
    Commit();
  } catch (const TError&) {
    // Nothing to tell anyone at this point; SQLite rolls the open transaction back.
  }
  sqlite3_finalize(FSelect);
  sqlite3_finalize(FInsert);
  sqlite3_finalize(FTouch);
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

sqlite3_stmt* TIdStore::Prepare(const char* ASql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(FDb, ASql, -1, &stmt, nullptr) != SQLITE_OK) Fail("prepare");
  return stmt;
}

void TIdStore::Fail(const char* AWhat) const {
  throw TError(std::string("ID database: ") + AWhat + ": " + sqlite3_errmsg(FDb));
}

void TIdStore::BeforeWrite() {
  if (FInTransaction && FUncommitted >= MaxUncommitted) Commit();
  if (!FInTransaction) {
    Exec("BEGIN");
    FInTransaction = true;
  }
  ++FUncommitted;
}

void TIdStore::Commit() {
  if (!FInTransaction) return;
  FInTransaction = false;
  FUncommitted = 0;
  try {
    Exec("COMMIT");
  } catch (const TError&) {
    // Leave no transaction half open behind a failed commit.
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TIdStore::Touch(std::string_view ADeviceKey, int64_t ANow) {
  BeforeWrite();
  TResetOnExit reset{FTouch};
  sqlite3_bind_text(FTouch, 1, ADeviceKey.data(), int(ADeviceKey.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(FTouch, 2, ANow);
  if (sqlite3_step(FTouch) != SQLITE_DONE) Fail("update last seen");
}

std::optional<std::string> TIdStore::Find(std::string_view ADeviceKey, int64_t ANow) {
  std::string id;
  int64_t lastSeen = 0;
  {
    TResetOnExit reset{FSelect};
    sqlite3_bind_text(FSelect, 1, ADeviceKey.data(), int(ADeviceKey.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(FSelect);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) Fail("lookup");
    id = ColumnText(FSelect, 0);
    lastSeen = sqlite3_column_int64(FSelect, 1);
  }
  if (ANow - lastSeen >= TouchGranularity) Touch(ADeviceKey, ANow);
  return id;
}

std::string TIdStore::Create(std::string_view ADeviceKey, int64_t ANow) {
  // A clash with an ID already taken is rare (a few thousand hosts among 900 million IDs);
  // the UNIQUE constraint catches it and we draw again.
  BeforeWrite();
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::string id = RandomConnectionId();
    TResetOnExit reset{FInsert};
    sqlite3_bind_text(FInsert, 1, ADeviceKey.data(), int(ADeviceKey.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(FInsert, 2, id.data(), int(id.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(FInsert, 3, ANow);
    const int rc = sqlite3_step(FInsert);
    if (rc == SQLITE_DONE) return id;
    if (rc != SQLITE_CONSTRAINT) Fail("insert");
  }
  throw TError("ID database: no free connection ID found");
}

std::string TIdStore::IdFor(std::string_view ADeviceKey, int64_t ANow) {
  if (auto id = Find(ADeviceKey, ANow)) return *id;
  return Create(ADeviceKey, ANow);
}

size_t TIdStore::ForgetUnseenSince(int64_t ACutoff, int64_t ANow,
                                   const std::function<bool(const std::string&)>& AOnline, size_t AMaxKeys,
                                   bool* AMore) {
  if (AMore) *AMore = false;
  struct TRow {
    std::string Key, Id;
  };
  std::vector<TRow> stale;
  {
    // The oldest first; a negative limit is none.
    sqlite3_stmt* select =
        Prepare("SELECT device_key, id FROM hosts WHERE last_seen < ?1 ORDER BY last_seen LIMIT ?2");
    sqlite3_bind_int64(select, 1, ACutoff);
    sqlite3_bind_int64(select, 2, AMaxKeys > size_t(INT64_MAX) ? -1 : int64_t(AMaxKeys));
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) stale.push_back({ColumnText(select, 0), ColumnText(select, 1)});
    sqlite3_finalize(select);
    if (rc != SQLITE_DONE) Fail("select stale keys");
  }
  if (stale.empty()) return 0;
  if (AMore) *AMore = stale.size() == AMaxKeys;
  sqlite3_stmt* remove = Prepare("DELETE FROM hosts WHERE device_key = ?1");
  size_t removed = 0;
  try {
    Commit();
    Exec("BEGIN");
    FInTransaction = true;
    for (const TRow& row : stale) {
      if (AOnline(row.Id)) {
        Touch(row.Key, ANow);
        continue;
      }
      TResetOnExit reset{remove};
      sqlite3_bind_text(remove, 1, row.Key.data(), int(row.Key.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(remove) != SQLITE_DONE) Fail("delete stale key");
      ++removed;
    }
    Commit();
  } catch (...) {
    FInTransaction = false;
    FUncommitted = 0;
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_finalize(remove);
    throw;
  }
  sqlite3_finalize(remove);
  return removed;
}

}  // namespace tlm
