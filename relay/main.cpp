// tlmrelay: the relay server process. Parses its flags, runs a TRelayServer and stops it
// cleanly on SIGINT or SIGTERM.
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "protocol/Error.h"
#include "relay/RelayServer.h"
#include "tlm/Version.h"

namespace {

// ADefaultConnections: the --max-connections default that applies in this process.
void Usage(size_t ADefaultConnections) {
  std::cout << "usage: tlmrelay [options]\n"
               "  --listen ADDR:PORT          listen address (default 0.0.0.0:59000; [::]:59000 for IPv6)\n"
               "  --db PATH                   ID database file (default tlmrelay.db)\n"
               "  --max-connections N         total connections (default "
            << ADefaultConnections
            << ")\n"
               "                              the descriptor limit less 100, at most 200000\n"
               "  --max-per-ip N              connections per address (default 64)\n"
               "  --requests-per-minute N     connect requests per address per minute (default 20)\n"
               "  --requests-per-host N       connect requests from one address reaching one host ID per\n"
               "                              minute, accepted ones not counted (default 10)\n"
               "  --new-keys-per-ip N         new device keys per address per minute (default 10)\n"
               "  --new-keys-per-second N     new device keys per second in all (default 20)\n"
               "  --forget-after DAYS         remove IDs not seen for this long (default 180; 0 never)\n"
               "  --queue-limit BYTES         outgoing queue per connection (default 262144)\n"
               "  --max-queued-bytes BYTES    outgoing queues in all (default a quarter of memory, at most 1 GiB)\n"
               "  --first-packet-timeout SEC  a new connection's first packet must be complete by then (default 10)\n"
               "  --packet-time SEC           a packet begun must be complete within SEC + its size at\n"
               "                              --min-packet-rate (default 30)\n"
               "  --min-packet-rate BYTES     bytes per second a packet must at least arrive at (default 65536)\n"
               "  --admission-timeout SEC     how long a viewer waits for the host's answer (default 120)\n"
               "  --idle-timeout SEC          drop connections silent this long (default 300)\n"
               "  --keepalive SEC             keep-alive to viewers sent nothing this long (default 15)\n"
               "  --stats-interval SEC        counters log interval (default 60)\n"
               "  --log-burst N               log lines of one kind per minute; more are summarised (default 20)\n"
               "  --tls-cert FILE             PEM certificate chain: accept TLS on the same port\n"
               "  --tls-key FILE              PEM private key of that certificate\n"
               "  --tls-only                  refuse plain (unencrypted) connections\n"
               "  --tls-handshakes-per-ip N   TLS handshakes one address may start per second, in bursts of\n"
               "                              as many; more wait their turn (default 10)\n"
               "  --proxy-from ADDR[,ADDR...] load balancers whose connections start with a PROXY protocol\n"
               "                              header (v1 or v2) naming the client's address\n"
               "Cluster node (several nodes behind a TCP load balancer, sharing one Redis):\n"
               "  --redis HOST:PORT           keep IDs and presence in this Redis (default: single node, --db)\n"
               "  --redis-password TEXT       Redis AUTH password\n"
               "  --node-name NAME            this node's name in the cluster (default: host name:link port)\n"
               "  --node-address HOST:PORT    where other nodes reach this node for node links (required)\n"
               "  --cluster-listen ADDR:PORT  bind node links here instead of the node address\n"
               "  --cluster-secret-file FILE  the nodes' shared secret, at least 16 bytes (required)\n"
               "  --presence-ttl SEC          how long a host stays with a node that stops renewing it (default 60)\n"
               "  --version                   print the version and exit\n"
               "  --help                      print this list and exit\n"
               "Addresses count for the per-address limits as they are (IPv4) or by their /64 prefix (IPv6).\n";
}

unsigned long long Number(const std::string& AFlag, const char* AText) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(AText, &end, 10);
  if (errno != 0 || end == AText || *end != '\0') throw tlm::TError("bad number for " + AFlag + ": " + AText);
  return value;
}

void ParseListen(const std::string& AText, tlm::TRelayOptions& AOptions) {
  const auto colon = AText.rfind(':');
  if (colon == std::string::npos) throw tlm::TError("--listen wants ADDR:PORT");
  std::string host = AText.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const auto port = Number("--listen", AText.c_str() + colon + 1);
  if (port > 65535) throw tlm::TError("port out of range: " + AText);
  AOptions.ListenAddress = host.empty() ? "0.0.0.0" : host;
  AOptions.Port = uint16_t(port);
}

// Comma-separated addresses; the relay checks each when it starts.
void AddProxies(const std::string& AText, tlm::TRelayOptions& AOptions) {
  size_t start = 0;
  for (;;) {
    const auto comma = AText.find(',', start);
    const std::string address = AText.substr(start, comma - start);
    if (address.empty()) throw tlm::TError("--proxy-from wants ADDR[,ADDR...]");
    AOptions.ProxyFrom.push_back(address);
    if (comma == std::string::npos) return;
    start = comma + 1;
  }
}

// The cluster secret: the file's bytes without trailing blanks and line breaks.
std::string ReadSecret(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) throw tlm::TError("cannot read the cluster secret file " + APath);
  std::ostringstream text;
  text << in.rdbuf();
  std::string secret = text.str();
  while (!secret.empty() && std::isspace(static_cast<unsigned char>(secret.back()))) secret.pop_back();
  return secret;
}

// Raises the soft descriptor limit to the hard one; returns the limit now in force.
rlim_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

// Descriptors kept for everything but client connections (database, listener, epoll, ...).
constexpr rlim_t ReservedDescriptors = 100;
// Room for 100,000 hosts and as many viewers; more would rather need a second node.
constexpr rlim_t MaxDefaultConnections = 200000;

// Each connection holds one descriptor: more connections than descriptors would only turn
// into failed accepts.
size_t DefaultConnections(rlim_t ADescriptors) {
  if (ADescriptors <= 2 * ReservedDescriptors) return tlm::TRelayOptions{}.MaxConnections;
  return size_t(std::min(ADescriptors - ReservedDescriptors, MaxDefaultConnections));
}

}  // namespace

int main(int argc, char** argv) {
  const size_t defaultConnections = DefaultConnections(RaiseDescriptorLimit());
  tlm::TRelayOptions options;
  options.MaxConnections = defaultConnections;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string flag = argv[i];
      if (flag == "--help" || flag == "-h") {
        Usage(defaultConnections);
        return 0;
      }
      if (flag == "--tls-only") {
        options.TlsOnly = true;
        continue;
      }
      if (flag == "--version") {
        std::cout << "tlmrelay " << tlm::ProgramVersion << "\n";
        return 0;
      }
      if (i + 1 >= argc) throw tlm::TError("missing value for " + flag);
      const char* value = argv[++i];
      using std::chrono::seconds;
      if (flag == "--listen") ParseListen(value, options);
      else if (flag == "--db") options.DbPath = value;
      else if (flag == "--max-connections") options.MaxConnections = Number(flag, value);
      else if (flag == "--max-per-ip") options.MaxConnectionsPerIp = Number(flag, value);
      else if (flag == "--requests-per-minute") options.ConnectRequestsPerIpPerMinute = Number(flag, value);
      else if (flag == "--requests-per-host") options.ConnectRequestsPerHostPerMinute = Number(flag, value);
      else if (flag == "--new-keys-per-ip") options.NewKeysPerIpPerMinute = Number(flag, value);
      else if (flag == "--new-keys-per-second") options.NewKeysPerSecond = Number(flag, value);
      else if (flag == "--forget-after") options.ForgetAfter = std::chrono::hours(24 * Number(flag, value));
      else if (flag == "--queue-limit") options.QueueLimitBytes = Number(flag, value);
      else if (flag == "--max-queued-bytes") options.MaxQueuedBytes = Number(flag, value);
      else if (flag == "--first-packet-timeout") options.FirstPacketTimeout = seconds(Number(flag, value));
      else if (flag == "--packet-time") options.PacketCompletionTime = seconds(Number(flag, value));
      else if (flag == "--min-packet-rate") options.MinPacketRate = Number(flag, value);
      else if (flag == "--log-burst") options.LogBurst = Number(flag, value);
      else if (flag == "--admission-timeout") options.AdmissionTimeout = seconds(Number(flag, value));
      else if (flag == "--idle-timeout") options.IdleTimeout = seconds(Number(flag, value));
      else if (flag == "--keepalive") options.ViewerKeepAlive = seconds(Number(flag, value));
      else if (flag == "--stats-interval") options.StatsInterval = seconds(Number(flag, value));
      else if (flag == "--tls-cert") options.TlsCertFile = value;
      else if (flag == "--tls-key") options.TlsKeyFile = value;
      else if (flag == "--tls-handshakes-per-ip") options.TlsHandshakesPerIpPerSecond = Number(flag, value);
      else if (flag == "--proxy-from") AddProxies(value, options);
      else if (flag == "--redis") options.Cluster.RedisAddress = value;
      else if (flag == "--redis-password") options.Cluster.RedisPassword = value;
      else if (flag == "--node-name") options.Cluster.NodeName = value;
      else if (flag == "--node-address") options.Cluster.NodeAddress = value;
      else if (flag == "--cluster-listen") options.Cluster.ListenAddress = value;
      else if (flag == "--cluster-secret-file") options.Cluster.Secret = ReadSecret(value);
      else if (flag == "--presence-ttl") options.Cluster.PresenceTtl = seconds(Number(flag, value));
      else throw tlm::TError("unknown option " + flag);
    }
    if (options.QueueLimitBytes == 0 || options.ViewerKeepAlive.count() == 0 || options.IdleTimeout.count() == 0 ||
        options.AdmissionTimeout.count() == 0 || options.StatsInterval.count() == 0 ||
        options.FirstPacketTimeout.count() == 0 || options.PacketCompletionTime.count() == 0 ||
        options.MinPacketRate == 0 || options.TlsHandshakesPerIpPerSecond == 0)
      throw tlm::TError("time-outs, intervals, the packet and handshake rates and the queue limit must be above 0");
    const bool clusterFlags = !options.Cluster.NodeAddress.empty() || !options.Cluster.Secret.empty() ||
                              !options.Cluster.NodeName.empty() || !options.Cluster.ListenAddress.empty();
    if (options.Cluster.RedisAddress.empty() && clusterFlags)
      throw tlm::TError("--node-address, --node-name, --cluster-listen and --cluster-secret-file need --redis");
    if (!options.Cluster.RedisAddress.empty() &&
        (options.Cluster.NodeAddress.empty() || options.Cluster.Secret.empty()))
      throw tlm::TError("a cluster node (--redis) needs --node-address and --cluster-secret-file");
    if (options.Cluster.PresenceTtl.count() == 0) throw tlm::TError("--presence-ttl must be above 0");
  } catch (const tlm::TError& e) {
    std::cerr << "tlmrelay: " << e.what() << "\n";
    Usage(defaultConnections);
    return 2;
  }

  // Block the stop signals in every thread (the network thread inherits the mask), then
  // wait for one here.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  tlm::TRelayServer server(options);
  try {
    server.Start();
  } catch (const tlm::TError& e) {
    std::cerr << "tlmrelay: " << e.what() << "\n";
    return 1;
  }
  int received = 0;
  sigwait(&stopSignals, &received);
  std::cerr << "tlmrelay: " << (received == SIGINT ? "SIGINT" : "SIGTERM") << ", stopping\n";
  server.Stop();
  return 0;
}
