#include "relay/RelayConnection.h"

#include <algorithm>
#include <cstring>

#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/RelayHub.h"

namespace tlm {

namespace {

using asio::redirect_error;
using asio::use_awaitable;

constexpr size_t SmallReadBuffer = 4096;
constexpr size_t LargeReadBuffer = 128 * 1024;
// Forwarded payload goes into the partner's queue in pieces of at most this size, so a
// full queue overshoots its limit by at most one piece.
constexpr size_t ForwardPiece = 64 * 1024;
// g++ 12 miscompiles co_await inside && and || conditions: every co_await below stands in
// a statement of its own.

// Small packets queued back to back share one buffer up to this size.
constexpr size_t CoalesceLimit = 64 * 1024;
// One gathered write takes at most this much, so write progress is seen often.
constexpr size_t WriteBatchBytes = 256 * 1024;
constexpr size_t WriteBatchBuffers = 64;
constexpr auto CloseGraceTime = std::chrono::seconds(5);

}  // namespace

TRelayConnection::TRelayConnection(asio::ip::tcp::socket ASocket, TRelayHub& AHub, std::string AAddress)
    : FSocket(std::move(ASocket)),
      FHub(AHub),
      FAddress(std::move(AAddress)),
      FIn(SmallReadBuffer),
      FWriteSignal(FSocket.get_executor()),
      FResume(FSocket.get_executor()),
      FLinger(FSocket.get_executor()) {
  const auto now = TRelayClock::now();
  FLastReceived = FLastSent = FLastWriteProgress = now;
}

TRelayConnection::~TRelayConnection() { FHub.QueueShrank(FQueued); }

void TRelayConnection::Start() {
  auto self = shared_from_this();
  asio::co_spawn(FSocket.get_executor(), [self]() { return self->ReadLoop(); }, asio::detached);
  asio::co_spawn(FSocket.get_executor(), [self]() { return self->WriteLoop(); }, asio::detached);
}

void TRelayConnection::SendPacket(uint32_t AType, std::span<const uint8_t> APayload) {
  const TBytes packet = EncodePacket(AType, APayload);
  Enqueue(packet.data(), packet.size());
}

void TRelayConnection::SendText(uint32_t AType, std::string_view AText) {
  SendPacket(AType, std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
}

void TRelayConnection::Enqueue(const uint8_t* AData, size_t ALen) {
  if (FAborted || ALen == 0) return;
  // The elements the writer is writing now must not move; later ones may grow.
  if (FQueue.size() > FInFlight && FQueue.back().size() + ALen <= CoalesceLimit) {
    FQueue.back().insert(FQueue.back().end(), AData, AData + ALen);
  } else {
    FQueue.emplace_back(AData, AData + ALen);
  }
  const auto now = TRelayClock::now();
  if (FQueued == 0) FLastWriteProgress = now;
  FQueued += ALen;
  FLastSent = now;
  FHub.QueueGrew(FQueued, ALen);
  FWriteSignal.cancel();
}

void TRelayConnection::Detach() {
  if (FDetached) return;
  FDetached = true;
  FHub.Detach(*this);
}

void TRelayConnection::WakeBlockedSender() {
  if (auto sender = FBlockedSender.lock()) {
    FBlockedSender.reset();
    sender->FResume.cancel();
  }
}

void TRelayConnection::Close() {
  if (FClosing) return;
  auto self = shared_from_this();
  FClosing = true;
  Detach();
  FWriteSignal.cancel();
  FResume.cancel();
  WakeBlockedSender();
  // A peer that neither reads what is left nor closes its side gets cut off.
  FLinger.expires_after(CloseGraceTime);
  FLinger.async_wait([self](const asio::error_code& AError) {
    if (!AError) self->Abort();
  });
}

void TRelayConnection::Abort() {
  if (FAborted) return;
  auto self = shared_from_this();
  FAborted = true;
  FClosing = true;
  Detach();
  asio::error_code ignored;
  FSocket.shutdown(asio::socket_base::shutdown_both, ignored);
  FSocket.close(ignored);
  FWriteSignal.cancel();
  FResume.cancel();
  FLinger.cancel();
  WakeBlockedSender();
  FHub.NoteClosed(*this);
}

asio::awaitable<bool> TRelayConnection::Fill() {
  if (FInBegin == FInEnd) {
    FInBegin = FInEnd = 0;
  } else if (FInEnd == FIn.size()) {
    std::memmove(FIn.data(), FIn.data() + FInBegin, FInEnd - FInBegin);
    FInEnd -= FInBegin;
    FInBegin = 0;
  }
  asio::error_code error;
  const size_t n = co_await FSocket.async_read_some(asio::buffer(FIn.data() + FInEnd, FIn.size() - FInEnd),
                                                    redirect_error(use_awaitable, error));
  if (error || n == 0) co_return false;
  FInEnd += n;
  FLastReceived = TRelayClock::now();
  co_return true;
}

asio::awaitable<bool> TRelayConnection::ReadExact(uint8_t* AOut, size_t ALen) {
  while (ALen > 0) {
    if (FInBegin == FInEnd) {
      const bool more = co_await Fill();
      if (!more) co_return false;
    }
    const size_t n = std::min(ALen, FInEnd - FInBegin);
    std::memcpy(AOut, FIn.data() + FInBegin, n);
    FInBegin += n;
    AOut += n;
    ALen -= n;
  }
  co_return true;
}

asio::awaitable<bool> TRelayConnection::Skip(size_t ALen) {
  while (ALen > 0) {
    if (FInBegin == FInEnd) {
      const bool more = co_await Fill();
      if (!more) co_return false;
    }
    const size_t n = std::min(ALen, FInEnd - FInBegin);
    FInBegin += n;
    ALen -= n;
  }
  co_return true;
}

asio::awaitable<bool> TRelayConnection::WaitForRoom(TRelayConnection& ATo) {
  bool paused = false;
  while (ATo.FQueued >= FHub.QueueLimit() && !ATo.FClosing && !FClosing) {
    ATo.FBlockedSender = weak_from_this();
    FPaused = paused = true;
    FResume.expires_at(TRelayClock::time_point::max());
    asio::error_code ignored;
    co_await FResume.async_wait(redirect_error(use_awaitable, ignored));
    FPaused = false;
  }
  // Time spent held back by the partner is not idleness of this peer.
  if (paused) FLastReceived = TRelayClock::now();
  co_return !FClosing;
}

asio::awaitable<bool> TRelayConnection::Forward(std::shared_ptr<TRelayConnection> ATo, const uint8_t* AHeader,
                                                uint32_t ALen) {
  if (ALen > FIn.size() && FIn.size() < LargeReadBuffer) FIn.resize(LargeReadBuffer);
  const bool open = co_await WaitForRoom(*ATo);
  if (!open) co_return false;
  bool deliver = !ATo->FClosing;
  if (deliver) {
    ATo->Enqueue(AHeader, PacketHeaderSize);
    ATo->FPartialOut = ALen > 0;
    FHub.AddRelayed(PacketHeaderSize);
  }
  uint32_t left = ALen;
  while (left > 0) {
    if (FInBegin == FInEnd) {
      const bool more = co_await Fill();
      if (!more) co_return false;
    }
    const size_t n = std::min({size_t(left), FInEnd - FInBegin, ForwardPiece});
    if (deliver) {
      const bool stillOpen = co_await WaitForRoom(*ATo);
      if (!stillOpen) co_return false;
      // A receiver that went away meanwhile gets nothing more; the rest is read and dropped.
      deliver = !ATo->FClosing;
      if (deliver) {
        ATo->Enqueue(FIn.data() + FInBegin, n);
        FHub.AddRelayed(n);
      }
    }
    FInBegin += n;
    left -= uint32_t(n);
  }
  if (deliver) ATo->FPartialOut = false;
  co_return true;
}

asio::awaitable<void> TRelayConnection::DiscardUntilClosed() {
  while (!FAborted) {
    const bool more = co_await Fill();
    if (!more) break;
    FInBegin = FInEnd;
  }
}

asio::awaitable<void> TRelayConnection::ReadLoop() {
  try {
    uint8_t header[PacketHeaderSize];
    while (!FClosing) {
      const bool complete = co_await ReadExact(header, sizeof header);
      if (!complete) break;
      if (FClosing) break;
      const uint32_t type = GetLE32(header);
      const uint32_t len = GetLE32(header + 4);
      if (len > MaxPacketPayload) {
        FHub.Log("closing " + FAddress + ": packet too large (" + std::to_string(len) + " bytes)");
        break;
      }
      const TRelayHub::TRoute route = FHub.Route(*this, type);
      bool more = true;
      switch (route.Kind) {
        case TRelayHub::TRouteKind::Consume: {
          if (len > MaxControlPayload) {
            FHub.RefuseOversizedControl(*this, type, len);
            break;
          }
          TBytes payload(len);
          more = co_await ReadExact(payload.data(), len);
          if (more && !FClosing) FHub.Handle(*this, type, payload);
          break;
        }
        case TRelayHub::TRouteKind::Forward:
          more = co_await Forward(route.Target, header, len);
          break;
        case TRelayHub::TRouteKind::Drop:
          more = co_await Skip(len);
          break;
      }
      if (!more) break;
    }
    // After Close: keep reading (and dropping) until the peer closes, so that what we
    // queued for it is not destroyed by a reset.
    if (FClosing && !FAborted) co_await DiscardUntilClosed();
  } catch (const std::exception& e) {
    FHub.Log("connection " + FAddress + " failed: " + e.what());
  }
  Abort();
}

asio::awaitable<void> TRelayConnection::WriteLoop() {
  std::vector<asio::const_buffer> batch;
  bool flushed = false;  // everything written after Close: the reader waits for the peer
  try {
    while (!FAborted) {
      if (FQueue.empty()) {
        if (FClosing) {
          asio::error_code ignored;
          FSocket.shutdown(asio::socket_base::shutdown_send, ignored);
          flushed = true;
          break;
        }
        FWriteSignal.expires_at(TRelayClock::time_point::max());
        asio::error_code ignored;
        co_await FWriteSignal.async_wait(redirect_error(use_awaitable, ignored));
        continue;
      }
      batch.clear();
      size_t bytes = 0;
      FInFlight = 0;
      for (const TBytes& piece : FQueue) {
        if (FInFlight == WriteBatchBuffers || bytes >= WriteBatchBytes) break;
        batch.emplace_back(piece.data(), piece.size());
        bytes += piece.size();
        ++FInFlight;
      }
      asio::error_code error;
      co_await asio::async_write(FSocket, batch, redirect_error(use_awaitable, error));
      if (error) break;
      for (size_t i = 0; i < FInFlight; ++i) FQueue.pop_front();
      FInFlight = 0;
      FQueued -= bytes;
      FHub.QueueShrank(bytes);
      FLastWriteProgress = TRelayClock::now();
      if (FQueued < FHub.QueueLimit()) WakeBlockedSender();
    }
  } catch (const std::exception& e) {
    FHub.Log("connection " + FAddress + " failed: " + e.what());
  }
  FInFlight = 0;
  if (!flushed) Abort();
}

}  // namespace tlm
