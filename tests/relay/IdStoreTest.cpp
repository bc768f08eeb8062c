#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <set>
#include <thread>

#include "protocol/Error.h"
#include "relay/IdStore.h"
#include "tests/relay/RelayFixture.h"

namespace tlm::test {
namespace {

bool WellFormedId(const std::string& AId) {
  return AId.size() == 9 && AId[0] >= '1' && AId[0] <= '9' &&
         AId.find_first_not_of("0123456789") == std::string::npos;
}

class TempDb {
public:
  TempDb() {
    FPath = std::filesystem::temp_directory_path() /
            ("tlmrelay-test-" + std::to_string(::getpid()) + "-" + std::to_string(FCounter++) + ".db");
    Remove();
  }
  ~TempDb() { Remove(); }
  std::string Path() const { return FPath.string(); }

private:
  void Remove() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(FPath.string() + suffix);
  }
  static inline int FCounter = 0;
  std::filesystem::path FPath;
};

TEST(IdStore, GivesEachKeyOneWellFormedUniqueIdThatSurvivesReopening) {
  TempDb db;
  std::vector<std::string> ids;
  {
    TIdStore store(db.Path());
    std::set<std::string> distinct;
    for (int i = 0; i < 500; ++i) {
      const std::string id = store.IdFor("key-" + std::to_string(i));
      EXPECT_TRUE(WellFormedId(id)) << id;
      distinct.insert(id);
      ids.push_back(id);
    }
    EXPECT_EQ(distinct.size(), ids.size());
    EXPECT_EQ(store.IdFor("key-7"), ids[7]);
    // Not handed out in order: consecutive keys do not get consecutive IDs.
    int ascendingByOne = 0;
    for (size_t i = 1; i < ids.size(); ++i) ascendingByOne += std::stoll(ids[i]) == std::stoll(ids[i - 1]) + 1;
    EXPECT_LT(ascendingByOne, 5);
  }
  TIdStore reopened(db.Path());
  for (int i : {0, 123, 499}) EXPECT_EQ(reopened.IdFor("key-" + std::to_string(i)), ids[i]);
}

TEST(IdStore, KeysAreComparedByteForByte) {
  TIdStore store(":memory:");
  const std::string lower = store.IdFor("abc");
  EXPECT_NE(store.IdFor("ABC"), lower);
  EXPECT_NE(store.IdFor("abc "), lower);
  EXPECT_NE(store.IdFor(std::string("abc\0d", 5)), lower);
  EXPECT_EQ(store.IdFor("abc"), lower);
}

TEST(IdStore, KeysNotSeenSinceTheCutoffAreForgottenUnlessTheirHostIsOnline) {
  TIdStore store(":memory:");
  const std::string old = store.Create("old", 1000);
  const std::string online = store.Create("online", 1000);
  const std::string recent = store.Create("recent", 5000);
  const auto isOnline = [&](const std::string& AId) { return AId == online; };
  EXPECT_EQ(store.ForgetUnseenSince(2000, 6000, isOnline), 1u);
  EXPECT_FALSE(store.Find("old", 6000));
  EXPECT_EQ(store.Find("online", 6000), online);
  EXPECT_EQ(store.Find("recent", 6000), recent);
  // The online host counts as seen at the sweep: a later sweep keeps it even once it is gone.
  EXPECT_EQ(store.ForgetUnseenSince(5500, 7000, [](const std::string&) { return false; }), 1u);
  EXPECT_EQ(store.Find("online", 7000), online);
  EXPECT_FALSE(store.Find("recent", 7000));
  // A forgotten key is new again.
  EXPECT_TRUE(WellFormedId(store.IdFor("old", 8000)));
}

TEST(IdStore, ABacklogOfUnseenKeysIsForgottenInBatchesOldestFirst) {
  TIdStore store(":memory:");
  for (int i = 0; i < 5; ++i) store.Create("key-" + std::to_string(i), 1000 + i);
  const std::string online = store.Create("online", 999);
  const std::string recent = store.Create("recent", 5000);
  const auto isOnline = [&](const std::string& AId) { return AId == online; };
  // A held key is looked at like any other, and counts as seen at the sweep from then on.
  struct TBatch {
    size_t Removed;
    bool More;
  };
  const TBatch expected[] = {{1, true}, {2, true}, {2, true}, {0, false}};
  for (const TBatch& batch : expected) {
    bool more = !batch.More;
    EXPECT_EQ(store.ForgetUnseenSince(2000, 6000, isOnline, 2, &more), batch.Removed);
    EXPECT_EQ(more, batch.More);
  }
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(store.Find("key-" + std::to_string(i), 6000)) << i;
  EXPECT_EQ(store.Find("online", 6000), online);
  EXPECT_EQ(store.Find("recent", 6000), recent);
}

TEST(IdStore, FindingAKeyCountsAsSeeingIt) {
  constexpr int64_t Day = 24 * 3600;
  TIdStore store(":memory:");
  const std::string id = store.Create("k", 0);
  EXPECT_EQ(store.Find("k", 3 * Day), id);
  const auto none = [](const std::string&) { return false; };
  EXPECT_EQ(store.ForgetUnseenSince(2 * Day, 3 * Day, none), 0u);
  EXPECT_EQ(store.ForgetUnseenSince(3 * Day + 1, 4 * Day, none), 1u);
}

TEST(IdStore, FileOfTheOlderLayoutKeepsItsIdsAndCountsThemAsSeenWhenMade) {
  TempDb db;
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.Path().c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE hosts (device_key TEXT PRIMARY KEY NOT NULL, id TEXT NOT NULL UNIQUE,"
                           " created_at INTEGER NOT NULL);"
                           "INSERT INTO hosts VALUES ('a', '123456789', 1000), ('b', '987654321', 9000);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
  }
  TIdStore store(db.Path());
  EXPECT_EQ(store.Find("b", 9000), "987654321");
  EXPECT_EQ(store.ForgetUnseenSince(5000, 9000, [](const std::string&) { return false; }), 1u);
  EXPECT_FALSE(store.Find("a", 9000));
  EXPECT_EQ(store.IdFor("b"), "987654321");
}

TEST(IdStore, UnusableFileIsAnError) {
  EXPECT_THROW(TIdStore store("/nonexistent-folder/sub/ids.db"), TError);
}

class RelayRegistration : public TRelayFixture {};

TEST_F(RelayRegistration, SameKeyGetsSameIdOnReconnectAndAfterRestart) {
  TempDb db;
  auto options = TestOptions();
  options.DbPath = db.Path();
  StartRelay(options);
  std::string first, other;
  {
    auto host = Peer();
    first = host->Register("host-a");
    EXPECT_TRUE(WellFormedId(first)) << first;
  }
  {
    auto again = Peer();
    EXPECT_EQ(again->Register("host-a"), first);
    auto second = Peer();
    other = second->Register("host-b");
    EXPECT_TRUE(WellFormedId(other));
    EXPECT_NE(other, first);
  }
  FRelay->Stop();
  FRelay.reset();

  StartRelay(options);
  auto host = Peer();
  EXPECT_EQ(host->Register("host-a"), first);
  auto second = Peer();
  EXPECT_EQ(second->Register("host-b"), other);
}

// A host that was connected when the relay stopped, and was last written as seen long ago,
// comes back within seconds after the restart: the relay must not forget its ID first.
TEST_F(RelayRegistration, RestartedRelayLetsItsHostsComeBackBeforeItForgetsAnyId) {
  TempDb db;
  std::string id;
  {
    TIdStore store(db.Path());
    id = store.Create("long-connected", TIdStore::NowUnix() - 3 * 24 * 3600);
  }
  auto options = TestOptions();
  options.DbPath = db.Path();
  options.ForgetAfter = std::chrono::hours(48);
  StartRelay(options);
  // The sweep runs at least once a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(Peer()->Register("long-connected"), id);
  EXPECT_EQ(FRelay->Stats().IdsForgotten, 0u);
}

TEST_F(RelayRegistration, StoppingTheRelayClosesItsConnections) {
  StartRelay();
  auto host = Peer();
  host->Register("k");
  auto idle = Peer();
  FRelay->Stop();
  EXPECT_TRUE(host->WaitClosed());
  EXPECT_TRUE(idle->WaitClosed());
}

TEST_F(RelayRegistration, SecondRegistrationOfAConnectedKeyReplacesTheOlderConnection) {
  StartRelay();
  auto older = Peer();
  const std::string id = older->Register("same-key");
  auto newer = Peer();
  EXPECT_EQ(newer->Register("same-key"), id);
  EXPECT_TRUE(older->WaitClosed());

  // Requests now reach the newer connection.
  auto viewer = Peer();
  viewer->RequestConnect(id, "v");
  EXPECT_EQ(newer->ExpectText(MsgAdmitRequest), "127.0.0.1\tv\t");
}

TEST_F(RelayRegistration, RepeatedRegistrationOnOneConnectionKeepsItsId) {
  StartRelay();
  auto host = Peer();
  const std::string id = host->Register("key-1");
  EXPECT_EQ(host->Register("key-1"), id);
  // Another key on a registered connection is ignored; the connection keeps its ID.
  host->SendText(MsgHostRegister, "key-2");
  EXPECT_TRUE(host->QuietFor(300));
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
}

TEST_F(RelayRegistration, UnusableDeviceKeysCloseTheConnection) {
  StartRelay();
  const std::string cases[] = {"", "key\twith tab", "line\r\nbreak", std::string(257, 'k')};
  for (const auto& key : cases) {
    SCOPED_TRACE("key of " + std::to_string(key.size()) + " bytes");
    auto host = Peer();
    host->SendText(MsgHostRegister, key);
    EXPECT_TRUE(host->WaitClosed());
  }
  // The longest acceptable key still registers.
  auto host = Peer();
  EXPECT_TRUE(WellFormedId(host->Register(std::string(256, 'k'))));
}

}  // namespace
}  // namespace tlm::test
