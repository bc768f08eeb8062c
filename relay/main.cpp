// tlmrelay: the relay server process. Parses its flags, runs a TRelayServer and stops it
// cleanly on SIGINT or SIGTERM.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "protocol/Error.h"
#include "relay/RelayServer.h"
#include "tlm/Version.h"

namespace {

void Usage() {
  std::cout << "usage: tlmrelay [options]\n"
               "  --listen ADDR:PORT          listen address (default 0.0.0.0:59000; [::]:59000 for IPv6)\n"
               "  --db PATH                   ID database file (default tlmrelay.db)\n"
               "  --max-connections N         total connections (default 10000)\n"
               "  --max-per-ip N              connections per address (default 64)\n"
               "  --requests-per-minute N     connect requests per address per minute (default 20)\n"
               "  --queue-limit BYTES         outgoing queue per connection (default 4194304)\n"
               "  --admission-timeout SEC     how long a viewer waits for the host's answer (default 120)\n"
               "  --idle-timeout SEC          drop connections silent this long (default 300)\n"
               "  --keepalive SEC             keep-alive to viewers sent nothing this long (default 15)\n"
               "  --stats-interval SEC        counters log interval (default 60)\n"
               "  --tls-cert FILE             PEM certificate chain: accept TLS on the same port\n"
               "  --tls-key FILE              PEM private key of that certificate\n"
               "  --tls-only                  refuse plain (unencrypted) connections\n"
               "  --version                   print the version and exit\n"
               "  --help                      print this list and exit\n";
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

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  tlm::TRelayOptions options;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string flag = argv[i];
      if (flag == "--help" || flag == "-h") {
        Usage();
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
      else if (flag == "--queue-limit") options.QueueLimitBytes = Number(flag, value);
      else if (flag == "--admission-timeout") options.AdmissionTimeout = seconds(Number(flag, value));
      else if (flag == "--idle-timeout") options.IdleTimeout = seconds(Number(flag, value));
      else if (flag == "--keepalive") options.ViewerKeepAlive = seconds(Number(flag, value));
      else if (flag == "--stats-interval") options.StatsInterval = seconds(Number(flag, value));
      else if (flag == "--tls-cert") options.TlsCertFile = value;
      else if (flag == "--tls-key") options.TlsKeyFile = value;
      else throw tlm::TError("unknown option " + flag);
    }
    if (options.QueueLimitBytes == 0 || options.ViewerKeepAlive.count() == 0 || options.IdleTimeout.count() == 0 ||
        options.AdmissionTimeout.count() == 0 || options.StatsInterval.count() == 0)
      throw tlm::TError("time-outs, intervals and the queue limit must be above 0");
  } catch (const tlm::TError& e) {
    std::cerr << "tlmrelay: " << e.what() << "\n";
    Usage();
    return 2;
  }

  RaiseDescriptorLimit();
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
