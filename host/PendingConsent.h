// TPendingConsent: the host's one open consent question, as a record: who asked, from where,
// and when the question lapses. Asking the user is a state, not a blocked thread: the agent opens
// the record, posts the question to the window and goes back to reading the relay. The user's
// answer, the relay's withdrawal, the deadline and the loss of the connection each end the
// record through End; the first wins, and the others find nothing to end.
//
// Bound: one record. A second request while one is open is not recorded (Open answers
// nullopt): the agent declines it at once. A plain value: its owner (host/HostAdmission.h)
// guards it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tlm {

class TPendingConsent {
public:
  struct TRequest {
    uint64_t Ticket = 0;  // never 0 for a recorded request
    std::string ViewerName;
    std::string ViewerIP;
    uint32_t AskedMs = 0;  // wrapping millisecond tick
    uint32_t LimitMs = 0;
  };

  // Records a request asked at ANowMs that lapses ALimitMs later; its ticket, or nullopt when a
  // request is open already.
  std::optional<uint64_t> Open(std::string AViewerName, std::string AViewerIP, uint32_t ANowMs, uint32_t ALimitMs);
  // Ends the request ATicket if it is still open and hands it to the caller, who alone then owes
  // its outcome; nullopt when it has ended already (or never was).
  std::optional<TRequest> End(uint64_t ATicket);
  // The ticket of the open request, if any.
  std::optional<uint64_t> Current() const;
  // The ticket of the open request if its deadline has passed at ANowMs.
  std::optional<uint64_t> Lapsed(uint32_t ANowMs) const;
  bool IsOpen(uint64_t ATicket) const;

private:
  std::optional<TRequest> FOpen;
  uint64_t FLastTicket = 0;
};

}  // namespace tlm
