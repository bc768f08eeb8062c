// Prints, for a 64 KiB file chunk and a 400 KB frame: microseconds per seal, per open (in the
// packet's own buffer) and per plain memcpy of the same bytes (the floor every packet pays
// already), their ratios, and MB/s.
// Then the cost of one full handshake (both ends, password and consent). Figures only.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/Stats.h"
#include "protocol/Credentials.h"
#include "protocol/Messages.h"
#include "protocol/SecureHandshake.h"

namespace {

using TClock = std::chrono::steady_clock;

// Median microseconds per call of AWork over ARounds rounds of AReps calls.
template <typename TWork>
double MicrosPerCall(int ARounds, int AReps, TWork AWork) {
  std::vector<double> rounds;
  for (int r = 0; r < ARounds; ++r) {
    const auto start = TClock::now();
    for (int i = 0; i < AReps; ++i) AWork();
    rounds.push_back(std::chrono::duration<double, std::micro>(TClock::now() - start).count() / AReps);
  }
  return tlm::bench::Median(rounds);
}

volatile uint8_t GSink;

void Sizes() {
  std::printf("%-10s %12s %12s %12s %10s %10s %12s\n", "payload", "memcpy us", "seal us", "open us", "seal/cpy",
              "open/cpy", "seal MB/s");
  for (size_t size : {size_t(65536), size_t(400000)}) {
    tlm::TBytes payload(size);
    for (size_t i = 0; i < size; ++i) payload[i] = uint8_t(i * 131 + 7);
    tlm::TSealKey key;
    key.fill(0x11);
    const int reps = size > 100000 ? 200 : 1000;

    tlm::TBytes copy(size);
    const double copyUs = MicrosPerCall(9, reps, [&] {
      std::memcpy(copy.data(), payload.data(), size);
      GSink = copy[size / 2];
    });
    tlm::TSealer sealer(key);
    const double sealUs = MicrosPerCall(9, reps, [&] { GSink = sealer.Seal(tlm::MsgFrame, payload)[0]; });
    // Open needs the packets in order: seal them beforehand (not timed), then open them all.
    tlm::TSealer inOrder(key);
    std::vector<tlm::TBytes> sealed;
    for (int i = 0; i < 9 * reps; ++i) sealed.push_back(inOrder.Seal(tlm::MsgFrame, payload));
    // As the reader will: decrypting in the received packet's own buffer.
    tlm::TOpener opener(key);
    size_t next = 0;
    const double openUs = MicrosPerCall(9, reps, [&] { GSink = opener.Open(std::move(sealed[next++])).Payload[0]; });
    std::printf("%-10zu %12.1f %12.1f %12.1f %10.1f %10.1f %12.0f\n", size, copyUs, sealUs, openUs, sealUs / copyUs,
                openUs / copyUs, double(size) / sealUs);
  }
}

void Handshakes() {
  const tlm::TIdentityKey identity = tlm::TIdentityKey::Generate();
  const std::string hash = tlm::HashPassword("bench");
  for (bool password : {false, true}) {
    const double us = MicrosPerCall(5, 50, [&] {
      tlm::THostHandshake host(identity, "123456789", password ? hash : "");
      tlm::TViewerHandshake viewer("123456789", "", "bench", password ? hash : "");
      host.OnConfirm(viewer.OnReply(host.OnHello(viewer.Start())));
      viewer.OnSealed(host.Admit());
    });
    std::printf("handshake (%s, both ends): %.0f us\n", password ? "password" : "consent", us);
  }
}

}  // namespace

int main() {
  Sizes();
  Handshakes();
  return 0;
}
