// The admission rules around the handshake that both ends apply, as pure logic: which path a
// host takes for a connect request, what a viewer makes of a packet while it waits for the
// host's reply, and how many wrong passwords a host takes before it stops offering the
// password path for a while.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string_view>

namespace tlm {

enum class THostAdmitPath {
  Secure,  // the request offers the handshake: MsgAdmitAccept, then admit inside the handshake
  Plain,   // a viewer without the handshake: the plain proof or consent, shown unencrypted
  Refuse,  // plain, and this host has RequireEncryption=1: MsgAdmitReject
};
// AProofField: the third field of MsgAdmitRequest.
THostAdmitPath HostAdmitPath(std::string_view AProofField, bool ARequireEncryption);

enum class TViewerWaitingPacket {
  Reply,         // MsgSecureReply: hand it to the handshake
  SecondShare,   // MsgSecureSecondShare: the host's second password, before its reply
  Abort,         // MsgSecureAbort: the host ended the handshake
  PlainTraffic,  // a session message a host sends in clear: the partner has no handshake
  Ignore,        // anything else (keep-alives, codes a host never sends)
};
// What a viewer that offered the handshake makes of a packet before the host's reply.
TViewerWaitingPacket ClassifyWhileAwaitingReply(uint32_t AType);

// Wrong passwords in a sliding window: past the limit the host answers password offers in
// consent mode (its user decides) until old failures age out, so whoever opens sessions as a
// viewer gets a handful of online guesses per window, not one per session.
class TPasswordGuessLimit {
public:
  using TClock = std::chrono::steady_clock;
  static constexpr size_t MaxFailures = 5;
  static constexpr std::chrono::minutes Window{10};

  bool PasswordAllowed(TClock::time_point ANow);
  void NoteFailure(TClock::time_point ANow);

private:
  void Forget(TClock::time_point ANow);
  std::deque<TClock::time_point> FFailures;  // at most MaxFailures entries
};

}  // namespace tlm
