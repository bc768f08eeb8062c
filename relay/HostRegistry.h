// Which connection holds which host ID on this node.
//
// Contract: network thread only. A registration takes the ID from whichever connection held it
// before (the caller closes that one); a connection that ends gives its ID up unless a newer
// registration holds it by now.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

namespace tlm {

class TRelayConnection;

class THostRegistry {
public:
  // AHost holds AId from now on. Returns the other connection that held it until now, if it
  // is still there.
  std::shared_ptr<TRelayConnection> Take(const std::string& AId, const std::shared_ptr<TRelayConnection>& AHost);
  // AHost's registration for AId ends, unless a newer one holds the ID by now.
  void Release(const std::string& AId, const TRelayConnection& AHost);
  // The connection holding AId, or none.
  std::shared_ptr<TRelayConnection> Find(const std::string& AId) const;
  bool Holds(const std::string& AId) const { return FById.count(AId) > 0; }
  size_t Size() const { return FById.size(); }
  // Calls AVisit(id, connection) for every host still there.
  template <typename TVisit>
  void ForEach(TVisit&& AVisit) const {
    for (const auto& [id, weak] : FById)
      if (auto host = weak.lock()) AVisit(id, host);
  }

private:
  std::unordered_map<std::string, std::weak_ptr<TRelayConnection>> FById;
};

}  // namespace tlm
