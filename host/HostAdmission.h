// THostAdmission: who may come in. It holds the host's password hash, the rule that holds the
// password back for a while after the user ended a session, and the one open consent question
// (host/PendingConsent.h). The password check answers at once; a request it does not admit
// becomes a consent question that the agent posts to the window, and the user's answer, the
// relay's withdrawal, the deadline and the loss of the connection each end it through End;
// the first wins.
//
// Any thread; one lock, held only inside each call.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "host/PendingConsent.h"

namespace tlm {

// Why the user is asked: the request came without a password proof, with one that did not
// match this host's password, or with the right one right after the user ended a session.
enum class EConsentCause { NoPassword, WrongPassword, JustEnded };

// One consent question for the user; answer it with THostAgent::AnswerConsent(Ticket, ...).
struct TConsentQuestion {
  uint64_t Ticket = 0;
  std::string ViewerName;
  std::string ViewerIP;
  EConsentCause Cause = EConsentCause::NoPassword;
  // An encrypted request: the session code the viewer's window shows too, for the user to
  // compare with the helper on the phone; empty for a request in clear.
  std::string SessionCode;
};

// How an admission request was decided.
enum class EAdmission { Password, Accepted, Refused, TimedOut, Withdrawn };
// The decision in the words of the admission record ("비밀번호", "동의", ...).
const char* AdmissionText(EAdmission AHow);

// A fresh one-time password: OneTimePasswordDigits decimal digits from the system's random
// source, easy to read out on the phone. TError when the system has no random source.
constexpr size_t OneTimePasswordDigits = 6;
std::string NewOneTimePassword();

struct TAdmissionRules {
  // A consent question nobody answers is declined after this long.
  uint32_t ConsentLimitMs = 60000;
  // For this long after the user ended a session, a request with the right password asks the
  // user too: a viewer that comes straight back (by hand or by its own retry) needs consent.
  uint32_t PasswordHoldMs = 120000;
};

// The passwords the handshake proves: First is the unattended one where it is set (the one a
// viewer built before second shares existed can prove), else the one-time one; Second is the
// one-time password beside an unattended one. Empty: none.
struct THandshakePasswords {
  std::string First, Second;
};

class THostAdmission {
public:
  THostAdmission(std::string APasswordHash, TAdmissionRules ARules);

  void SetPassword(std::string APasswordHash);
  // The one-time password's hash ("" : none); a proof made with it admits like the password.
  void SetOneTimePassword(std::string APasswordHash);
  // The user ended a session at ANowMs (a wrapping millisecond tick).
  void HoldPassword(uint32_t ANowMs);

  // The password check of a request to the host AHostId with the proof AProof (may be empty):
  // nullopt admits at once, otherwise the user is to be asked, for the reason given.
  std::optional<EConsentCause> Check(std::string_view AHostId, std::string_view AProof, uint32_t ANowMs);
  // For the end-to-end handshake, which checks the passwords itself: the hashes it runs with,
  // and whether a right password must still ask the user (JustEnded).
  THandshakePasswords HandshakePasswordHashes() const;
  bool PasswordHeld(uint32_t ANowMs);

  // The consent question, as TPendingConsent describes it; its deadline is ConsentLimitMs.
  std::optional<uint64_t> Ask(std::string AViewerName, std::string AViewerIP, uint32_t ANowMs);
  std::optional<TPendingConsent::TRequest> End(uint64_t ATicket);
  std::optional<uint64_t> Current() const;
  std::optional<uint64_t> Lapsed(uint32_t ANowMs) const;
  bool IsOpen(uint64_t ATicket) const;

private:
  const TAdmissionRules FRules;
  mutable std::mutex FLock;
  std::string FPasswordHash;
  std::string FOneTimeHash;
  std::optional<uint32_t> FHeldSince;
  TPendingConsent FQuestion;
};

}  // namespace tlm
