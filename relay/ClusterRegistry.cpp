#include "relay/ClusterRegistry.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <asio/post.hpp>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/Error.h"
#include "relay/IdStore.h"

namespace tlm {

namespace {

using TClock = std::chrono::steady_clock;

// Every script reads and writes only keys named after its arguments; each runs atomically, so
// two nodes racing for the same device key or the same fresh ID cannot both win.

// ARGV: device key, may create ("1"/"0"), node, token, presence ttl (ms), now (Unix s),
// candidate IDs... Returns {1, id, created}, {0} (unknown key, may not create) or {2} (every
// candidate taken).
constexpr const char* RegisterScript = R"lua(
local key, node, token = ARGV[1], ARGV[3], ARGV[4]
local id = redis.call('HGET', 'tlm:id-of', key)
local created = 0
if not id then
  if ARGV[2] ~= '1' then return {0} end
  for i = 7, #ARGV do
    if redis.call('HSETNX', 'tlm:key-of', ARGV[i], key) == 1 then
      id = ARGV[i]
      break
    end
  end
  if not id then return {2} end
  redis.call('HSET', 'tlm:id-of', key, id)
  created = 1
end
redis.call('ZADD', 'tlm:seen', ARGV[6], id)
local at = 'tlm:at:' .. id
local mine = node .. '\t' .. token
local old = redis.call('GET', at)
redis.call('SET', at, mine, 'PX', ARGV[5])
if old and old ~= mine then
  local oldNode, oldToken = string.match(old, '^(.*)\t(%d+)$')
  if oldNode and oldNode ~= node then
    redis.call('PUBLISH', 'tlm:takeover:' .. oldNode, id .. '\t' .. oldToken)
  end
end
return {1, id, created}
)lua";

// ARGV: id, node, token, presence ttl (ms). Returns 1 (ours: renewed or set again) or 0
// (another registration holds the ID).
constexpr const char* RefreshScript = R"lua(
local at = 'tlm:at:' .. ARGV[1]
local mine = ARGV[2] .. '\t' .. ARGV[3]
local cur = redis.call('GET', at)
if cur and cur ~= mine then return 0 end
redis.call('SET', at, mine, 'PX', ARGV[4])
return 1
)lua";

// ARGV: id, node, token. Returns 1 when the presence was ours and is gone.
constexpr const char* ReleaseScript = R"lua(
local at = 'tlm:at:' .. ARGV[1]
if redis.call('GET', at) == ARGV[2] .. '\t' .. ARGV[3] then
  redis.call('DEL', at)
  return 1
end
return 0
)lua";

// ARGV: id. Returns {node, address}, or {} when no living node holds it.
constexpr const char* LocateScript = R"lua(
local cur = redis.call('GET', 'tlm:at:' .. ARGV[1])
if not cur then return {} end
local node = string.match(cur, '^(.*)\t%d+$')
if not node then return {} end
local address = redis.call('GET', 'tlm:node:' .. node)
if not address then return {} end
return {node, address}
)lua";

// ARGV: cutoff, now (Unix s), batch size. Looks at up to one batch of IDs last seen before the
// cutoff: held ones count as seen now, the others go in both directions. Returns {removed,
// looked at}; a full batch means there may be more.
constexpr const char* ForgetScript = R"lua(
local ids = redis.call('ZRANGEBYSCORE', 'tlm:seen', '-inf', '(' .. ARGV[1], 'LIMIT', 0, tonumber(ARGV[3]))
local removed = 0
for _, id in ipairs(ids) do
  if redis.call('EXISTS', 'tlm:at:' .. id) == 1 then
    redis.call('ZADD', 'tlm:seen', ARGV[2], id)
  else
    local key = redis.call('HGET', 'tlm:key-of', id)
    if key and redis.call('HGET', 'tlm:id-of', key) == id then redis.call('HDEL', 'tlm:id-of', key) end
    redis.call('HDEL', 'tlm:key-of', id)
    redis.call('ZREM', 'tlm:seen', id)
    removed = removed + 1
  end
end
return {removed, #ids}
)lua";

enum TScript { RegisterId, RefreshId, ReleaseId, LocateId, ForgetId, ScriptCount };
constexpr const char* ScriptText[ScriptCount] = {RegisterScript, RefreshScript, ReleaseScript, LocateScript,
                                                 ForgetScript};

// Calls sent as one pipeline at most; more wait for the next round, so results keep flowing.
constexpr size_t MaxPipeline = 1000;
constexpr size_t ForgetBatch = 1000;
// Fresh IDs offered to one registration: with 900 million IDs, all of them being taken means
// the table is nearly full, not bad luck.
constexpr int IdCandidates = 8;
constexpr auto RetryEvery = std::chrono::seconds(1);
// How often a waiting subscriber looks whether it should stop.
constexpr int ListenSliceMs = 100;

struct TReplyDeleter {
  void operator()(redisReply* AReply) const { freeReplyObject(AReply); }
};
using TReply = std::unique_ptr<redisReply, TReplyDeleter>;

struct TContextDeleter {
  void operator()(redisContext* AContext) const { redisFree(AContext); }
};
using TContext = std::unique_ptr<redisContext, TContextDeleter>;

timeval ToTimeval(std::chrono::milliseconds ATime) {
  const auto ms = std::max<int64_t>(ATime.count(), 1);
  return timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
}

// hiredis writes with write(): a Redis that has gone would raise SIGPIPE and end the program.
// Blocked in the registry's own threads, the write just fails.
void BlockSigPipe() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

std::string ContextError(const redisContext& AContext, std::chrono::milliseconds ATimeout) {
  // A read or write that ran into the socket's time-out reports EAGAIN.
  if (AContext.err == REDIS_ERR_IO && std::strcmp(AContext.errstr, std::strerror(EAGAIN)) == 0)
    return "no answer within " + std::to_string(ATimeout.count()) + " ms";
  return AContext.errstr[0] ? AContext.errstr : "connection failed";
}

void AppendArgs(redisContext& AContext, const std::vector<std::string>& AArgs) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  argv.reserve(AArgs.size());
  lengths.reserve(AArgs.size());
  for (const auto& arg : AArgs) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  if (redisAppendCommandArgv(&AContext, int(argv.size()), argv.data(), lengths.data()) != REDIS_OK)
    throw TConnectionError("out of memory for a Redis command");
}

// The next reply; a failed or timed-out read ends the connection (hiredis cannot go on after it).
TReply ReadReply(redisContext& AContext, std::chrono::milliseconds ATimeout) {
  void* raw = nullptr;
  if (redisGetReply(&AContext, &raw) != REDIS_OK || !raw) throw TConnectionError(ContextError(AContext, ATimeout));
  return TReply(static_cast<redisReply*>(raw));
}

std::string ErrorText(const redisReply& AReply) {
  return AReply.type == REDIS_REPLY_ERROR ? std::string(AReply.str, AReply.len) : "unexpected reply from Redis";
}

// A connection with both time-outs set and, when there is a password, authenticated.
TContext OpenConnection(const TClusterOptions& AOptions) {
  const std::string& address = AOptions.RedisAddress;
  const size_t colon = address.rfind(':');
  const char* end = address.data() + address.size();
  int port = 0;
  if (colon == std::string::npos || std::from_chars(address.data() + colon + 1, end, port).ptr != end ||
      port <= 0 || port > 65535)
    throw TConnectionError("bad Redis address \"" + address + "\" (HOST:PORT)");
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);

  const timeval timeout = ToTimeval(AOptions.RedisTimeout);
  TContext context(redisConnectWithTimeout(host.c_str(), port, timeout));
  if (!context) throw TConnectionError("out of memory for a Redis connection");
  if (context->err) throw TConnectionError(ContextError(*context, AOptions.RedisTimeout));
  if (redisSetTimeout(context.get(), timeout) != REDIS_OK)
    throw TConnectionError(ContextError(*context, AOptions.RedisTimeout));
  // Keep-alive probes notice a Redis machine that vanished without closing the connection.
  redisEnableKeepAlive(context.get());
  if (!AOptions.RedisPassword.empty()) {
    AppendArgs(*context, {"AUTH", AOptions.RedisPassword});
    TReply reply = ReadReply(*context, AOptions.RedisTimeout);
    if (reply->type == REDIS_REPLY_ERROR) throw TConnectionError("AUTH refused: " + ErrorText(*reply));
  }
  return context;
}

// The subscription's confirmation: ["subscribe", channel, count].
bool IsSubscribed(const redisReply& AReply) {
  if (AReply.type != REDIS_REPLY_ARRAY || AReply.elements != 3) return false;
  const redisReply& kind = *AReply.element[0];
  return kind.type == REDIS_REPLY_STRING && std::string_view(kind.str, kind.len) == "subscribe";
}

bool IsNoScript(const redisReply& AReply) {
  return AReply.type == REDIS_REPLY_ERROR && std::string_view(AReply.str, AReply.len).starts_with("NOSCRIPT");
}

int64_t IntegerAt(const redisReply& AReply, size_t AIndex) {
  if (AReply.type != REDIS_REPLY_ARRAY || AIndex >= AReply.elements ||
      AReply.element[AIndex]->type != REDIS_REPLY_INTEGER)
    throw TError("unexpected reply from Redis");
  return AReply.element[AIndex]->integer;
}

std::string StringAt(const redisReply& AReply, size_t AIndex) {
  if (AReply.type != REDIS_REPLY_ARRAY || AIndex >= AReply.elements ||
      AReply.element[AIndex]->type != REDIS_REPLY_STRING)
    throw TError("unexpected reply from Redis");
  return std::string(AReply.element[AIndex]->str, AReply.element[AIndex]->len);
}

enum class TCallKind { Register, Refresh, Release, Locate, Forget };

// One call waiting for (or being run by) the worker.
struct TCall {
  TCall(TCallKind AKind, std::string ASubject, uint64_t AToken = 0)
      : Kind(AKind), Subject(std::move(ASubject)), Token(AToken) {}

  TCallKind Kind;
  std::string Subject;  // the device key (Register) or the ID
  uint64_t Token = 0;
  bool MayCreate = false;
  int64_t Now = 0;     // Unix seconds: when asked (Register), ANow (Forget)
  int64_t Cutoff = 0;  // Forget
  size_t Forgotten = 0;  // Forget: removed by earlier batches
  std::function<void(TClusterRegistration)> OnRegistered;
  std::function<void(TClusterLocation)> OnLocated;
  std::function<void(size_t)> OnForgotten;
  std::function<void(TClusterStatus)> OnRefreshed;
};

// What the registry hands to the network thread. Shared with every posted handler, so a handler
// that runs after the registry is gone finds Stopped and does nothing.
struct TRegistryEvents {
  asio::any_io_executor Network;
  std::function<void(const std::string&)> Log;
  std::function<void(const std::string&, uint64_t)> OnTakenOver;
  std::function<void()> OnRedisBack;
  std::atomic<bool> Stopped{false};
};

void PostToNetwork(const std::shared_ptr<TRegistryEvents>& AEvents, std::function<void()> AWork) {
  asio::post(AEvents->Network, [events = AEvents, work = std::move(AWork)] {
    if (!events->Stopped.load()) work();
  });
}

// The handler that ends ACall as Unavailable for AWhy (nothing for calls without a result).
std::function<void()> FailedWith(TCall& ACall, const std::string& AWhy) {
  switch (ACall.Kind) {
    case TCallKind::Register:
      return [done = std::move(ACall.OnRegistered), AWhy] {
        TClusterRegistration result;
        result.Error = AWhy;
        done(std::move(result));
      };
    case TCallKind::Locate:
      return [done = std::move(ACall.OnLocated), AWhy] {
        TClusterLocation result;
        result.Error = AWhy;
        done(std::move(result));
      };
    case TCallKind::Forget:
      return [done = std::move(ACall.OnForgotten), count = ACall.Forgotten] { done(count); };
    case TCallKind::Refresh:
      if (!ACall.OnRefreshed) break;
      return [done = std::move(ACall.OnRefreshed)] { done(TClusterStatus::Unavailable); };
    case TCallKind::Release:
      break;
  }
  return nullptr;
}

}  // namespace

struct TClusterRegistry::TImpl {
  enum class TState { Connecting, Up, Down };

  TImpl(const TClusterOptions& AOptions, asio::any_io_executor ANetwork,
        std::function<void(const std::string&)> ALog)
      : Options(AOptions), Events(std::make_shared<TRegistryEvents>()) {
    Events->Network = std::move(ANetwork);
    Events->Log = std::move(ALog);
  }

  const TClusterOptions Options;
  const std::shared_ptr<TRegistryEvents> Events;

  std::mutex Lock;
  std::condition_variable WorkWake;    // a call was queued, or Stop
  std::condition_variable ListenWake;  // Stop
  std::deque<TCall> Queue;             // at most MaxWaitingCalls (plus a Forget being continued)
  bool Stopping = false;
  TState State = TState::Connecting;
  std::string DownReason;
  std::atomic<bool> Up{false};  // for Available()

  std::thread Worker, Listener;
  bool Started = false;
  bool Finished = false;

  // The worker's own: its connection, the loaded scripts' digests, handlers to post.
  TContext Connection;
  std::string Sha[ScriptCount];
  std::vector<std::function<void()>> Deliveries;

  void Enqueue(TCall&& ACall);
  bool StopRequested() {
    std::lock_guard<std::mutex> hold(Lock);
    return Stopping;
  }
  void Log(std::string ALine) {
    if (Events->Log) PostToNetwork(Events, [events = Events, line = std::move(ALine)] { events->Log(line); });
  }

  // Both loops catch what a round raises; this only meets what their own recovery raised.
  void RunLoop(const char* AName, void (TImpl::*ALoop)()) {
    try {
      (this->*ALoop)();
    } catch (const std::exception& e) {
      Log(std::string("cluster registry ") + AName + " failed: " + e.what());
    }
  }

  // Worker thread.
  void Work();
  bool Connect();
  void LoadScripts();
  void MarkUp();
  void MarkDown(const std::string& AWhy);
  void Run(std::deque<TCall>& ABatch, bool AHeartbeat, bool AGoodbye);
  std::vector<std::string> Command(const TCall& ACall) const;
  bool Finish(TCall& ACall, const redisReply& AReply);
  void Deliver();

  // Listener thread.
  void Listen();
  void Heard(const redisReply& AReply);
};

void TClusterRegistry::TImpl::Enqueue(TCall&& ACall) {
  std::string refusal;
  {
    std::lock_guard<std::mutex> hold(Lock);
    if (Stopping) {
      refusal = "cluster registry stopped";
    } else if (State == TState::Down) {
      refusal = "redis unavailable: " + DownReason;
    } else if (Queue.size() >= MaxWaitingCalls) {
      refusal = "redis overloaded: " + std::to_string(MaxWaitingCalls) + " calls waiting";
    } else {
      Queue.push_back(std::move(ACall));
      WorkWake.notify_one();
      return;
    }
  }
  // Even a refusal reaches its handler later, as a result would, never inside the call.
  if (auto done = FailedWith(ACall, refusal)) PostToNetwork(Events, std::move(done));
}

void TClusterRegistry::TImpl::Work() {
  BlockSigPipe();
  const auto heartbeatEvery = std::max(Options.PresenceTtl / 3, std::chrono::milliseconds(1));
  TClock::time_point nextHeartbeat = TClock::now();
  for (;;) {
    try {
      if (!Connection) {
        if (StopRequested()) break;
        if (!Connect()) {
          std::unique_lock<std::mutex> hold(Lock);
          WorkWake.wait_for(hold, RetryEvery, [&] { return Stopping; });
          continue;
        }
        nextHeartbeat = TClock::now();
      }
      std::deque<TCall> batch;
      bool goodbye = false;
      {
        std::unique_lock<std::mutex> hold(Lock);
        WorkWake.wait_until(hold, nextHeartbeat, [&] { return Stopping || !Queue.empty(); });
        // Stopping: everything asked so far goes out now, with the node's farewell.
        goodbye = Stopping;
        const size_t take = goodbye ? Queue.size() : std::min(Queue.size(), MaxPipeline);
        for (size_t i = 0; i < take; ++i) {
          batch.push_back(std::move(Queue.front()));
          Queue.pop_front();
        }
      }
      const bool heartbeat = !goodbye && TClock::now() >= nextHeartbeat;
      if (heartbeat) nextHeartbeat = TClock::now() + heartbeatEvery;
      Run(batch, heartbeat, goodbye);
      Deliver();
      if (goodbye) break;
    } catch (const std::exception& e) {
      // Down first, so that a handler told of the failure already sees Available() false.
      MarkDown(e.what());
      Deliver();
    }
  }
  // Calls that could not run: Redis was down when Stop came (their handlers are dropped anyway).
  std::lock_guard<std::mutex> hold(Lock);
  Queue.clear();
  Connection.reset();
  Up = false;
}

bool TClusterRegistry::TImpl::Connect() {
  try {
    Connection = OpenConnection(Options);
    LoadScripts();
  } catch (const std::exception& e) {
    Connection.reset();
    MarkDown(e.what());
    Deliver();
    return false;
  }
  MarkUp();
  return true;
}

// A Redis that restarted has forgotten its scripts: loaded on every new connection, and again
// whenever Redis answers NOSCRIPT.
void TClusterRegistry::TImpl::LoadScripts() {
  for (const char* text : ScriptText) AppendArgs(*Connection, {"SCRIPT", "LOAD", text});
  for (auto& sha : Sha) {
    TReply reply = ReadReply(*Connection, Options.RedisTimeout);
    // A Redis still loading its data refuses with LOADING: not usable yet.
    if (reply->type != REDIS_REPLY_STRING) throw TConnectionError("SCRIPT LOAD: " + ErrorText(*reply));
    sha.assign(reply->str, reply->len);
  }
}

void TClusterRegistry::TImpl::MarkUp() {
  TState was;
  {
    std::lock_guard<std::mutex> hold(Lock);
    was = State;
    State = TState::Up;
    DownReason.clear();
  }
  Up = true;
  if (was != TState::Down) return;
  Log("redis available again");
  if (Events->OnRedisBack) PostToNetwork(Events, [events = Events] { events->OnRedisBack(); });
}

void TClusterRegistry::TImpl::MarkDown(const std::string& AWhy) {
  Connection.reset();
  std::deque<TCall> waiting;
  TState was;
  {
    std::lock_guard<std::mutex> hold(Lock);
    was = State;
    State = TState::Down;
    DownReason = AWhy;
    waiting.swap(Queue);
  }
  Up = false;
  if (was != TState::Down) Log("redis unavailable: " + AWhy);
  for (auto& call : waiting)
    if (auto done = FailedWith(call, "redis unavailable: " + AWhy)) Deliveries.push_back(std::move(done));
}

std::vector<std::string> TClusterRegistry::TImpl::Command(const TCall& ACall) const {
  const std::string& node = Options.NodeName;
  const std::string token = std::to_string(ACall.Token);
  const std::string ttl = std::to_string(Options.PresenceTtl.count());
  switch (ACall.Kind) {
    case TCallKind::Register: {
      std::vector<std::string> args{"EVALSHA", Sha[RegisterId], "0", ACall.Subject, ACall.MayCreate ? "1" : "0",
                                    node, token, ttl, std::to_string(ACall.Now)};
      if (ACall.MayCreate)
        for (int i = 0; i < IdCandidates; ++i) args.push_back(RandomConnectionId());
      return args;
    }
    case TCallKind::Refresh:
      return {"EVALSHA", Sha[RefreshId], "0", ACall.Subject, node, token, ttl};
    case TCallKind::Release:
      return {"EVALSHA", Sha[ReleaseId], "0", ACall.Subject, node, token};
    case TCallKind::Locate:
      return {"EVALSHA", Sha[LocateId], "0", ACall.Subject};
    case TCallKind::Forget:
      // Held IDs are touched to at least the cutoff, so the next batch never meets them again.
      return {"EVALSHA", Sha[ForgetId], "0", std::to_string(ACall.Cutoff),
              std::to_string(std::max(ACall.Now, ACall.Cutoff)), std::to_string(ForgetBatch)};
  }
  return {};
}

// Sends the batch (and the node's heartbeat or farewell) as one pipeline and reads every reply.
// A failure (of the connection, or out of memory) ends the calls not answered yet as
// Unavailable and is raised; the caller then gives up the connection.
void TClusterRegistry::TImpl::Run(std::deque<TCall>& ABatch, bool AHeartbeat, bool AGoodbye) {
  const std::string nodeKey = "tlm:node:" + Options.NodeName;
  std::deque<TCall> again;      // NOSCRIPT: once more after loading the scripts
  std::deque<TCall> continued;  // Forget with more batches to go
  size_t answered = 0;          // of ABatch
  size_t retried = 0;           // of again
  try {
    for (const auto& call : ABatch) AppendArgs(*Connection, Command(call));
    if (AHeartbeat)
      AppendArgs(*Connection, {"SET", nodeKey, Options.NodeAddress, "PX", std::to_string(Options.PresenceTtl.count())});
    // A node that stops gracefully gives up its hosts at once: their presence names a node
    // that no longer exists, so Locate finds no holder.
    if (AGoodbye) AppendArgs(*Connection, {"DEL", nodeKey});
    for (; answered < ABatch.size(); ++answered) {
      TCall& call = ABatch[answered];
      TReply reply = ReadReply(*Connection, Options.RedisTimeout);
      if (IsNoScript(*reply))
        again.push_back(std::move(call));
      else if (Finish(call, *reply))
        continued.push_back(std::move(call));
    }
    if (AHeartbeat || AGoodbye) ReadReply(*Connection, Options.RedisTimeout);
    if (!again.empty()) {
      LoadScripts();
      for (const auto& call : again) AppendArgs(*Connection, Command(call));
      for (; retried < again.size(); ++retried) {
        TReply reply = ReadReply(*Connection, Options.RedisTimeout);
        if (Finish(again[retried], *reply)) continued.push_back(std::move(again[retried]));
      }
    }
  } catch (const std::exception& e) {
    // Calls already answered were moved out or have handed over their handlers: only the rest.
    const std::string why = "redis unavailable: " + std::string(e.what());
    for (size_t i = answered; i < ABatch.size(); ++i)
      if (auto done = FailedWith(ABatch[i], why)) Deliveries.push_back(std::move(done));
    for (size_t i = retried; i < again.size(); ++i)
      if (auto done = FailedWith(again[i], why)) Deliveries.push_back(std::move(done));
    for (auto& call : continued)
      if (auto done = FailedWith(call, why)) Deliveries.push_back(std::move(done));
    throw;
  }
  if (continued.empty()) return;
  if (AGoodbye) {
    for (auto& call : continued)
      if (auto done = FailedWith(call, "cluster registry stopped")) Deliveries.push_back(std::move(done));
    return;
  }
  // The next batch of a Forget goes first in the next round, after what is being delivered now.
  std::lock_guard<std::mutex> hold(Lock);
  for (auto it = continued.rbegin(); it != continued.rend(); ++it) Queue.push_front(std::move(*it));
}

// Turns AReply into ACall's result; true when ACall has more to do (a Forget's next batch).
bool TClusterRegistry::TImpl::Finish(TCall& ACall, const redisReply& AReply) {
  std::string failure;
  try {
    if (AReply.type == REDIS_REPLY_ERROR) throw TError(ErrorText(AReply));
    switch (ACall.Kind) {
      case TCallKind::Register: {
        TClusterRegistration result;
        switch (IntegerAt(AReply, 0)) {
          case 1:
            result.Status = TClusterStatus::Ok;
            result.Id = StringAt(AReply, 1);
            result.Created = IntegerAt(AReply, 2) == 1;
            break;
          case 0:
            result.Status = TClusterStatus::Refused;
            break;
          default:
            result.Error = "no free ID among " + std::to_string(IdCandidates) + " random candidates";
            break;
        }
        Deliveries.push_back([done = std::move(ACall.OnRegistered), result = std::move(result)]() mutable {
          done(std::move(result));
        });
        return false;
      }
      case TCallKind::Refresh:
        if (AReply.type != REDIS_REPLY_INTEGER) throw TError("unexpected reply from Redis");
        if (ACall.OnRefreshed)
          Deliveries.push_back([done = std::move(ACall.OnRefreshed), ours = AReply.integer == 1] {
            done(ours ? TClusterStatus::Ok : TClusterStatus::Refused);
          });
        if (AReply.integer == 0 && Events->OnTakenOver)
          Deliveries.push_back([events = Events, id = ACall.Subject, token = ACall.Token] {
            events->OnTakenOver(id, token);
          });
        return false;
      case TCallKind::Release:
        return false;
      case TCallKind::Locate: {
        TClusterLocation result;
        result.Status = TClusterStatus::Ok;
        if (AReply.type != REDIS_REPLY_ARRAY) throw TError("unexpected reply from Redis");
        if (AReply.elements == 2) {
          result.Node = StringAt(AReply, 0);
          result.Address = StringAt(AReply, 1);
        }
        Deliveries.push_back([done = std::move(ACall.OnLocated), result = std::move(result)]() mutable {
          done(std::move(result));
        });
        return false;
      }
      case TCallKind::Forget: {
        ACall.Forgotten += size_t(IntegerAt(AReply, 0));
        if (size_t(IntegerAt(AReply, 1)) == ForgetBatch) return true;
        Deliveries.push_back([done = std::move(ACall.OnForgotten), count = ACall.Forgotten] { done(count); });
        return false;
      }
    }
  } catch (const TError& e) {
    failure = e.what();
  }
  // Redis refused this one call (out of memory, read-only replica...): the connection stays.
  if (auto done = FailedWith(ACall, "redis: " + failure)) Deliveries.push_back(std::move(done));
  return false;
}

void TClusterRegistry::TImpl::Deliver() {
  if (Deliveries.empty()) return;
  // One hand-over per round: a pipeline of a thousand results wakes the network thread once.
  PostToNetwork(Events, [batch = std::move(Deliveries)] {
    for (const auto& done : batch)
      if (done) done();
  });
  Deliveries.clear();
}

void TClusterRegistry::TImpl::Listen() {
  BlockSigPipe();
  const std::string channel = "tlm:takeover:" + Options.NodeName;
  std::string refusal;  // the last refusal said, so a lasting one is logged once
  while (!StopRequested()) {
    try {
      TContext context = OpenConnection(Options);
      AppendArgs(*context, {"SUBSCRIBE", channel});
      for (int done = 0; !done;)
        if (redisBufferWrite(context.get(), &done) != REDIS_OK)
          throw TConnectionError(ContextError(*context, Options.RedisTimeout));
      // Replies are read only when the socket has data, in short waits, so Stop is noticed soon;
      // a read time-out would end the connection instead.
      for (;;) {
        void* raw = nullptr;
        if (redisGetReplyFromReader(context.get(), &raw) != REDIS_OK)
          throw TConnectionError(ContextError(*context, Options.RedisTimeout));
        if (raw) {
          TReply reply(static_cast<redisReply*>(raw));
          if (reply->type == REDIS_REPLY_ERROR) {
            // Refused (an ACL without this channel, say): said once, and tried again later; until
            // then a takeover is noticed only at the host's next Refresh.
            const std::string why(reply->str, reply->len);
            if (why != refusal) Log("redis refused SUBSCRIBE " + channel + ": " + why);
            refusal = why;
            break;
          }
          if (IsSubscribed(*reply)) refusal.clear();
          Heard(*reply);
          continue;
        }
        if (StopRequested()) return;
        pollfd ready{context->fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, ListenSliceMs);
        if (n < 0 && errno != EINTR) throw TConnectionError(std::string("poll: ") + std::strerror(errno));
        if (n > 0 && redisBufferRead(context.get()) != REDIS_OK)
          throw TConnectionError(ContextError(*context, Options.RedisTimeout));
      }
    } catch (const std::exception&) {
      // The worker reports outages; a missed takeover notice is caught by the host's next Refresh.
    }
    std::unique_lock<std::mutex> hold(Lock);
    ListenWake.wait_for(hold, RetryEvery, [&] { return Stopping; });
  }
}

// A takeover notice: ["message", channel, "<ID>\t<token>"]; anything else is ignored.
void TClusterRegistry::TImpl::Heard(const redisReply& AReply) {
  if (AReply.type != REDIS_REPLY_ARRAY || AReply.elements != 3) return;
  const redisReply& kind = *AReply.element[0];
  const redisReply& payload = *AReply.element[2];
  if (kind.type != REDIS_REPLY_STRING || std::string_view(kind.str, kind.len) != "message" ||
      payload.type != REDIS_REPLY_STRING)
    return;
  const std::string_view text(payload.str, payload.len);
  const size_t tab = text.rfind('\t');
  uint64_t token = 0;
  if (tab == std::string_view::npos || tab == 0 ||
      std::from_chars(text.data() + tab + 1, text.data() + text.size(), token).ptr != text.data() + text.size())
    return;
  if (Events->OnTakenOver)
    PostToNetwork(Events, [events = Events, id = std::string(text.substr(0, tab)), token] {
      events->OnTakenOver(id, token);
    });
}

TClusterRegistry::TClusterRegistry(const TClusterOptions& AOptions, asio::any_io_executor ANetwork,
                                   std::function<void(const std::string&)> ALog)
    : F(std::make_unique<TImpl>(AOptions, std::move(ANetwork), std::move(ALog))) {}

TClusterRegistry::~TClusterRegistry() { Stop(); }

void TClusterRegistry::Start() {
  if (F->Started) return;
  F->Started = true;
  F->Events->OnTakenOver = OnTakenOver;
  F->Events->OnRedisBack = OnRedisBack;
  F->Worker = std::thread([impl = F.get()] { impl->RunLoop("worker", &TImpl::Work); });
  F->Listener = std::thread([impl = F.get()] { impl->RunLoop("subscriber", &TImpl::Listen); });
}

void TClusterRegistry::Stop() {
  if (F->Finished) return;
  F->Finished = true;
  F->Events->Stopped = true;
  {
    std::lock_guard<std::mutex> hold(F->Lock);
    F->Stopping = true;
  }
  F->WorkWake.notify_all();
  F->ListenWake.notify_all();
  if (F->Worker.joinable()) F->Worker.join();
  if (F->Listener.joinable()) F->Listener.join();
}

void TClusterRegistry::Register(const std::string& ADeviceKey, bool AMayCreate, uint64_t AToken,
                                std::function<void(TClusterRegistration)> ADone) {
  TCall call(TCallKind::Register, ADeviceKey, AToken);
  call.MayCreate = AMayCreate;
  call.Now = TIdStore::NowUnix();
  call.OnRegistered = ADone ? std::move(ADone) : [](TClusterRegistration) {};
  F->Enqueue(std::move(call));
}

void TClusterRegistry::Refresh(const std::string& AId, uint64_t AToken, std::function<void(TClusterStatus)> ADone) {
  TCall call(TCallKind::Refresh, AId, AToken);
  call.OnRefreshed = std::move(ADone);
  F->Enqueue(std::move(call));
}

void TClusterRegistry::Release(const std::string& AId, uint64_t AToken) {
  F->Enqueue(TCall(TCallKind::Release, AId, AToken));
}

void TClusterRegistry::Locate(const std::string& AId, std::function<void(TClusterLocation)> ADone) {
  TCall call(TCallKind::Locate, AId);
  call.OnLocated = ADone ? std::move(ADone) : [](TClusterLocation) {};
  F->Enqueue(std::move(call));
}

void TClusterRegistry::ForgetUnseenSince(int64_t ACutoff, int64_t ANow, std::function<void(size_t)> ADone) {
  TCall call(TCallKind::Forget, "");
  call.Cutoff = ACutoff;
  call.Now = ANow;
  call.OnForgotten = ADone ? std::move(ADone) : [](size_t) {};
  F->Enqueue(std::move(call));
}

bool TClusterRegistry::Available() const { return F->Up.load(); }

}  // namespace tlm
