#include "relay/HostRegistry.h"

namespace tlm {

std::shared_ptr<TRelayConnection> THostRegistry::Take(const std::string& AId,
                                                      const std::shared_ptr<TRelayConnection>& AHost) {
  auto& holder = FById[AId];
  auto older = holder.lock();
  holder = AHost;
  if (older == AHost) return nullptr;
  return older;
}

void THostRegistry::Release(const std::string& AId, const TRelayConnection& AHost) {
  auto it = FById.find(AId);
  if (it == FById.end()) return;
  auto current = it->second.lock();
  if (!current || current.get() == &AHost) FById.erase(it);
}

std::shared_ptr<TRelayConnection> THostRegistry::Find(const std::string& AId) const {
  auto it = FById.find(AId);
  return it == FById.end() ? nullptr : it->second.lock();
}

}  // namespace tlm
