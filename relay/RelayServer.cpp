#include "relay/RelayServer.h"

#include <asio.hpp>

#include <condition_variable>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/ClusterRegistry.h"
#include "relay/IdStore.h"
#include "relay/LogWriter.h"
#include "relay/NodeLink.h"
#include "relay/ProxyHeader.h"
#include "relay/RelayConnection.h"
#include "relay/RelayHub.h"
#include "relay/RelayQueueBudget.h"
#include "relay/RelayStream.h"

namespace tlm {

namespace {

using asio::ip::tcp;
using asio::redirect_error;
using asio::use_awaitable;

// Refused sockets still being answered; beyond this many a refusal closes without a word.
constexpr size_t MaxRefusing = 256;
constexpr auto RefusalGraceTime = std::chrono::seconds(3);
constexpr auto StopGraceTime = std::chrono::seconds(5);

void LogToStderr(const std::string& ALine) {
  static std::mutex lock;
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  std::lock_guard<std::mutex> hold(lock);
  std::cerr << stamp << " " << ALine << std::endl;
}

// A quarter of physical memory, at most 1 GiB.
size_t DefaultMaxQueuedBytes() {
  constexpr size_t Cap = size_t(1) << 30;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return Cap;
  return std::min(Cap, size_t(pages) * size_t(pageSize) / 4);
}

std::string AddressText(const asio::ip::address& AAddress) {
  if (AAddress.is_v6() && AAddress.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, AAddress.to_v6()).to_string();
  return AAddress.to_string();
}

// AProxies as AddressText writes them, so that they compare with a peer's address text.
std::set<std::string, std::less<>> TrustedProxies(const std::vector<std::string>& AProxies) {
  std::set<std::string, std::less<>> trusted;
  for (const auto& text : AProxies) {
    asio::error_code error;
    const auto address = asio::ip::make_address(text, error);
    if (error) throw TError("Bad PROXY header source address '" + text + "'");
    trusted.insert(AddressText(address));
  }
  return trusted;
}

}  // namespace

struct TRelayServer::TImpl {
  explicit TImpl(TRelayOptions AOptions)
      : Options(std::move(AOptions)),
        Writer(std::make_unique<TLogWriter>(Options.Log ? Options.Log : LogToStderr, Options.LogBufferBytes)) {
    LogFn = [writer = Writer.get()](const std::string& ALine) { writer->Write(ALine); };
    if (Options.MaxQueuedBytes == 0) Options.MaxQueuedBytes = DefaultMaxQueuedBytes();
  }

  // Starts the loop taking clients on Acceptor, unless one runs already.
  void StartAccepting();
  asio::awaitable<void> AcceptLoop();
  // Cluster mode: links from other nodes, each carrying one viewer of theirs.
  asio::awaitable<void> LinkAcceptLoop();
  asio::awaitable<void> AcceptLink(std::shared_ptr<tcp::socket> ASocket);
  void StartCluster();
  // The listening socket for AAddress ("HOST:PORT"); raises TError naming AWhat.
  std::unique_ptr<tcp::acceptor> Listen(const std::string& AHost, uint16_t APort, const std::string& AWhat);
  asio::awaitable<void> SweepLoop();
  // Cluster mode: a node that has not reached Redis for two thirds of the presence
  // time-to-live, when its hosts' presence starts to run out, closes its client port, so that
  // the load balancer sends clients (its hosts among them) to the other nodes; it listens again
  // once Redis answers.
  void KeepInRotation(TRelayClock::time_point ANow);
  // Answers a refused client with APacket and closes it; on a TLS relay a TLS client gets the
  // answer after its handshake (when its address has a handshake turn free at once).
  void Refuse(tcp::socket ASocket, const std::string& AAddress, std::string_view AText);
  asio::awaitable<void> RefuseStream(std::shared_ptr<TRelayStream> AStream, std::string AAddress, TBytes APacket);
  // A connection from a trusted proxy: its PROXY header first, then Admit under the client's
  // address.
  asio::awaitable<void> AdmitProxied(std::shared_ptr<tcp::socket> ASocket, std::string AProxy);
  // Applies the connection limits to a new socket from AAddress and starts its connection.
  void Admit(tcp::socket ASocket, const std::string& AAddress);
  void LogCounters();

  TRelayOptions Options;
  // Destroyed last: everything else may log until it is gone.
  std::unique_ptr<TLogWriter> Writer;
  std::function<void(const std::string&)> LogFn;
  TRelayCounters Counters;
  // Outlives every connection (declared before the hub and the network loop).
  TRelayQueueBudget Budget{Options, Counters};
  std::unique_ptr<TIdStore> Store;           // single node
  std::unique_ptr<TClusterRegistry> Cluster;  // cluster node; stopped with the network thread
  std::unique_ptr<TRelayHub> Hub;
  std::unique_ptr<TRelayTls> Tls;  // nullptr: plain only
  // Declared after the hub: destroyed first, so that connection objects still held by
  // pending handlers find the hub alive.
  asio::io_context Io{1};
  std::unique_ptr<tcp::acceptor> Acceptor;
  tcp::endpoint ClientEndpoint;                     // where Acceptor listens (when open)
  std::optional<TRelayClock::time_point> RedisLost;  // cluster mode: since when Redis does not answer
  std::unique_ptr<tcp::acceptor> LinkAcceptor;  // cluster mode
  std::unique_ptr<asio::steady_timer> SweepTimer;
  std::set<std::shared_ptr<TRelayStream>> Refusing;
  // Trusted proxies (as AddressText writes them) and their connections whose header is awaited.
  std::set<std::string, std::less<>> ProxyFrom;
  std::set<std::shared_ptr<tcp::socket>> ReadingHeaders;
  // Links from other nodes whose handshake is still running.
  std::set<std::shared_ptr<tcp::socket>> AcceptingLinks;
  bool Stopping = false;  // network thread only
  bool Accepting = false;  // an AcceptLoop runs (network thread only)

  std::thread Thread;
  std::mutex RunLock;
  std::condition_variable RunEnded;
  bool Ran = false;
  bool Started = false;
  bool Stopped = false;
};

void TRelayServer::TImpl::StartAccepting() {
  // A loop still waiting after a failed accept goes on with the port listening again.
  if (Accepting) return;
  Accepting = true;
  asio::co_spawn(Io, AcceptLoop(), asio::detached);
}

asio::awaitable<void> TRelayServer::TImpl::AcceptLoop() {
  for (;;) {
    asio::error_code error;
    tcp::socket socket = co_await Acceptor->async_accept(redirect_error(use_awaitable, error));
    if (Stopping) break;
    if (error) {
      // Closed: on stop, or while Redis is out of reach (StartAccepting begins anew).
      if (error == asio::error::operation_aborted || !Acceptor->is_open()) break;
      // Out of descriptors or memory: wait a little instead of spinning.
      Hub->Event("accept failed", "accept failed: " + error.message());
      asio::steady_timer pause(Io, std::chrono::milliseconds(100));
      co_await pause.async_wait(redirect_error(use_awaitable, error));
      continue;
    }
    asio::error_code ignored;
    const auto peer = socket.remote_endpoint(ignored);
    if (ignored) continue;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const std::string address = AddressText(peer.address());
    if (!ProxyFrom.contains(address)) {
      Admit(std::move(socket), address);
      continue;
    }
    // A load balancer's connection: its header names the client, read without holding up
    // this loop.
    if (ReadingHeaders.size() >= Options.MaxConnections) {
      Hub->Event("refused connection", "refused connection from " + address + ": too many PROXY headers being read");
      ++Counters.Refusals;
      continue;
    }
    auto held = std::make_shared<tcp::socket>(std::move(socket));
    ReadingHeaders.insert(held);
    asio::co_spawn(Io, AdmitProxied(held, address), asio::detached);
  }
  Accepting = false;
}

asio::awaitable<void> TRelayServer::TImpl::AdmitProxied(std::shared_ptr<tcp::socket> ASocket, std::string AProxy) {
  std::string client, why;
  const bool read = co_await ReadProxyHeader(*ASocket, Options.FirstPacketTimeout, client, why);
  ReadingHeaders.erase(ASocket);
  asio::error_code ignored;
  if (Stopping) {
    ASocket->close(ignored);
    co_return;
  }
  if (!read) {
    // A client that gives up at once may leave its load balancer nothing to send.
    Hub->Event("no PROXY header", "closed connection from " + AProxy + ": " + why);
    ++Counters.Refusals;
    ASocket->close(ignored);
    co_return;
  }
  Admit(std::move(*ASocket), client.empty() ? AProxy : client);
}

void TRelayServer::TImpl::Admit(tcp::socket ASocket, const std::string& AAddress) {
  std::string refusal;
  if (!Hub->MayOpen(AAddress, TRelayHub::TOrigin::Client, refusal)) {
    Refuse(std::move(ASocket), AAddress, refusal);
    return;
  }
  Hub->Open(TRelayStream(std::move(ASocket), Tls.get()), AAddress, TRelayHub::TOrigin::Client);
}

asio::awaitable<void> TRelayServer::TImpl::LinkAcceptLoop() {
  for (;;) {
    asio::error_code error;
    tcp::socket socket = co_await LinkAcceptor->async_accept(redirect_error(use_awaitable, error));
    if (Stopping) co_return;
    if (error) {
      if (error == asio::error::operation_aborted) co_return;
      // Out of descriptors, anyone reaching this port adds a line each pause.
      Hub->Event("link accept failed", "accepting a node link failed: " + error.message());
      asio::steady_timer pause(Io, std::chrono::milliseconds(100));
      co_await pause.async_wait(redirect_error(use_awaitable, error));
      continue;
    }
    // Anyone who reaches this port can start a handshake: those running at once are bounded
    // like the connections they may become.
    if (AcceptingLinks.size() >= Options.MaxConnections) {
      asio::error_code ignored;
      const auto peer = socket.remote_endpoint(ignored);
      Hub->Event("refused node link", "refused node link from " +
                                          (ignored ? std::string("?") : AddressText(peer.address())) +
                                          ": too many link handshakes running");
      ++Counters.Refusals;
      continue;
    }
    auto held = std::make_shared<tcp::socket>(std::move(socket));
    AcceptingLinks.insert(held);
    asio::co_spawn(Io, AcceptLink(held), asio::detached);
  }
}

asio::awaitable<void> TRelayServer::TImpl::AcceptLink(std::shared_ptr<tcp::socket> ASocket) {
  tcp::socket& socket = *ASocket;
  asio::error_code ignored;
  const auto peer = socket.remote_endpoint(ignored);
  std::string viewerAddress, why;
  const bool proven = co_await AcceptNodeLink(socket, Options.Cluster.Secret, Options.Cluster.LinkTimeout,
                                              viewerAddress, why);
  AcceptingLinks.erase(ASocket);
  if (Stopping) {
    socket.close(ignored);
    co_return;
  }
  if (!proven) {
    ++Counters.Refusals;
    Hub->Event("refused node link", "refused node link from " + AddressText(peer.address()) + ": " + why);
    co_return;
  }
  std::string refusal;
  if (!Hub->MayOpen(viewerAddress, TRelayHub::TOrigin::FromNode, refusal)) {
    // The dialling node passes the text on to its viewer (links never speak TLS).
    if (Refusing.size() < MaxRefusing) {
      auto held = std::make_shared<TRelayStream>(std::move(socket), nullptr);
      Refusing.insert(held);
      asio::co_spawn(Io, RefuseStream(held, viewerAddress, EncodePacket(MsgRelayError, BytesOf(refusal))),
                     asio::detached);
    }
    co_return;
  }
  socket.set_option(tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  Hub->Open(TRelayStream(std::move(socket), nullptr), viewerAddress, TRelayHub::TOrigin::FromNode);
}

void TRelayServer::TImpl::Refuse(tcp::socket ASocket, const std::string& AAddress, std::string_view AText) {
  if (Refusing.size() >= MaxRefusing) return;
  auto held = std::make_shared<TRelayStream>(std::move(ASocket), Tls.get());
  Refusing.insert(held);
  asio::co_spawn(Io, RefuseStream(held, AAddress, EncodePacket(MsgRelayError, BytesOf(AText))), asio::detached);
}

asio::awaitable<void> TRelayServer::TImpl::RefuseStream(std::shared_ptr<TRelayStream> AStream, std::string AAddress,
                                                        TBytes APacket) {
  // Answer, shut our side, and wait for the peer to close so the answer is not lost to a
  // reset; a peer that stays gets closed after a grace time, counted once for its first byte
  // and handshake and again for the answer.
  asio::steady_timer grace(Io);
  const auto armGrace = [&grace, AStream] {
    grace.expires_after(RefusalGraceTime);
    grace.async_wait([AStream](const asio::error_code& AError) {
      asio::error_code ignored;
      if (!AError) AStream->close(ignored);
    });
  };
  armGrace();
  std::string why;
  // Plain clients of a TLS relay (even a TLS-only one) get the refusal in plain, as they
  // would get any other answer; a client over its handshake rate gets nothing.
  const TRelayStream::TOpened opened = co_await AStream->Open(AddressBucket(AAddress), false, why);
  asio::error_code error;
  if (opened == TRelayStream::TOpened::Failed || Stopping) {
    if (!Stopping) {
      Hub->Event("connection not opened", "refused connection from " + AAddress + " not opened: " + why);
      // Held until the grace time runs out (as one without a handshake turn is): closed at
      // once, a flooding client would be back at once.
      co_await AStream->async_wait(asio::socket_base::wait_error, redirect_error(use_awaitable, error));
    }
    error = asio::error::operation_aborted;
  } else {
    armGrace();
    co_await asio::async_write(*AStream, asio::buffer(APacket), redirect_error(use_awaitable, error));
  }
  if (!error) {
    AStream->shutdown(asio::socket_base::shutdown_send, error);
    uint8_t sink[512];
    while (!error) {
      co_await AStream->async_read_some(asio::buffer(sink), redirect_error(use_awaitable, error));
    }
  }
  grace.cancel();
  asio::error_code ignored;
  AStream->close(ignored);
  Refusing.erase(AStream);
}

asio::awaitable<void> TRelayServer::TImpl::SweepLoop() {
  using std::chrono::milliseconds;
  milliseconds tick{1000};
  for (auto span : {Options.ViewerKeepAlive / 3, Options.AdmissionTimeout / 4, Options.IdleTimeout / 4,
                    Options.WriteStallTimeout / 4, Options.StatsInterval, Options.FirstPacketTimeout / 4,
                    Options.PacketCompletionTime / 4, Options.LogSummaryInterval / 4,
                    Options.Cluster.PresenceTtl / 6})
    tick = std::min(tick, std::chrono::duration_cast<milliseconds>(span));
  tick = std::max(tick, milliseconds(5));
  auto lastStats = TRelayClock::now();
  for (;;) {
    SweepTimer->expires_after(tick);
    asio::error_code error;
    co_await SweepTimer->async_wait(redirect_error(use_awaitable, error));
    if (Stopping) co_return;
    const auto now = TRelayClock::now();
    Hub->Sweep(now);
    if (Cluster) KeepInRotation(now);
    if (now - lastStats >= Options.StatsInterval) {
      lastStats = now;
      LogCounters();
    }
  }
}

void TRelayServer::TImpl::KeepInRotation(TRelayClock::time_point ANow) {
  if (!Cluster->Available()) {
    if (!RedisLost) RedisLost = ANow;
    if (Acceptor->is_open() && ANow - *RedisLost >= Options.Cluster.PresenceTtl * 2 / 3) {
      asio::error_code ignored;
      Acceptor->close(ignored);
      const auto lost = std::chrono::duration_cast<std::chrono::milliseconds>(ANow - *RedisLost);
      LogFn("redis unreachable for " + std::to_string(lost.count()) +
            " ms: client port closed until it answers, so that clients go to other nodes");
    }
    return;
  }
  RedisLost.reset();
  if (Acceptor->is_open()) return;
  asio::error_code error;
  Acceptor->open(ClientEndpoint.protocol(), error);
  if (!error) Acceptor->set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) Acceptor->bind(ClientEndpoint, error);
  if (!error) Acceptor->listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    // Tried again at the next sweep.
    asio::error_code ignored;
    Acceptor->close(ignored);
    return;
  }
  LogFn("redis answers again: listening on " + Options.ListenAddress + ":" + std::to_string(ClientEndpoint.port()) +
        " again");
  StartAccepting();
}

void TRelayServer::TImpl::LogCounters() {
  LogFn("stats: " + std::to_string(Counters.Connections.load()) + " connections, " +
        std::to_string(Counters.Hosts.load()) + " hosts, " + std::to_string(Counters.Sessions.load()) +
        " sessions (" + std::to_string(Counters.SessionsStarted.load()) + " started), " +
        std::to_string(Counters.BytesRelayed.load()) + " bytes relayed, " + std::to_string(Counters.Refusals.load()) +
        " refusals, " + std::to_string(Counters.QueuedBytes.load()) + " bytes queued");
}

TRelayServer::TRelayServer(TRelayOptions AOptions) : F(std::make_unique<TImpl>(std::move(AOptions))) {}

TRelayServer::~TRelayServer() { Stop(); }

std::unique_ptr<tcp::acceptor> TRelayServer::TImpl::Listen(const std::string& AHost, uint16_t APort,
                                                          const std::string& AWhat) {
  try {
    asio::error_code error;
    auto address = asio::ip::make_address(AHost, error);
    if (error) {
      // A name (the node address may be one): its first address.
      tcp::resolver resolver(Io);
      const auto found = resolver.resolve(AHost, std::to_string(APort), error);
      if (error || found.empty()) throw TError("Bad " + AWhat + " address '" + AHost + "'");
      address = found.begin()->endpoint().address();
    }
    const tcp::endpoint endpoint(address, APort);
    auto acceptor = std::make_unique<tcp::acceptor>(Io);
    acceptor->open(endpoint.protocol());
    acceptor->set_option(tcp::acceptor::reuse_address(true));
    acceptor->bind(endpoint);
    acceptor->listen(asio::socket_base::max_listen_connections);
    return acceptor;
  } catch (const asio::system_error& e) {
    throw TError("Cannot listen on " + AHost + ":" + std::to_string(APort) + " (" + AWhat + "): " +
                 e.code().message());
  }
}

void TRelayServer::TImpl::StartCluster() {
  TClusterOptions& cluster = Options.Cluster;
  std::string host;
  uint16_t port = 0;
  if (!SplitHostPort(cluster.NodeAddress, host, port))
    throw TError("A cluster node needs its node address as HOST:PORT (not '" + cluster.NodeAddress + "')");
  if (cluster.Secret.size() < MinClusterSecretBytes)
    throw TError("The cluster secret must have at least " + std::to_string(MinClusterSecretBytes) + " bytes");
  std::string listenHost = host;
  uint16_t listenPort = port;
  if (!cluster.ListenAddress.empty() && !SplitHostPort(cluster.ListenAddress, listenHost, listenPort))
    throw TError("Bad node link listen address '" + cluster.ListenAddress + "'");
  LinkAcceptor = Listen(listenHost, listenPort, "node links");
  if (port == 0) {
    // An ephemeral port (tests): the others dial the one we got.
    port = LinkAcceptor->local_endpoint().port();
    cluster.NodeAddress = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  }
  if (cluster.NodeName.empty()) {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    cluster.NodeName = std::string(name) + ":" + std::to_string(port);
  }
  Cluster = std::make_unique<TClusterRegistry>(cluster, Io.get_executor(), LogFn);
  Cluster->OnTakenOver = [this](const std::string& AId, uint64_t AToken) {
    if (!Stopping) Hub->TakenOver(AId, AToken);
  };
  Cluster->OnRedisBack = [this] {
    if (!Stopping) Hub->AnnounceHosts();
  };
}

uint16_t TRelayServer::Start() {
  if (F->Started) throw TError("Relay server already started");
  F->Tls = MakeRelayTls(F->Options);
  F->ProxyFrom = TrustedProxies(F->Options.ProxyFrom);
  const bool cluster = !F->Options.Cluster.RedisAddress.empty();
  if (cluster)
    F->StartCluster();
  else
    F->Store = std::make_unique<TIdStore>(F->Options.DbPath);
  F->Hub = std::make_unique<TRelayHub>(F->Options, F->Store.get(), F->Cluster.get(), F->Io.get_executor(),
                                       F->Counters, F->Budget, F->LogFn);
  F->Acceptor = F->Listen(F->Options.ListenAddress, F->Options.Port, "clients");
  F->ClientEndpoint = F->Acceptor->local_endpoint();
  const uint16_t port = F->ClientEndpoint.port();
  F->SweepTimer = std::make_unique<asio::steady_timer>(F->Io);
  F->StartAccepting();
  asio::co_spawn(F->Io, F->SweepLoop(), asio::detached);
  if (cluster) {
    asio::co_spawn(F->Io, F->LinkAcceptLoop(), asio::detached);
    F->Cluster->Start();
  }
  F->Started = true;
  F->Thread = std::thread([impl = F.get()] {
    // The kernel splice into a socket whose peer has gone raises SIGPIPE (splice takes no
    // MSG_NOSIGNAL), which would end the whole process when the relay runs inside another program
    // or a test; blocked in this thread, the call just fails with EPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    try {
      impl->Io.run();
    } catch (const std::exception& e) {
      impl->LogFn(std::string("relay network thread failed: ") + e.what());
    }
    std::lock_guard<std::mutex> hold(impl->RunLock);
    impl->Ran = true;
    impl->RunEnded.notify_all();
  });
  F->LogFn("listening on " + F->Options.ListenAddress + ":" + std::to_string(port) +
            (!F->Tls ? "" : F->Tls->Only ? " (TLS only)" : " (TLS and plain)"));
  if (cluster) {
    const auto links = F->LinkAcceptor->local_endpoint();
    F->LogFn("node links on " + AddressText(links.address()) + ":" + std::to_string(links.port()) + " (node " +
             F->Options.Cluster.NodeName + ", redis " + F->Options.Cluster.RedisAddress + ")");
  }
  // The owner may look for these lines as soon as the relay runs.
  F->Writer->Flush();
  return port;
}

void TRelayServer::Stop() {
  if (!F->Started || F->Stopped) return;
  F->Stopped = true;
  asio::post(F->Io, [impl = F.get()] {
    impl->Stopping = true;
    asio::error_code ignored;
    impl->Acceptor->close(ignored);
    if (impl->LinkAcceptor) impl->LinkAcceptor->close(ignored);
    impl->SweepTimer->cancel();
    for (const auto& stream : impl->Refusing) stream->close(ignored);
    for (const auto& socket : impl->ReadingHeaders) socket->close(ignored);
    for (const auto& socket : impl->AcceptingLinks) socket->close(ignored);
    impl->Hub->CloseAll();
    impl->LogCounters();
  });
  {
    // Every coroutine ends once its socket or timer is closed; should one not, stop the
    // loop anyway.
    std::unique_lock<std::mutex> hold(F->RunLock);
    if (!F->RunEnded.wait_for(hold, StopGraceTime, [this] { return F->Ran; })) F->Io.stop();
  }
  F->Thread.join();
  // No handshake step may outlive the connections it works for.
  if (F->Tls) F->Tls->Workers.Stop();
  // Runs the releases of the hosts just closed, so other nodes need not wait for their
  // presence to run out.
  if (F->Cluster) F->Cluster->Stop();
  F->Hub->ForgetAll();
  F->Acceptor.reset();
  F->LinkAcceptor.reset();
  F->SweepTimer.reset();
  F->Store.reset();
  F->Hub->SummariseEvents();
  F->LogFn("stopped");
  F->Writer->Flush();
}

void TRelayServer::FlushLog() { F->Writer->Flush(); }

TRelayStats TRelayServer::Stats() const {
  TRelayStats s = F->Counters.Snapshot();
  s.LogLinesDropped = F->Writer->Dropped();
  return s;
}

}  // namespace tlm
