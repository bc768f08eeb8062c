// The cluster registry against a private redis-server: IDs shared by nodes, takeovers,
// presence, outages, forgetting and stopping. The registry is driven from a test-owned
// io_context thread, which stands for the relay's network thread.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "relay/ClusterRegistry.h"
#include "relay/IdStore.h"
#include "tests/support/RedisServer.h"

namespace tlm {
namespace {

using namespace std::chrono_literals;
using test::TRedisServer;

constexpr auto ResultWait = 10s;

bool IsConnectionId(const std::string& AId) {
  if (AId.size() != 9 || AId[0] < '1' || AId[0] > '9') return false;
  for (char c : AId)
    if (c < '0' || c > '9') return false;
  return true;
}

// A plain hiredis connection for looking at (and preparing) what the registry stored; it
// connects again after Redis restarted.
class TRedisClient {
public:
  explicit TRedisClient(uint16_t APort, std::string APassword = "") : FPort(APort), FPassword(std::move(APassword)) {
    Open();
  }
  ~TRedisClient() {
    if (FContext) redisFree(FContext);
  }
  TRedisClient(const TRedisClient&) = delete;
  TRedisClient& operator=(const TRedisClient&) = delete;

  bool Connected() const { return FContext && !FContext->err; }

  // The reply as text: a string or status, an integer in decimal, "(nil)", or "ERR ...".
  std::string Run(const std::vector<std::string>& AArgs) {
    redisReply* reply = Send(AArgs);
    if (!reply) return "(no connection)";
    std::string text;
    switch (reply->type) {
      case REDIS_REPLY_STRING:
      case REDIS_REPLY_STATUS: text.assign(reply->str, reply->len); break;
      case REDIS_REPLY_INTEGER: text = std::to_string(reply->integer); break;
      case REDIS_REPLY_NIL: text = "(nil)"; break;
      case REDIS_REPLY_ERROR: text = "ERR " + std::string(reply->str, reply->len); break;
      default: text = "(array)"; break;
    }
    freeReplyObject(reply);
    return text;
  }

  std::map<std::string, std::string> HashAll(const std::string& AKey) {
    std::map<std::string, std::string> all;
    redisReply* reply = Send({"HGETALL", AKey});
    if (reply && reply->type == REDIS_REPLY_ARRAY)
      for (size_t i = 0; i + 1 < reply->elements; i += 2)
        all[std::string(reply->element[i]->str, reply->element[i]->len)] =
            std::string(reply->element[i + 1]->str, reply->element[i + 1]->len);
    if (reply) freeReplyObject(reply);
    return all;
  }

  long long Subscribers(const std::string& AChannel) {
    redisReply* reply = Send({"PUBSUB", "NUMSUB", AChannel});
    long long count = -1;
    if (reply && reply->type == REDIS_REPLY_ARRAY && reply->elements == 2 &&
        reply->element[1]->type == REDIS_REPLY_INTEGER)
      count = reply->element[1]->integer;
    if (reply) freeReplyObject(reply);
    return count;
  }

  // Waits until AChannel has ACount subscribers. A connection lost to a restart counts as
  // none (-1) once and is made again by the next look.
  bool WaitForSubscribers(const std::string& AChannel, long long ACount, std::chrono::milliseconds AWait) {
    const auto deadline = std::chrono::steady_clock::now() + AWait;
    while (Subscribers(AChannel) != ACount) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Many commands in one pipeline (fixtures of thousands of entries).
  void Pipeline(const std::vector<std::vector<std::string>>& ACommands) {
    for (const auto& args : ACommands) Append(args);
    for (size_t i = 0; i < ACommands.size(); ++i) {
      void* reply = nullptr;
      if (redisGetReply(FContext, &reply) != REDIS_OK) return;
      freeReplyObject(reply);
    }
  }

private:
  void Open() {
    FContext = redisConnect("127.0.0.1", FPort);
    if (!Connected() || FPassword.empty()) return;
    if (void* reply = redisCommand(FContext, "AUTH %s", FPassword.c_str())) freeReplyObject(reply);
  }
  void Append(const std::vector<std::string>& AArgs) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const auto& arg : AArgs) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    redisAppendCommandArgv(FContext, int(argv.size()), argv.data(), lengths.data());
  }
  redisReply* Send(const std::vector<std::string>& AArgs) {
    if (!Connected()) {
      if (FContext) redisFree(FContext);
      Open();
      if (!Connected()) return nullptr;
    }
    Append(AArgs);
    void* reply = nullptr;
    if (redisGetReply(FContext, &reply) != REDIS_OK) return nullptr;
    return static_cast<redisReply*>(reply);
  }

  uint16_t FPort;
  std::string FPassword;
  redisContext* FContext = nullptr;
};

class ClusterRegistryTest : public ::testing::Test {
protected:
  // A takeover notice, with the name of the node that heard it.
  struct TTakeover {
    std::string Node, Id;
    uint64_t Token;
  };

  void SetUp() override {
    if (!TRedisServer::Available()) GTEST_SKIP() << "redis-server is not installed";
    Redis = std::make_unique<TRedisServer>();
    ASSERT_TRUE(Redis->Running()) << Redis->Error();
    Plain = std::make_unique<TRedisClient>(Redis->Port());
    ASSERT_TRUE(Plain->Connected());
    FNetwork = std::thread([this] {
      {
        std::lock_guard<std::mutex> hold(FLock);
        FNetworkId = std::this_thread::get_id();
      }
      Io.run();
    });
  }

  void TearDown() override {
    if (Redis) Redis->Resume();
    for (auto& [name, registry] : Nodes) registry->Stop();
    Nodes.clear();
    FWork.reset();
    if (FNetwork.joinable()) FNetwork.join();
  }

  static TClusterOptions Options(const std::string& AName) {
    TClusterOptions options;
    options.NodeName = AName;
    options.NodeAddress = "127.0.0.1:" + std::to_string(7000 + AName.size());
    options.Secret = "0123456789abcdef";
    options.RedisTimeout = 1000ms;
    return options;
  }

  TClusterRegistry& AddNode(TClusterOptions AOptions) {
    if (AOptions.RedisAddress.empty()) AOptions.RedisAddress = Redis->Address();
    const std::string name = AOptions.NodeName;
    auto registry = std::make_unique<TClusterRegistry>(AOptions, Io.get_executor(), [this, name](const std::string& ALine) {
      Record([&] { Logs.push_back(name + ": " + ALine); });
    });
    registry->OnTakenOver = [this, name](const std::string& AId, uint64_t AToken) {
      Record([&] { Takeovers.push_back({name, AId, AToken}); });
    };
    registry->OnRedisBack = [this, name] { Record([&] { ++RedisBack[name]; }); };
    registry->Start();
    return *(Nodes[name] = std::move(registry));
  }
  TClusterRegistry& AddNode(const std::string& AName) { return AddNode(Options(AName)); }

  // Runs AWork on the network thread (where every call to a registry comes from).
  void OnNetwork(std::function<void()> AWork) { asio::post(Io, std::move(AWork)); }

  // Makes one call on the network thread and waits for its result.
  template <class TResult>
  TResult Await(std::function<void(std::function<void(TResult)>)> ACall) {
    auto promise = std::make_shared<std::promise<TResult>>();
    auto future = promise->get_future();
    OnNetwork([this, call = std::move(ACall), promise] {
      call([this, promise](TResult AResult) {
        EXPECT_TRUE(OnNetworkThread()) << "a result was handed over on another thread";
        promise->set_value(std::move(AResult));
      });
    });
    if (future.wait_for(ResultWait) != std::future_status::ready) {
      ADD_FAILURE() << "no result within 10 s";
      return TResult{};
    }
    return future.get();
  }

  TClusterRegistration Register(TClusterRegistry& ANode, const std::string& AKey, bool AMayCreate, uint64_t AToken) {
    return Await<TClusterRegistration>([node = &ANode, AKey, AMayCreate, AToken](auto ADone) {
      node->Register(AKey, AMayCreate, AToken, ADone);
    });
  }
  TClusterLocation Locate(TClusterRegistry& ANode, const std::string& AId) {
    return Await<TClusterLocation>([node = &ANode, AId](auto ADone) { node->Locate(AId, ADone); });
  }
  size_t Forget(TClusterRegistry& ANode, int64_t ACutoff, int64_t ANow) {
    return Await<size_t>([node = &ANode, ACutoff, ANow](auto ADone) { node->ForgetUnseenSince(ACutoff, ANow, ADone); });
  }
  void Refresh(TClusterRegistry& ANode, const std::string& AId, uint64_t AToken) {
    OnNetwork([node = &ANode, AId, AToken] { node->Refresh(AId, AToken); });
  }
  // A renewal whose answer the test waits for.
  TClusterStatus Renew(TClusterRegistry& ANode, const std::string& AId, uint64_t AToken) {
    return Await<TClusterStatus>([node = &ANode, AId, AToken](auto ADone) { node->Refresh(AId, AToken, ADone); });
  }
  void Release(TClusterRegistry& ANode, const std::string& AId, uint64_t AToken) {
    OnNetwork([node = &ANode, AId, AToken] { node->Release(AId, AToken); });
  }

  // Waits (up to AWait) until APredicate, read under the lock of the recorded events, holds.
  bool WaitUntil(const std::function<bool()>& APredicate, std::chrono::milliseconds AWait = ResultWait) {
    std::unique_lock<std::mutex> hold(FLock);
    return FChanged.wait_for(hold, AWait, APredicate);
  }
  template <class TRead>
  auto Read(TRead ARead) {
    std::lock_guard<std::mutex> hold(FLock);
    return ARead();
  }
  size_t LogCount(const std::string& ALine) {
    return Read([&] { return size_t(std::count(Logs.begin(), Logs.end(), ALine)); });
  }
  size_t LogCountStartingWith(const std::string& APrefix) {
    return Read([&] {
      return size_t(std::count_if(Logs.begin(), Logs.end(), [&](const std::string& ALine) { return ALine.rfind(APrefix, 0) == 0; }));
    });
  }
  std::unique_ptr<TRedisServer> Redis;
  std::unique_ptr<TRedisClient> Plain;
  asio::io_context Io;
  std::map<std::string, std::unique_ptr<TClusterRegistry>> Nodes;
  // What the nodes reported (log lines are tagged with the node's name), recorded on the
  // network thread and read by the test under FLock.
  std::vector<std::string> Logs;
  std::vector<TTakeover> Takeovers;
  std::map<std::string, int> RedisBack;

  bool OnNetworkThread() {
    std::lock_guard<std::mutex> hold(FLock);
    return std::this_thread::get_id() == FNetworkId;
  }
  void Record(const std::function<void()>& AChange) {
    EXPECT_TRUE(OnNetworkThread()) << "an event was handed over on another thread";
    {
      std::lock_guard<std::mutex> hold(FLock);
      AChange();
    }
    FChanged.notify_all();
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::thread::id FNetworkId;
  asio::executor_work_guard<asio::io_context::executor_type> FWork{Io.get_executor()};
  std::thread FNetwork;
};

TEST_F(ClusterRegistryTest, ADeviceKeyHasOneIdOnEveryNode) {
  auto& one = AddNode("one");
  auto& two = AddNode("two");

  const TClusterRegistration first = Register(one, "key-A", true, 1);
  ASSERT_EQ(first.Status, TClusterStatus::Ok) << first.Error;
  EXPECT_TRUE(first.Created);
  EXPECT_TRUE(IsConnectionId(first.Id)) << first.Id;

  const TClusterRegistration again = Register(two, "key-A", true, 2);
  ASSERT_EQ(again.Status, TClusterStatus::Ok) << again.Error;
  EXPECT_FALSE(again.Created);
  EXPECT_EQ(again.Id, first.Id);

  // Device keys are arbitrary bytes (apart from control characters): nothing may be quoted or cut.
  const std::string odd = "k\xff\"' %s\x7f \xc3\xa9 *1\r";
  const TClusterRegistration oddFirst = Register(one, odd, true, 3);
  ASSERT_EQ(oddFirst.Status, TClusterStatus::Ok) << oddFirst.Error;
  EXPECT_TRUE(oddFirst.Created);
  EXPECT_NE(oddFirst.Id, first.Id);
  const TClusterRegistration oddAgain = Register(two, odd, false, 4);
  ASSERT_EQ(oddAgain.Status, TClusterStatus::Ok) << oddAgain.Error;
  EXPECT_EQ(oddAgain.Id, oddFirst.Id);
  EXPECT_EQ(Plain->Run({"HGET", "tlm:id-of", odd}), oddFirst.Id);
  EXPECT_EQ(Plain->Run({"HGET", "tlm:key-of", oddFirst.Id}), odd);

  // A key not known may not be given an ID when the caller says so; nothing is stored.
  const TClusterRegistration refused = Register(one, "unknown-key", false, 5);
  EXPECT_EQ(refused.Status, TClusterStatus::Refused);
  EXPECT_TRUE(refused.Id.empty());
  EXPECT_EQ(Plain->Run({"HEXISTS", "tlm:id-of", "unknown-key"}), "0");
  EXPECT_EQ(Plain->Run({"HLEN", "tlm:key-of"}), "2");
  EXPECT_EQ(Plain->Run({"ZCARD", "tlm:seen"}), "2");
}

TEST_F(ClusterRegistryTest, NodesRegisteringAtOnceNeverShareAnId) {
  const std::vector<std::string> names{"one", "two", "three"};
  for (const auto& name : names) AddNode(name);
  constexpr int Shared = 300, Own = 300;
  // Every node asks for the shared keys and its own keys, all in one go, so their calls
  // interleave in Redis.
  struct TOutcome {
    std::string Node, Key;
    TClusterRegistration Result;
  };
  auto outcomes = std::make_shared<std::vector<TOutcome>>();
  auto all = std::make_shared<std::promise<void>>();
  const size_t expected = names.size() * (Shared + Own);
  OnNetwork([&, outcomes, all] {
    uint64_t token = 0;
    for (int i = 0; i < std::max(Shared, Own); ++i)
      for (const auto& name : names) {
        std::vector<std::string> keys;
        if (i < Shared) keys.push_back("shared-" + std::to_string(i));
        if (i < Own) keys.push_back(name + "-" + std::to_string(i));
        for (const auto& key : keys)
          Nodes[name]->Register(key, true, ++token, [=](TClusterRegistration AResult) {
            outcomes->push_back({name, key, std::move(AResult)});
            if (outcomes->size() == expected) all->set_value();
          });
      }
  });
  ASSERT_EQ(all->get_future().wait_for(30s), std::future_status::ready);

  std::map<std::string, std::set<std::string>> idsOfKey;
  std::map<std::string, int> created;
  for (const auto& outcome : *outcomes) {
    ASSERT_EQ(outcome.Result.Status, TClusterStatus::Ok) << outcome.Key << ": " << outcome.Result.Error;
    idsOfKey[outcome.Key].insert(outcome.Result.Id);
    created[outcome.Key] += outcome.Result.Created ? 1 : 0;
  }
  const size_t keys = Shared + names.size() * Own;
  ASSERT_EQ(idsOfKey.size(), keys);
  std::set<std::string> ids;
  for (const auto& [key, its] : idsOfKey) {
    EXPECT_EQ(its.size(), 1u) << key << " got several IDs";
    EXPECT_EQ(created[key], 1) << key << " was created " << created[key] << " times";
    ids.insert(*its.begin());
  }
  EXPECT_EQ(ids.size(), keys) << "some keys share an ID";

  // What Redis holds agrees in both directions.
  const auto idOf = Plain->HashAll("tlm:id-of");
  const auto keyOf = Plain->HashAll("tlm:key-of");
  EXPECT_EQ(idOf.size(), keys);
  EXPECT_EQ(keyOf.size(), keys);
  for (const auto& [key, id] : idOf) {
    EXPECT_TRUE(IsConnectionId(id)) << id;
    EXPECT_EQ(*idsOfKey[key].begin(), id);
    const auto back = keyOf.find(id);
    ASSERT_NE(back, keyOf.end()) << id;
    EXPECT_EQ(back->second, key);
  }
}

TEST_F(ClusterRegistryTest, ARegistrationOnAnotherNodeTakesTheHostOver) {
  auto& one = AddNode("one");
  auto& two = AddNode("two");
  const TClusterRegistration first = Register(one, "roaming-host", true, 11);
  ASSERT_EQ(first.Status, TClusterStatus::Ok) << first.Error;
  const std::string id = first.Id;
  // Node one subscribes on a thread of its own: the takeover must not come before it listens.
  ASSERT_TRUE(Plain->WaitForSubscribers("tlm:takeover:one", 1, ResultWait));

  ASSERT_EQ(Register(two, "roaming-host", true, 22).Status, TClusterStatus::Ok);
  ASSERT_TRUE(WaitUntil([&] { return Takeovers.size() >= 1; })) << "node one heard nothing";
  Read([&] {
    EXPECT_EQ(Takeovers[0].Node, "one");
    EXPECT_EQ(Takeovers[0].Id, id);
    EXPECT_EQ(Takeovers[0].Token, 11u);
    return 0;
  });
  EXPECT_EQ(Locate(one, id).Node, "two");

  // Node one's host goes late: that must not remove node two's presence.
  Release(one, id, 11);
  EXPECT_EQ(Locate(one, id).Node, "two");
  // A renewal of the replaced registration is refused and answered with another takeover.
  EXPECT_EQ(Renew(one, id, 11), TClusterStatus::Refused);
  ASSERT_TRUE(WaitUntil([&] { return Takeovers.size() >= 2; }));
  EXPECT_EQ(Locate(two, id).Node, "two");

  // The same node registering the host again replaces its own older registration without a
  // notice through Redis (it knows); that older one's keep-alive then learns of it.
  ASSERT_EQ(Register(two, "roaming-host", true, 23).Status, TClusterStatus::Ok);
  Refresh(two, id, 22);
  ASSERT_TRUE(WaitUntil([&] { return Takeovers.size() >= 3; }));
  Read([&] {
    EXPECT_EQ(Takeovers[1].Node, "one");
    EXPECT_EQ(Takeovers[1].Token, 11u);
    EXPECT_EQ(Takeovers[2].Node, "two");
    EXPECT_EQ(Takeovers[2].Token, 22u);
    return 0;
  });
  EXPECT_EQ(Plain->Run({"GET", "tlm:at:" + id}), "two\t23");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Read([&] { return Takeovers.size(); }), 3u) << "a notice came twice or to the wrong node";
}

TEST_F(ClusterRegistryTest, LocateFindsTheHolderWhileItIsThere) {
  TClusterOptions shortLived = Options("one");
  shortLived.PresenceTtl = 400ms;
  auto& one = AddNode(shortLived);
  auto& two = AddNode("two");

  const TClusterRegistration host = Register(one, "host-key", true, 1);
  ASSERT_EQ(host.Status, TClusterStatus::Ok) << host.Error;
  TClusterLocation where = Locate(two, host.Id);
  EXPECT_EQ(where.Status, TClusterStatus::Ok);
  EXPECT_EQ(where.Node, "one");
  EXPECT_EQ(where.Address, shortLived.NodeAddress);

  // Gone when the host leaves.
  Release(one, host.Id, 1);
  where = Locate(one, host.Id);
  EXPECT_EQ(where.Status, TClusterStatus::Ok);
  EXPECT_EQ(where.Node, "");
  EXPECT_EQ(where.Address, "");

  // Keep-alives keep it for many times its time-to-live; without them it runs out; the next
  // keep-alive sets it again.
  ASSERT_EQ(Register(one, "host-key", true, 2).Status, TClusterStatus::Ok);
  for (int i = 0; i < 12; ++i) {
    Refresh(one, host.Id, 2);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(Locate(two, host.Id).Node, "one");
  std::this_thread::sleep_for(1000ms);
  EXPECT_EQ(Locate(two, host.Id).Node, "") << "the presence outlived its time-to-live";
  EXPECT_EQ(Renew(one, host.Id, 2), TClusterStatus::Ok);
  EXPECT_EQ(Locate(one, host.Id).Node, "one");

  EXPECT_EQ(Locate(two, "999999999").Node, "");

  // A node that stops gracefully holds nothing any more, even what it did not release.
  Nodes["one"]->Stop();
  where = Locate(two, host.Id);
  EXPECT_EQ(where.Status, TClusterStatus::Ok);
  EXPECT_EQ(where.Node, "");
}

TEST_F(ClusterRegistryTest, AnOutageEndsCallsAtOnceAndIsLoggedOnce) {
  TClusterOptions quick = Options("one");
  quick.RedisTimeout = 500ms;
  auto& one = AddNode(quick);
  const TClusterRegistration before = Register(one, "old-key", true, 1);
  ASSERT_EQ(before.Status, TClusterStatus::Ok) << before.Error;
  EXPECT_TRUE(one.Available());

  Redis->Stop();
  const TClusterRegistration during = Register(one, "new-key", true, 2);
  EXPECT_EQ(during.Status, TClusterStatus::Unavailable);
  EXPECT_NE(during.Error.find("redis unavailable"), std::string::npos) << during.Error;
  EXPECT_FALSE(one.Available());
  EXPECT_EQ(Register(one, "old-key", true, 3).Status, TClusterStatus::Unavailable);
  EXPECT_EQ(Locate(one, before.Id).Status, TClusterStatus::Unavailable);
  EXPECT_EQ(Forget(one, 0, 1), 0u);
  EXPECT_EQ(Renew(one, before.Id, 1), TClusterStatus::Unavailable);  // not kept for later
  // Several attempts to reconnect fail meanwhile; the log tells of the outage once.
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(LogCountStartingWith("one: redis unavailable: "), 1u);
  EXPECT_EQ(LogCount("one: redis available again"), 0u);

  // The restarted Redis has its data but not the scripts.
  ASSERT_TRUE(Redis->Start()) << Redis->Error();
  ASSERT_TRUE(WaitUntil([&] { return RedisBack["one"] == 1; })) << "no OnRedisBack";
  EXPECT_TRUE(WaitUntil([&] { return std::count(Logs.begin(), Logs.end(), "one: redis available again") == 1; }));
  EXPECT_TRUE(one.Available());
  const TClusterRegistration after = Register(one, "old-key", false, 4);
  ASSERT_EQ(after.Status, TClusterStatus::Ok) << after.Error;
  EXPECT_EQ(after.Id, before.Id);
  const TClusterRegistration fresh = Register(one, "new-key", true, 5);
  ASSERT_EQ(fresh.Status, TClusterStatus::Ok) << fresh.Error;
  EXPECT_TRUE(fresh.Created);
  EXPECT_EQ(LogCountStartingWith("one: redis unavailable: "), 1u);
  // Takeover notices are heard again too.
  EXPECT_TRUE(Plain->WaitForSubscribers("tlm:takeover:one", 1, ResultWait)) << "the subscription was not made again";
}

// A Redis whose ACL keeps node one off its takeover channel: the refusal is logged once, not at
// every retry, and once the ACL lets it listen the node subscribes by itself.
TEST_F(ClusterRegistryTest, ARefusedSubscriptionIsLoggedOnceAndMadeAgainWhenAllowed) {
  ASSERT_EQ(Plain->Run({"ACL", "SETUSER", "default", "resetchannels", "&tlm:takeover:two"}), "OK");
  auto& one = AddNode(Options("one"));
  const std::string refused = "one: redis refused SUBSCRIBE tlm:takeover:one: ";
  ASSERT_TRUE(WaitUntil([&] {
    return std::any_of(Logs.begin(), Logs.end(), [&](const std::string& ALine) { return ALine.starts_with(refused); });
  })) << "the refusal was not logged";
  // The registry itself still works, and a few retries later the refusal has not been said again.
  EXPECT_EQ(Register(one, "key", true, 1).Status, TClusterStatus::Ok);
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(LogCountStartingWith(refused), 1u);

  ASSERT_EQ(Plain->Run({"ACL", "SETUSER", "default", "allchannels"}), "OK");
  EXPECT_TRUE(Plain->WaitForSubscribers("tlm:takeover:one", 1, ResultWait));
}

TEST_F(ClusterRegistryTest, APasswordProtectedRedisNeedsThePassword) {
  TRedisServer guarded("s3cret-pw");
  ASSERT_TRUE(guarded.Running()) << guarded.Error();
  TRedisClient plain(guarded.Port(), "s3cret-pw");
  auto node = [&](const std::string& AName, const std::string& APassword) -> TClusterRegistry& {
    TClusterOptions options = Options(AName);
    options.RedisAddress = guarded.Address();
    options.RedisPassword = APassword;
    return AddNode(options);
  };
  auto& one = node("one", "s3cret-pw");
  auto& two = node("two", "s3cret-pw");
  auto& wrong = node("wrong", "guess");

  const TClusterRegistration first = Register(one, "key", true, 1);
  ASSERT_EQ(first.Status, TClusterStatus::Ok) << first.Error;
  EXPECT_EQ(plain.Run({"HGET", "tlm:id-of", "key"}), first.Id);
  // The subscription authenticates too: node one hears of the takeover.
  ASSERT_TRUE(plain.WaitForSubscribers("tlm:takeover:one", 1, ResultWait));
  ASSERT_EQ(Register(two, "key", true, 2).Status, TClusterStatus::Ok);
  EXPECT_TRUE(WaitUntil([&] { return Takeovers.size() == 1; }));

  const TClusterRegistration refused = Register(wrong, "key", true, 3);
  EXPECT_EQ(refused.Status, TClusterStatus::Unavailable);
  EXPECT_NE(refused.Error.find("AUTH"), std::string::npos) << refused.Error;
  EXPECT_EQ(LogCountStartingWith("wrong: redis unavailable: AUTH"), 1u);
  for (auto& [name, registry] : Nodes) registry->Stop();
}

TEST_F(ClusterRegistryTest, ScriptsFlushedFromRedisAreLoadedAgain) {
  auto& one = AddNode("one");
  const TClusterRegistration first = Register(one, "key", true, 1);
  ASSERT_EQ(first.Status, TClusterStatus::Ok) << first.Error;
  ASSERT_EQ(Plain->Run({"SCRIPT", "FLUSH"}), "OK");
  const TClusterRegistration again = Register(one, "key", false, 2);
  ASSERT_EQ(again.Status, TClusterStatus::Ok) << again.Error;
  EXPECT_EQ(again.Id, first.Id);
  EXPECT_EQ(Locate(one, first.Id).Node, "one");
  EXPECT_EQ(LogCountStartingWith("one: redis unavailable"), 0u);
}

TEST_F(ClusterRegistryTest, ForgettingRemovesUnseenIdsAndKeepsHeldOnes) {
  auto& one = AddNode("one");
  const std::string held = Register(one, "held", true, 1).Id;
  const std::string left = Register(one, "left", true, 2).Id;
  const std::string recent = Register(one, "recent", true, 3).Id;
  ASSERT_FALSE(held.empty());
  ASSERT_FALSE(left.empty());
  ASSERT_FALSE(recent.empty());
  Release(one, left, 2);

  // More stale IDs than one batch looks at, and the held and left ones seen long ago.
  constexpr int Stale = 2500;
  std::vector<std::vector<std::string>> fixture;
  for (int i = 0; i < Stale; ++i) {
    const std::string id = std::to_string(200000000 + i), key = "stale-" + std::to_string(i);
    fixture.push_back({"HSET", "tlm:id-of", key, id});
    fixture.push_back({"HSET", "tlm:key-of", id, key});
    fixture.push_back({"ZADD", "tlm:seen", "1000", id});
  }
  fixture.push_back({"ZADD", "tlm:seen", "1000", held});
  fixture.push_back({"ZADD", "tlm:seen", "1000", left});
  Plain->Pipeline(fixture);

  const int64_t now = TIdStore::NowUnix();
  EXPECT_EQ(Forget(one, now - 60, now), size_t(Stale + 1));

  const auto idOf = Plain->HashAll("tlm:id-of");
  const auto keyOf = Plain->HashAll("tlm:key-of");
  EXPECT_EQ(idOf, (std::map<std::string, std::string>{{"held", held}, {"recent", recent}}));
  EXPECT_EQ(keyOf, (std::map<std::string, std::string>{{held, "held"}, {recent, "recent"}}));
  EXPECT_EQ(Plain->Run({"ZCARD", "tlm:seen"}), "2");
  EXPECT_EQ(Plain->Run({"ZSCORE", "tlm:seen", held}), std::to_string(now));
  EXPECT_EQ(Forget(one, now - 60, now), 0u);
}

TEST_F(ClusterRegistryTest, StopIsPromptWhileRedisHangs) {
  auto& one = AddNode("one");
  ASSERT_EQ(Register(one, "key", true, 1).Status, TClusterStatus::Ok);
  Redis->Pause();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  OnNetwork([&one, answered] { one.Register("other", true, 2, [answered](TClusterRegistration) { *answered = true; }); });
  std::this_thread::sleep_for(100ms);
  const auto started = std::chrono::steady_clock::now();
  Nodes["one"]->Stop();
  // A sanity bound, far above the registry's one-second Redis time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  // What ends after Stop is not handed over any more.
  std::promise<void> drained;
  OnNetwork([&drained] { drained.set_value(); });
  ASSERT_EQ(drained.get_future().wait_for(ResultWait), std::future_status::ready);
  EXPECT_FALSE(*answered);
}

TEST_F(ClusterRegistryTest, ReleasesAskedJustBeforeStopStillHappen) {
  auto& one = AddNode("one");
  const TClusterRegistration host = Register(one, "key", true, 1);
  ASSERT_EQ(host.Status, TClusterStatus::Ok);
  ASSERT_EQ(Plain->Run({"GET", "tlm:at:" + host.Id}), "one\t1");
  ASSERT_EQ(Plain->Run({"EXISTS", "tlm:node:one"}), "1");

  std::promise<void> stopped;
  OnNetwork([&] {
    one.Release(host.Id, 1);
    one.Stop();
    stopped.set_value();
  });
  ASSERT_EQ(stopped.get_future().wait_for(ResultWait), std::future_status::ready);
  EXPECT_EQ(Plain->Run({"GET", "tlm:at:" + host.Id}), "(nil)");
  EXPECT_EQ(Plain->Run({"EXISTS", "tlm:node:one"}), "0");
}

TEST_F(ClusterRegistryTest, CallsWaitingForASlowRedisAreBounded) {
  TClusterOptions patient = Options("one");
  patient.RedisTimeout = 8000ms;
  auto& one = AddNode(patient);
  const TClusterRegistration host = Register(one, "key", true, 1);
  ASSERT_EQ(host.Status, TClusterStatus::Ok);

  // The worker sends one call to the paused Redis and waits; everything after it queues.
  Redis->Pause();
  struct TCount {
    size_t Ok = 0, Overloaded = 0, Other = 0;
  };
  auto counts = std::make_shared<TCount>();
  auto done = [this, counts](TClusterLocation AResult) {
    Record([&] {
      if (AResult.Status == TClusterStatus::Ok && AResult.Node == "one") ++counts->Ok;
      else if (AResult.Error.find("overloaded") != std::string::npos) ++counts->Overloaded;
      else ++counts->Other;
    });
  };
  OnNetwork([&one, id = host.Id, done] { one.Locate(id, done); });
  std::this_thread::sleep_for(200ms);
  constexpr size_t Extra = 10;
  OnNetwork([&one, id = host.Id, done] {
    for (size_t i = 0; i < TClusterRegistry::MaxWaitingCalls + Extra; ++i) one.Locate(id, done);
  });
  EXPECT_TRUE(WaitUntil([&] { return counts->Overloaded == Extra; }, 5000ms));
  Redis->Resume();
  const size_t total = TClusterRegistry::MaxWaitingCalls + Extra + 1;
  ASSERT_TRUE(WaitUntil([&] { return counts->Ok + counts->Overloaded + counts->Other == total; }, 120s));
  Read([&] {
    EXPECT_EQ(counts->Overloaded, Extra);
    EXPECT_EQ(counts->Ok, total - Extra);
    return 0;
  });
}

}  // namespace
}  // namespace tlm
