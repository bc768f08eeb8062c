#include "relay/RelayConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/RelayRefusals.h"
#include "relay/RelayLimits.h"

namespace tlm {

namespace {

using asio::redirect_error;
using asio::use_awaitable;

constexpr size_t ReadBufferSize = 16 * 1024;
// A payload remainder at least this large is read straight into a queue piece for the
// partner instead of through the read buffer (one copy less).
constexpr size_t DirectReadMin = 16 * 1024;
// g++ 12 miscompiles co_await inside && and || conditions: every co_await below stands in
// a statement of its own.

// Small packets queued back to back share one buffer up to this size.
constexpr size_t CoalesceChunk = 16 * 1024;
// One gathered write takes at most this much, so write progress is seen often.
constexpr size_t WriteBatchBytes = 1024 * 1024;
constexpr size_t WriteBatchBuffers = 64;
constexpr auto CloseGraceTime = std::chrono::seconds(5);
// Kernel pipe used to splice large payloads; its contents are bounded by this size.
constexpr size_t PipeSize = 1024 * 1024;
}  // namespace

TRelayConnection::TRelayConnection(TRelayStream ASocket, IRelayPeerEvents& AEvents, IRelayQueueBudget& ABudget,
                                   std::string AAddress)
    : FSocket(std::move(ASocket)),
      FEvents(AEvents),
      FBudget(ABudget),
      FAddress(std::move(AAddress)),
      FAddressBucket(tlm::AddressBucket(FAddress)),
      FWriteSignal(FSocket.get_executor()),
      FResume(FSocket.get_executor()),
      FLinger(FSocket.get_executor()),
      FSpliceDisabled(!ABudget.Limits().SpliceLargePayloads) {
  const auto now = TRelayClock::now();
  FConnectedAt = FPacketBegun = FLastReceived = FLastSent = FLastWriteProgress = now;
}

TRelayConnection::~TRelayConnection() {
  ClosePipe();
  FBudget.QueueShrank(FQueued);
}

bool TRelayConnection::OpenPipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  FPipeRead = fds[0];
  FPipeWrite = fds[1];
  ::fcntl(FPipeWrite, F_SETPIPE_SZ, int(PipeSize));
  const int size = ::fcntl(FPipeWrite, F_GETPIPE_SZ);
  FPipeSize = size > 0 ? size_t(size) : 65536;
  return true;
}

void TRelayConnection::ClosePipe() {
  if (FPipeRead >= 0) ::close(FPipeRead);
  if (FPipeWrite >= 0) ::close(FPipeWrite);
  FPipeRead = FPipeWrite = -1;
}

void TRelayConnection::Start() {
  auto self = shared_from_this();
  asio::co_spawn(FSocket.get_executor(), [self]() { return self->ReadLoop(); }, asio::detached);
  asio::co_spawn(FSocket.get_executor(), [self]() { return self->WriteLoop(); }, asio::detached);
}

void TRelayConnection::SendPacket(uint32_t AType, std::span<const uint8_t> APayload) {
  if (FAborted || FRelayOverflow) return;
  // Judged by what is unread already, so that one packet larger than the limit (a long connect
  // request handed to another node) still goes to a connection that reads.
  const size_t unread = UnreadRelayBytes() + FDeferred.size();
  if (unread >= FBudget.UnreadRelayPacketLimit()) {
    // It does not read what the relay tells it (asking for answers again and again, say):
    // nothing more is queued for it, and it is closed once the caller is done with it.
    FRelayOverflow = true;
    FEvents.Event("unread relay packets", "closing " + FAddress + ": " + std::to_string(unread) +
                                           " bytes of relay packets left unread");
    asio::post(FSocket.get_executor(), [self = shared_from_this()] { self->Abort(); });
    return;
  }
  const TBytes packet = EncodePacket(AType, APayload);
  if (FPartialOut) {
    // Bytes of a forwarded packet are still to come on this connection (queued or spliced):
    // ours follows that packet instead of landing inside it.
    FDeferred.insert(FDeferred.end(), packet.begin(), packet.end());
    return;
  }
  EnqueueRelayBytes(packet.data(), packet.size());
}

size_t TRelayConnection::UnreadRelayBytes() {
  const uint64_t written = FQueuedEver - FQueued;
  while (!FRelayRanges.empty() && FRelayRanges.front().End <= written) FRelayRanges.pop_front();
  size_t unread = 0;
  for (const TRange& range : FRelayRanges) unread += size_t(range.End - std::max(range.Begin, written));
  return unread;
}

void TRelayConnection::EnqueueRelayBytes(const uint8_t* AData, size_t ALen) {
  const uint64_t begin = FQueuedEver;
  if (Enqueue(AData, ALen) == 0) return;
  // Relay packets queued back to back make one range.
  if (!FRelayRanges.empty() && FRelayRanges.back().End == begin)
    FRelayRanges.back().End = FQueuedEver;
  else
    FRelayRanges.push_back({begin, FQueuedEver});
}

void TRelayConnection::EndPartialOut() {
  FPartialOut = false;
  if (FDeferred.empty()) return;
  TBytes deferred;
  deferred.swap(FDeferred);
  EnqueueRelayBytes(deferred.data(), deferred.size());
}

std::string_view TRelayConnection::MissedDeadline(TRelayClock::time_point ANow) const {
  if (FPaused || FClosing) return {};
  const TConnectionLimits& options = FBudget.Limits();
  if (!FFirstPacketDone && ANow - FConnectedAt >= options.FirstPacketTimeout)
    return "no complete packet in time after connecting";
  if (FInPacket) {
    const auto forSize =
        std::chrono::milliseconds(uint64_t(FPacketLen) * 1000 / std::max<size_t>(options.MinPacketRate, 1));
    if (ANow - FPacketBegun >= options.PacketCompletionTime + forSize) return "packet not completed in time";
  }
  return {};
}

void TRelayConnection::PacketDone() {
  const auto now = TRelayClock::now();
  FLastReceived = FPacketBegun = now;
  FFirstPacketDone = true;
  FPacketLen = 0;
  // Bytes already buffered mean the next packet has begun.
  FInPacket = FInBegin < FInEnd;
}

void TRelayConnection::NoteHeldBack(TRelayClock::time_point ASince) {
  const auto now = TRelayClock::now();
  FPacketBegun += now - ASince;
  // Time spent held back by the partner is not idleness of this peer either.
  FLastReceived = now;
}

void TRelayConnection::SendText(uint32_t AType, std::string_view AText) {
  SendPacket(AType, std::span(reinterpret_cast<const uint8_t*>(AText.data()), AText.size()));
}

TRelayConnection::TOutChunk TRelayConnection::NewChunk(size_t ACapacity) {
  TOutChunk chunk;
  chunk.Data.reset(new uint8_t[ACapacity]);
  chunk.Capacity = ACapacity;
  return chunk;
}

size_t TRelayConnection::Enqueue(const uint8_t* AData, size_t ALen) {
  if (FAborted || ALen == 0) return 0;
  if (FQueued == 0 && FSocket.Plain()) {
    // Nothing queued means the writer is idle: try to hand the bytes to the kernel at once
    // (saves the writer's turn, which matters for small interactive packets). Whatever does
    // not fit, or an error, is left to the writer.
    const ssize_t sent = ::send(FSocket.native_handle(), AData, ALen, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      const auto now = TRelayClock::now();
      FLastSent = FLastWriteProgress = now;
      AData += sent;
      ALen -= size_t(sent);
      if (ALen == 0) return 0;
    }
  }
  // The chunks the writer is writing now must not change; a later one may take more bytes.
  if (FQueue.size() > FInFlight && FQueue.back().Capacity - FQueue.back().Size >= ALen) {
    TOutChunk& back = FQueue.back();
    std::memcpy(back.Data.get() + back.Size, AData, ALen);
    back.Size += ALen;
  } else {
    TOutChunk chunk = NewChunk(std::max(ALen, CoalesceChunk));
    std::memcpy(chunk.Data.get(), AData, ALen);
    chunk.Size = ALen;
    FQueue.push_back(std::move(chunk));
  }
  NoteQueued(ALen);
  return ALen;
}

void TRelayConnection::EnqueueChunk(TOutChunk&& AChunk) {
  if (FAborted || AChunk.Size == 0) return;
  const size_t len = AChunk.Size;
  FQueue.push_back(std::move(AChunk));
  NoteQueued(len);
}

void TRelayConnection::NoteQueued(size_t ALen) {
  const auto now = TRelayClock::now();
  if (FQueued == 0) FLastWriteProgress = now;
  FQueued += ALen;
  FQueuedEver += ALen;
  FLastSent = now;
  FBudget.QueueGrew(FQueued, ALen);
  FWriteSignal.cancel();
}

void TRelayConnection::Detach() {
  if (FDetached) return;
  FDetached = true;
  FEvents.Detach(*this);
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
  FEvents.NoteClosed(*this);
}

asio::awaitable<void> TRelayConnection::WaitIdle() {
  // A TLS stream may hold received bytes above the socket (a record begun or not yet handed
  // out), which the socket's readiness does not show: such a connection keeps its buffer.
  if (FSocket.Buffered()) co_return;
  pollfd ready{FSocket.native_handle(), POLLIN, 0};
  // Bytes, an end of stream or an error already there: read them at once, buffer and all.
  if (::poll(&ready, 1, 0) != 0) co_return;
  TBytes().swap(FIn);
  FInBegin = FInEnd = 0;
  asio::error_code ignored;
  co_await FSocket.async_wait(asio::socket_base::wait_read, redirect_error(use_awaitable, ignored));
}

asio::awaitable<bool> TRelayConnection::Fill() {
  if (FIn.empty()) FIn.resize(ReadBufferSize);
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
  if (error || n == 0) {
    FReadFailed = true;
    co_return false;
  }
  FInEnd += n;
  if (!FInPacket) {
    FInPacket = true;
    FPacketBegun = TRelayClock::now();
  }
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

asio::awaitable<bool> TRelayConnection::WaitForRoom(TRelayConnection& ATo, size_t ABelow) {
  const size_t below = ABelow > 0 ? ABelow : FBudget.QueueLimit();
  bool paused = false;
  TRelayClock::time_point since;  // read only when held back: this runs for every piece forwarded
  // Over the relay's total, a partner with anything queued is behind.
  while ((ATo.FQueued >= below || (ATo.FQueued > 0 && FBudget.OverQueued())) && !ATo.FClosing && !FClosing) {
    if (!paused) since = TRelayClock::now();
    ATo.FBlockedSender = weak_from_this();
    FPaused = paused = true;
    FResume.expires_at(TRelayClock::time_point::max());
    asio::error_code ignored;
    co_await FResume.async_wait(redirect_error(use_awaitable, ignored));
    FPaused = false;
  }
  if (paused) NoteHeldBack(since);
  co_return !FClosing;
}

asio::awaitable<bool> TRelayConnection::Forward(std::shared_ptr<TRelayConnection> ATo, const uint8_t* AHeader,
                                                uint32_t ALen) {
  const bool open = co_await WaitForRoom(*ATo);
  if (!open) co_return false;
  bool deliver = !ATo->FClosing;
  if (deliver) {
    // Counted before they go: Enqueue may hand them to the kernel at once, and the receiver may
    // read them (and the counters) before this turn is over.
    FBudget.AddRelayed(PacketHeaderSize);
    ATo->Enqueue(AHeader, PacketHeaderSize);
    ATo->FPartialOut = ALen > 0;
    if (ALen == 0) ATo->EndPartialOut();
  }
  uint32_t left = ALen;
  while (left > 0) {
    if (FInBegin == FInEnd && (!deliver || left < DirectReadMin)) {
      const bool more = co_await Fill();
      if (!more) co_return false;
    }
    if (FInBegin < FInEnd) {
      // Bytes already in the read buffer.
      const size_t n = std::min({size_t(left), FInEnd - FInBegin, MaxForwardPiece});
      if (deliver) {
        const bool stillOpen = co_await WaitForRoom(*ATo);
        if (!stillOpen) co_return false;
        // A receiver that went away meanwhile gets nothing more; the rest is read and dropped.
        deliver = !ATo->FClosing;
        if (deliver) {
          FBudget.AddRelayed(n);
          ATo->Enqueue(FIn.data() + FInBegin, n);
        }
      }
      FInBegin += n;
      left -= uint32_t(n);
      continue;
    }
    if (!FSpliceDisabled && FSocket.Plain() && ATo->FSocket.Plain()) {
      // A large remainder on an otherwise idle receiver: let the kernel move it.
      const bool stillOpen = co_await WaitForRoom(*ATo, 1);
      if (!stillOpen) co_return false;
      deliver = !ATo->FClosing;
      if (!deliver) continue;
      size_t consumed = 0, delivered = 0;
      const TSpliceResult result = co_await SpliceTo(*ATo, left, consumed, delivered);
      left -= uint32_t(consumed);
      if (result == TSpliceResult::SenderFailed) co_return false;
      if (result == TSpliceResult::ReceiverGone) {
        // Part of a packet may have been lost on the way: the receiver cannot go on.
        if (!ATo->FClosing) ATo->Abort();
        deliver = false;
      }
      if (result == TSpliceResult::Unavailable) FSpliceDisabled = true;
      continue;
    }
    // A large remainder: read it straight into a piece of the receiver's queue.
    const bool stillOpen = co_await WaitForRoom(*ATo);
    if (!stillOpen) co_return false;
    deliver = !ATo->FClosing;
    if (!deliver) continue;
    const size_t n = std::min(size_t(left), MaxForwardPiece);
    TOutChunk piece = NewChunk(n);
    asio::error_code error;
    co_await asio::async_read(FSocket, asio::buffer(piece.Data.get(), n), redirect_error(use_awaitable, error));
    if (error) {
      FReadFailed = true;
      co_return false;
    }
    piece.Size = n;
    deliver = !ATo->FClosing;
    if (deliver) {
      ATo->EnqueueChunk(std::move(piece));
      FBudget.AddRelayed(n);
    }
    left -= uint32_t(n);
  }
  if (deliver) ATo->EndPartialOut();
  co_return true;
}

asio::awaitable<TRelayConnection::TSpliceResult> TRelayConnection::SpliceTo(TRelayConnection& ATo, size_t ALen,
                                                                            size_t& AConsumed, size_t& ADelivered) {
  AConsumed = ADelivered = 0;
  if (FPipeRead < 0 && !OpenPipe()) co_return TSpliceResult::Unavailable;
  asio::error_code error;
  FSocket.native_non_blocking(true, error);
  ATo.FSocket.native_non_blocking(true, error);
  if (error) co_return TSpliceResult::Unavailable;
  const int in = FSocket.native_handle();
  const int out = ATo.FSocket.native_handle();
  TSpliceResult result = TSpliceResult::Done;
  size_t inPipe = 0;
  while (ADelivered < ALen && result == TSpliceResult::Done) {
    const ssize_t got = ::splice(in, nullptr, FPipeWrite, nullptr, std::min(ALen - AConsumed, FPipeSize),
                                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) {
      co_await FSocket.async_wait(asio::socket_base::wait_read, redirect_error(use_awaitable, error));
      if (error || FAborted) result = TSpliceResult::SenderFailed;
      // A receiver closed meanwhile has given up its descriptor, whose number a socket accepted
      // since may have now: nothing more goes to it.
      else if (ATo.FAborted) result = TSpliceResult::ReceiverGone;
      continue;
    }
    if (got < 0 && AConsumed == 0 && (errno == EINVAL || errno == ENOSYS)) {
      result = TSpliceResult::Unavailable;
      break;
    }
    if (got <= 0) {
      FReadFailed = true;
      result = TSpliceResult::SenderFailed;
      break;
    }
    AConsumed += size_t(got);
    inPipe = size_t(got);
    ATo.FSpliceBacklog = inPipe;
    while (inPipe > 0) {
      const ssize_t put = ::splice(FPipeRead, nullptr, out, nullptr, inPipe, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      if (put > 0) {
        inPipe -= size_t(put);
        ADelivered += size_t(put);
        FBudget.AddRelayed(size_t(put));
        ATo.FSpliceBacklog = inPipe;
        ATo.FLastWriteProgress = ATo.FLastSent = TRelayClock::now();
        continue;
      }
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && errno == EAGAIN && !ATo.FClosing) {
        // The receiver is slow: the sender waits with it.
        FPaused = true;
        const auto since = TRelayClock::now();
        co_await ATo.FSocket.async_wait(asio::socket_base::wait_write, redirect_error(use_awaitable, error));
        FPaused = false;
        NoteHeldBack(since);
        if (FAborted) {
          result = TSpliceResult::SenderFailed;
          break;
        }
        if (!error && !ATo.FClosing) continue;
      }
      result = TSpliceResult::ReceiverGone;
      break;
    }
    ATo.FSpliceBacklog = 0;
  }
  // Bytes left in the pipe belong to a receiver that is gone: start with a fresh pipe.
  if (inPipe > 0) ClosePipe();
  co_return result;
}

asio::awaitable<void> TRelayConnection::DiscardUntilClosed() {
  while (!FAborted) {
    const bool more = co_await Fill();
    if (!more) break;
    FInBegin = FInEnd;
  }
}

asio::awaitable<bool> TRelayConnection::OpenStream() {
  std::string why;
  const TRelayStream::TOpened opened = co_await FSocket.Open(FAddressBucket, true, why);
  if (FAborted) {
    // Cut off while its handshake ran: the socket may have been closed only now.
    asio::error_code ignored;
    FSocket.close(ignored);
    co_return false;
  }
  if (opened == TRelayStream::TOpened::Failed) {
    FEvents.Event("connection not opened", "connection from " + FAddress + " not opened: " + why);
    co_return false;
  }
  if (opened == TRelayStream::TOpened::PlainRefused) {
    FEvents.Event("refused plain connection", "refused plain connection from " + FAddress + ": TLS only");
    SendText(MsgRelayError, relaytext::TlsRequired);
    Close();
  }
  co_return true;
}

asio::awaitable<void> TRelayConnection::ReadLoop() {
  try {
    uint8_t header[PacketHeaderSize];
    const bool open = co_await OpenStream();
    while (open && !FClosing) {
      if (FInBegin == FInEnd) co_await WaitIdle();
      const bool complete = co_await ReadExact(header, sizeof header);
      if (!complete) break;
      if (FClosing) break;
      const uint32_t type = GetLE32(header);
      const uint32_t len = GetLE32(header + 4);
      if (len > MaxPacketPayload) {
        FEvents.Event("packet too large", "closing " + FAddress + ": packet too large (" + std::to_string(len) + " bytes)");
        break;
      }
      FPacketLen = len;
      const IRelayPeerEvents::TRoute route = FEvents.Route(*this, type);
      bool more = true;
      switch (route.Kind) {
        case TRouteKind::Consume: {
          if (len > MaxControlPayload) {
            FEvents.RefuseOversizedControl(*this, type, len);
            break;
          }
          TBytes payload(len);
          more = co_await ReadExact(payload.data(), len);
          if (more && !FClosing) FEvents.Handle(*this, type, payload);
          break;
        }
        case TRouteKind::Forward:
          more = co_await Forward(route.Target, header, len);
          break;
        case TRouteKind::Drop:
          more = co_await Skip(len);
          break;
      }
      if (!more) break;
      PacketDone();
    }
    // After Close: keep reading (and dropping) until the peer closes, so that what we
    // queued for it is not destroyed by a reset. A peer already gone (a reset may be reported
    // only once) is not waited for.
    if (FClosing && !FAborted && !FReadFailed) co_await DiscardUntilClosed();
  } catch (const std::exception& e) {
    FEvents.Event("connection failed", "connection " + FAddress + " failed: " + e.what());
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
        // Nothing to write for now: an idle connection keeps no batch either.
        std::vector<asio::const_buffer>().swap(batch);
        FWriteSignal.expires_at(TRelayClock::time_point::max());
        asio::error_code ignored;
        co_await FWriteSignal.async_wait(redirect_error(use_awaitable, ignored));
        continue;
      }
      batch.clear();
      size_t bytes = 0;
      FInFlight = 0;
      for (const TOutChunk& piece : FQueue) {
        if (FInFlight == WriteBatchBuffers || bytes >= WriteBatchBytes) break;
        batch.emplace_back(piece.Data.get(), piece.Size);
        bytes += piece.Size;
        ++FInFlight;
      }
      asio::error_code error;
      co_await asio::async_write(FSocket, batch, redirect_error(use_awaitable, error));
      if (error) break;
      for (size_t i = 0; i < FInFlight; ++i) FQueue.pop_front();
      FInFlight = 0;
      FQueued -= bytes;
      FBudget.QueueShrank(bytes);
      FLastWriteProgress = TRelayClock::now();
      if (FQueued < FBudget.QueueLimit() && (FQueued == 0 || !FBudget.OverQueued())) WakeBlockedSender();
    }
  } catch (const std::exception& e) {
    FEvents.Event("connection failed", "connection " + FAddress + " failed: " + e.what());
  }
  FInFlight = 0;
  if (!flushed) Abort();
}

}  // namespace tlm
