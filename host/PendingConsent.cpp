#include "host/PendingConsent.h"

namespace tlm {

std::optional<uint64_t> TPendingConsent::Open(std::string AViewerName, std::string AViewerIP, uint32_t ANowMs,
                                               uint32_t ALimitMs) {
  if (FOpen) return std::nullopt;
  FOpen = TRequest{++FLastTicket, std::move(AViewerName), std::move(AViewerIP), ANowMs, ALimitMs};
  return FOpen->Ticket;
}

std::optional<TPendingConsent::TRequest> TPendingConsent::End(uint64_t ATicket) {
  if (!FOpen || FOpen->Ticket != ATicket) return std::nullopt;
  std::optional<TRequest> ended = std::move(FOpen);
  FOpen.reset();
  return ended;
}

std::optional<uint64_t> TPendingConsent::Current() const {
  if (!FOpen) return std::nullopt;
  return FOpen->Ticket;
}

std::optional<uint64_t> TPendingConsent::Lapsed(uint32_t ANowMs) const {
  // Differences of the wrapping tick are taken as uint32_t.
  if (!FOpen || uint32_t(ANowMs - FOpen->AskedMs) < FOpen->LimitMs) return std::nullopt;
  return FOpen->Ticket;
}

bool TPendingConsent::IsOpen(uint64_t ATicket) const {
  return FOpen && FOpen->Ticket == ATicket;
}

}  // namespace tlm
