#include "protocol/RelayChannel.h"

#include <chrono>

#include "protocol/Error.h"

namespace tlm {

namespace {

// Millisecond tick that wraps at 2^32; compare only differences taken as uint32_t.
uint32_t TickMs() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

TRelayChannel::TRelayChannel(TRelayChannelSettings ASettings)
    : FSettings(std::move(ASettings)),
      FConn(FSettings.Tls.value_or(DefaultRelayTls())),
      FWriter(FConn, FSettings.Limits) {
  // A write that fails ends the channel: the abort wakes the reader, which does the rest.
  FWriter.OnFailure = [this](const std::string& AWhy) {
    NoteCause(AWhy);
    FConn.Abort();
  };
}

TRelayChannel::~TRelayChannel() {
  End();
  Wait();
}

void TRelayChannel::Start() {
  std::lock_guard hold(FLock);
  if (FThread.joinable() || FFinished.load()) return;
  FThread = std::thread([this] { Run(); });
}

void TRelayChannel::End(const std::string& AWhy) {
  NoteCause(AWhy);
  FConn.Abort();
}

void TRelayChannel::Wait() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

std::string TRelayChannel::Cause() const {
  std::lock_guard hold(FLock);
  return FCause;
}

void TRelayChannel::NoteCause(const std::string& AWhy) {
  std::lock_guard hold(FLock);
  if (FCause.empty()) FCause = AWhy;
}

void TRelayChannel::Run() {
  bool connected = false;
  try {
    FConn.SetReadTimeout(FSettings.ReadTimeoutMs);
    FConn.SetWriteStallTimeout(FSettings.WriteStallMs);
    FConn.Connect(FSettings.Host, FSettings.Port, FSettings.ConnectTimeoutMs);
    FConn.SetNotSentLowWater(FSettings.NotSentLowWaterBytes);
    FWriter.Start();
    if (OnConnected) OnConnected();
    connected = true;
    uint32_t lastHeard = TickMs();
    for (;;) {
      if (OnTurn) OnTurn();
      if (!FConn.WaitReadable(FSettings.PollMs)) {
        if (FSettings.SilenceLimitMs > 0 && uint32_t(TickMs() - lastHeard) >= uint32_t(FSettings.SilenceLimitMs))
          throw TConnectionError("Read timed out");
        continue;
      }
      const TPacket packet = ReadPacket(FConn);
      lastHeard = TickMs();
      if (OnPacket) OnPacket(packet);
    }
  } catch (const std::exception& e) {
    // Closed, reset, timed out, too large, a handler's failure, or the abort of End or of a
    // failed write, whose cause came first.
    NoteCause(e.what());
  } catch (...) {
    NoteCause("Unknown failure");
  }
  FConn.Abort();  // wakes a producer blocked on the writer's behalf
  FWriter.Stop();
  std::string cause;
  {
    std::lock_guard hold(FLock);
    cause = FCause;
  }
  if (OnEnded) {
    try {
      OnEnded(cause, connected);
    } catch (...) {
      // the owner's clean-up reports its own failures
    }
  }
  // The socket goes now, not when the owner goes: no connection lingers half closed.
  FConn.Close();
  FFinished.store(true);
}

}  // namespace tlm
