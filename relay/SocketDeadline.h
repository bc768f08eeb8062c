// A time limit on a run of socket operations inside one coroutine.
//
// When the time passes, the action given (closing the socket, say) runs, which ends whatever
// operation is pending with an error; Expired() then tells a time-out from any other failure.
// The destructor disarms the timer: its handler may still run later (a cancelled or already
// expired wait is delivered afterwards), but it then touches nothing, so the action may refer
// to objects that live only as long as the deadline. Use on the executor that runs the socket's
// operations (the relay's single network thread).
#pragma once

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace tlm {

class TSocketDeadline {
public:
  TSocketDeadline(const asio::any_io_executor& AExecutor, std::chrono::milliseconds ATimeout,
                  std::function<void()> AOnExpiry)
      : FTimer(AExecutor, ATimeout), FState(std::make_shared<TState>()) {
    FState->OnExpiry = std::move(AOnExpiry);
    FTimer.async_wait([state = FState](const asio::error_code& AError) {
      if (AError || !state->Armed) return;
      state->Armed = false;
      state->Expired = true;
      state->OnExpiry();
    });
  }
  ~TSocketDeadline() {
    FState->Armed = false;
    FState->OnExpiry = nullptr;
    FTimer.cancel();
  }
  TSocketDeadline(const TSocketDeadline&) = delete;
  TSocketDeadline& operator=(const TSocketDeadline&) = delete;

  bool Expired() const { return FState->Expired; }

private:
  struct TState {
    bool Armed = true;
    bool Expired = false;
    std::function<void()> OnExpiry;
  };
  asio::steady_timer FTimer;
  std::shared_ptr<TState> FState;
};

}  // namespace tlm
