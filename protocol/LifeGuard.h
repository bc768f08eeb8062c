// Liveness flag for work deferred to the user-interface thread. The owner keeps one
// reference and kills it before freeing anything a callback could touch; every queued
// callback keeps another and runs its procedure only while the guard is alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace tlm {

class ILifeGuard {
public:
  virtual ~ILifeGuard() = default;
  virtual bool Alive() const = 0;
  virtual void Kill() = 0;
};

class TLifeGuard final : public ILifeGuard {
public:
  bool Alive() const override { return FAlive.load(std::memory_order_acquire) != 0; }
  void Kill() override { FAlive.exchange(0, std::memory_order_acq_rel); }

private:
  std::atomic<int32_t> FAlive{1};
};

using TLifeGuardRef = std::shared_ptr<ILifeGuard>;

inline TLifeGuardRef NewLifeGuard() { return std::make_shared<TLifeGuard>(); }

}  // namespace tlm
