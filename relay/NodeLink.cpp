#include "relay/NodeLink.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "relay/SocketDeadline.h"

namespace tlm {

namespace {

using asio::redirect_error;
using asio::use_awaitable;
using asio::ip::tcp;

// g++ 12 miscompiles co_await inside && and || conditions: every co_await below stands in a
// statement of its own.

constexpr std::string_view LinkMagic = "TLMLINK1";
constexpr size_t ChallengeBytes = 32;
constexpr size_t ProofBytes = 32;  // HMAC-SHA256
constexpr std::string_view DialLabel = "dial";
constexpr std::string_view AcceptLabel = "accept";

using TChallenge = std::array<uint8_t, ChallengeBytes>;
using TProof = std::array<uint8_t, ProofBytes>;

// The viewer's address ends up in tab-separated texts to hosts and in log lines: printable
// ASCII without spaces, at most MaxLinkAddressBytes.
bool ValidViewerAddress(std::string_view AAddress) {
  if (AAddress.empty() || AAddress.size() > MaxLinkAddressBytes) return false;
  for (const char c : AAddress)
    if (c <= 0x20 || c > 0x7E) return false;
  return true;
}

// HMAC-SHA256(secret, label | A | D | u16 length | address); false only when OpenSSL fails.
bool LinkProof(const std::string& ASecret, std::string_view ALabel, const TChallenge& AAccepting,
               const TChallenge& ADialling, std::string_view AAddress, TProof& AProof) {
  std::vector<uint8_t> text;
  text.reserve(ALabel.size() + 2 * ChallengeBytes + 2 + AAddress.size());
  text.insert(text.end(), ALabel.begin(), ALabel.end());
  text.insert(text.end(), AAccepting.begin(), AAccepting.end());
  text.insert(text.end(), ADialling.begin(), ADialling.end());
  text.push_back(uint8_t(AAddress.size()));
  text.push_back(uint8_t(AAddress.size() >> 8));
  text.insert(text.end(), AAddress.begin(), AAddress.end());
  unsigned len = 0;
  return HMAC(EVP_sha256(), ASecret.data(), int(ASecret.size()), text.data(), text.size(), AProof.data(), &len) !=
             nullptr &&
         len == ProofBytes;
}

bool SameProof(const TProof& AOne, const uint8_t* AOther) {
  return CRYPTO_memcmp(AOne.data(), AOther, ProofBytes) == 0;
}

bool FillRandom(TChallenge& AChallenge) { return RAND_bytes(AChallenge.data(), int(AChallenge.size())) == 1; }

// Closes ASocket and says why; what every failed handshake returns.
bool Fail(tcp::socket& ASocket, std::string& AWhy, std::string AText) {
  asio::error_code ignored;
  ASocket.close(ignored);
  AWhy = std::move(AText);
  return false;
}

// Why a socket operation of the handshake failed.
std::string Failure(const TSocketDeadline& ADeadline, std::string_view AStep, const asio::error_code& AError) {
  if (ADeadline.Expired()) return std::string(AStep) + ": timed out";
  if (AError == asio::error::eof) return std::string(AStep) + ": closed by the other node";
  return std::string(AStep) + ": " + AError.message();
}

// Connects ASocket to HOST:PORT, looking the name up first unless HOST is an address.
asio::awaitable<bool> Connect(tcp::socket& ASocket, tcp::resolver& AResolver, const std::string& AHost, uint16_t APort,
                              asio::error_code& AError) {
  std::vector<tcp::endpoint> endpoints;
  const auto literal = asio::ip::make_address(AHost, AError);
  if (!AError) {
    endpoints.emplace_back(literal, APort);
  } else {
    AError.clear();
    const auto results =
        co_await AResolver.async_resolve(AHost, std::to_string(APort), redirect_error(use_awaitable, AError));
    if (AError) co_return false;
    for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  }
  co_await asio::async_connect(ASocket, endpoints, redirect_error(use_awaitable, AError));
  co_return !AError;
}

}  // namespace

bool SplitHostPort(const std::string& AText, std::string& AHost, uint16_t& APort) {
  const auto colon = AText.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = AText.substr(0, colon);
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
    if (host.find_first_of("[]") != std::string::npos) return false;
  } else if (host.empty() || host.find_first_of(":[]") != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  const std::string port = AText.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long value = std::stoul(port);
  if (value > 65535) return false;
  AHost = std::move(host);
  APort = uint16_t(value);
  return true;
}

asio::awaitable<bool> DialNodeLink(tcp::socket& ASocket, const std::string& AAddress, const std::string& ASecret,
                                   const std::string& AViewerAddress, std::chrono::milliseconds ATimeout,
                                   std::string& AWhy) {
  if (ASecret.size() < MinClusterSecretBytes) co_return Fail(ASocket, AWhy, "the cluster secret is too short");
  if (!ValidViewerAddress(AViewerAddress)) co_return Fail(ASocket, AWhy, "unusable viewer address");
  std::string host;
  uint16_t port = 0;
  if (!SplitHostPort(AAddress, host, port) || port == 0)
    co_return Fail(ASocket, AWhy, "bad node address '" + AAddress + "'");

  tcp::resolver resolver(ASocket.get_executor());
  // Closing the socket ends a connect or a read; a name lookup is cancelled instead (its
  // answer is then dropped when it comes).
  TSocketDeadline deadline(ASocket.get_executor(), ATimeout, [&ASocket, &resolver] {
    asio::error_code ignored;
    ASocket.close(ignored);
    resolver.cancel();
  });
  asio::error_code error;
  const bool connected = co_await Connect(ASocket, resolver, host, port, error);
  if (!connected) co_return Fail(ASocket, AWhy, Failure(deadline, "cannot reach " + AAddress, error));
  asio::error_code ignored;
  ASocket.set_option(tcp::no_delay(true), ignored);  // the link carries keys and mouse moves

  std::array<uint8_t, LinkMagic.size() + ChallengeBytes> greeting;
  co_await asio::async_read(ASocket, asio::buffer(greeting), redirect_error(use_awaitable, error));
  if (error) co_return Fail(ASocket, AWhy, Failure(deadline, "no challenge from " + AAddress, error));
  if (std::memcmp(greeting.data(), LinkMagic.data(), LinkMagic.size()) != 0)
    co_return Fail(ASocket, AWhy, AAddress + " is not a relay node's link port");
  TChallenge accepting, dialling;
  std::memcpy(accepting.data(), greeting.data() + LinkMagic.size(), ChallengeBytes);
  if (!FillRandom(dialling)) co_return Fail(ASocket, AWhy, "no random bytes for the challenge");

  TProof proof;
  if (!LinkProof(ASecret, DialLabel, accepting, dialling, AViewerAddress, proof))
    co_return Fail(ASocket, AWhy, "cannot compute the link proof");
  std::vector<uint8_t> dial(dialling.begin(), dialling.end());
  dial.push_back(uint8_t(AViewerAddress.size()));
  dial.push_back(uint8_t(AViewerAddress.size() >> 8));
  dial.insert(dial.end(), AViewerAddress.begin(), AViewerAddress.end());
  dial.insert(dial.end(), proof.begin(), proof.end());
  co_await asio::async_write(ASocket, asio::buffer(dial), redirect_error(use_awaitable, error));
  if (error) co_return Fail(ASocket, AWhy, Failure(deadline, "cannot send the dial message", error));

  std::array<uint8_t, ProofBytes> answer;
  co_await asio::async_read(ASocket, asio::buffer(answer), redirect_error(use_awaitable, error));
  if (error) co_return Fail(ASocket, AWhy, Failure(deadline, "no proof from " + AAddress, error));
  if (!LinkProof(ASecret, AcceptLabel, accepting, dialling, AViewerAddress, proof))
    co_return Fail(ASocket, AWhy, "cannot compute the link proof");
  if (!SameProof(proof, answer.data()))
    co_return Fail(ASocket, AWhy, AAddress + " does not prove the cluster secret");
  // The time-out may have closed the socket after the last read completed.
  if (deadline.Expired()) co_return Fail(ASocket, AWhy, "handshake with " + AAddress + ": timed out");
  co_return true;
}

asio::awaitable<bool> AcceptNodeLink(tcp::socket& ASocket, const std::string& ASecret,
                                     std::chrono::milliseconds ATimeout, std::string& AViewerAddress,
                                     std::string& AWhy) {
  if (ASecret.size() < MinClusterSecretBytes) co_return Fail(ASocket, AWhy, "the cluster secret is too short");
  TSocketDeadline deadline(ASocket.get_executor(), ATimeout, [&ASocket] {
    asio::error_code ignored;
    ASocket.close(ignored);
  });
  asio::error_code ignored;
  ASocket.set_option(tcp::no_delay(true), ignored);  // the link carries keys and mouse moves
  TChallenge accepting, dialling;
  if (!FillRandom(accepting)) co_return Fail(ASocket, AWhy, "no random bytes for the challenge");
  std::vector<uint8_t> greeting(LinkMagic.begin(), LinkMagic.end());
  greeting.insert(greeting.end(), accepting.begin(), accepting.end());
  asio::error_code error;
  co_await asio::async_write(ASocket, asio::buffer(greeting), redirect_error(use_awaitable, error));
  if (error) co_return Fail(ASocket, AWhy, Failure(deadline, "cannot send the challenge", error));

  // The dial message in two reads: the fixed part says how long the address is, and nothing
  // is read for an address that may not be that long.
  std::array<uint8_t, ChallengeBytes + 2> head;
  co_await asio::async_read(ASocket, asio::buffer(head), redirect_error(use_awaitable, error));
  if (error) co_return Fail(ASocket, AWhy, Failure(deadline, "no dial message", error));
  std::memcpy(dialling.data(), head.data(), ChallengeBytes);
  const size_t addressLen = size_t(head[ChallengeBytes]) | size_t(head[ChallengeBytes + 1]) << 8;
  if (addressLen == 0 || addressLen > MaxLinkAddressBytes)
    co_return Fail(ASocket, AWhy, "bad viewer address length " + std::to_string(addressLen));
  std::vector<uint8_t> rest(addressLen + ProofBytes);
  co_await asio::async_read(ASocket, asio::buffer(rest), redirect_error(use_awaitable, error));
  if (error) co_return Fail(ASocket, AWhy, Failure(deadline, "incomplete dial message", error));
  const std::string address(rest.begin(), rest.begin() + addressLen);
  if (!ValidViewerAddress(address)) co_return Fail(ASocket, AWhy, "unusable viewer address");

  TProof proof;
  if (!LinkProof(ASecret, DialLabel, accepting, dialling, address, proof))
    co_return Fail(ASocket, AWhy, "cannot compute the link proof");
  if (!SameProof(proof, rest.data() + addressLen))
    co_return Fail(ASocket, AWhy, "the dialling node does not prove the cluster secret");
  if (!LinkProof(ASecret, AcceptLabel, accepting, dialling, address, proof))
    co_return Fail(ASocket, AWhy, "cannot compute the link proof");
  co_await asio::async_write(ASocket, asio::buffer(proof), redirect_error(use_awaitable, error));
  if (error) co_return Fail(ASocket, AWhy, Failure(deadline, "cannot send the proof", error));
  if (deadline.Expired()) co_return Fail(ASocket, AWhy, "handshake: timed out");
  AViewerAddress = address;
  co_return true;
}

}  // namespace tlm
