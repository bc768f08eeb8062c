#include "platform/wayland/WaylandClipboard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <functional>
#include <optional>
#include <vector>

#include "platform/wayland/WaylandDisplay.h"
#include "protocol/Error.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace tlm {

namespace {

// The text types we offer, and accept in this order of preference.
const char* const TextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"};

// A paste of ours in progress: the text still to write to a program's pipe.
struct TWrite {
  int Fd = -1;
  std::string Data;
  size_t Done = 0;
};

// A copy of another program's being read from its pipe.
struct TRead {
  int Fd = -1;
  std::string Data;
};

}  // namespace

struct TWaylandClipboard::TImpl {
  std::unique_ptr<TWaylandDisplay> Conn;
  zwlr_data_control_device_v1* Device = nullptr;
  std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> Offers;  // offers not yet decided on
  zwlr_data_control_source_v1* Source = nullptr;                           // ours, while it is the selection
  std::string SourceText;
  std::vector<TWrite> Writes;
  std::optional<TRead> Read;
  int Wake = -1;  // eventfd: a SetText or the end is waiting
  bool DeviceGone = false;
  std::function<void(const std::string&)> Report;

  std::mutex Lock;  // guards the three below
  std::optional<std::string> PendingSet;
  std::string Current;
  bool Stop = false;

  void DropOffer(zwlr_data_control_offer_v1* AOffer) {
    if (!AOffer) return;
    Offers.erase(AOffer);
    zwlr_data_control_offer_v1_destroy(AOffer);
  }

  void EndRead() {
    if (Read) close(Read->Fd);
    Read.reset();
  }

  void Selection(zwlr_data_control_offer_v1* AOffer);
  void SetSelection(const std::string& AText);
  void Send(const char* AMime, int AFd);
  void Cancelled(zwlr_data_control_source_v1* ASource);
};

namespace {

TWaylandClipboard::TImpl& Impl(void* AData) { return *static_cast<TWaylandClipboard::TImpl*>(AData); }

void OfferMime(void* AData, zwlr_data_control_offer_v1* AOffer, const char* AMime) {
  auto& S = Impl(AData);
  auto It = S.Offers.find(AOffer);
  if (It != S.Offers.end() && It->second.size() < 64) It->second.emplace_back(AMime);
}
const zwlr_data_control_offer_v1_listener OfferListener = {OfferMime};

void DeviceOffer(void* AData, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* AOffer) {
  Impl(AData).Offers[AOffer];
  zwlr_data_control_offer_v1_add_listener(AOffer, &OfferListener, AData);
}
void DeviceSelection(void* AData, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* AOffer) {
  Impl(AData).Selection(AOffer);
}
void DeviceFinished(void* AData, zwlr_data_control_device_v1*) { Impl(AData).DeviceGone = true; }
void DevicePrimary(void* AData, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* AOffer) {
  Impl(AData).DropOffer(AOffer);  // only the clipboard is shared, not the primary selection
}
const zwlr_data_control_device_v1_listener DeviceListener = {DeviceOffer, DeviceSelection, DeviceFinished,
                                                             DevicePrimary};

void SourceSend(void* AData, zwlr_data_control_source_v1*, const char* AMime, int32_t AFd) { Impl(AData).Send(AMime, AFd); }
void SourceCancelled(void* AData, zwlr_data_control_source_v1* ASource) { Impl(AData).Cancelled(ASource); }
const zwlr_data_control_source_v1_listener SourceListener = {SourceSend, SourceCancelled};

}  // namespace

void TWaylandClipboard::TImpl::Selection(zwlr_data_control_offer_v1* AOffer) {
  EndRead();  // a newer selection replaces whatever was being read
  // Offers announced but not chosen are of no use any more.
  for (auto It = Offers.begin(); It != Offers.end();) {
    if (It->first != AOffer) {
      zwlr_data_control_offer_v1_destroy(It->first);
      It = Offers.erase(It);
    } else {
      ++It;
    }
  }
  if (!AOffer) return;  // cleared
  // Our own source is the selection: nothing new to report.
  if (Source) {
    DropOffer(AOffer);
    return;
  }
  const std::vector<std::string> Types = Offers[AOffer];
  const char* Chosen = nullptr;
  for (const char* T : TextTypes)
    if (!Chosen && std::find(Types.begin(), Types.end(), T) != Types.end()) Chosen = T;
  int Pipe[2];
  if (!Chosen || pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    DropOffer(AOffer);
    return;
  }
  zwlr_data_control_offer_v1_receive(AOffer, Chosen, Pipe[1]);
  close(Pipe[1]);
  DropOffer(AOffer);  // the compositor has passed the pipe on; the offer is no longer needed
  Read = TRead{Pipe[0], {}};
}

void TWaylandClipboard::TImpl::SetSelection(const std::string& AText) {
  if (Source) zwlr_data_control_source_v1_destroy(Source);
  Source = zwlr_data_control_manager_v1_create_data_source(Conn->DataControl());
  zwlr_data_control_source_v1_add_listener(Source, &SourceListener, this);
  for (const char* T : TextTypes) zwlr_data_control_source_v1_offer(Source, T);
  zwlr_data_control_device_v1_set_selection(Device, Source);
  SourceText = AText;
  std::lock_guard Hold(Lock);
  Current = AText;
}

void TWaylandClipboard::TImpl::Send(const char*, int AFd) {
  // Every type we offer is the same text.
  fcntl(AFd, F_SETFL, fcntl(AFd, F_GETFL) | O_NONBLOCK);
  Writes.push_back(TWrite{AFd, SourceText, 0});
}

void TWaylandClipboard::TImpl::Cancelled(zwlr_data_control_source_v1* ASource) {
  zwlr_data_control_source_v1_destroy(ASource);
  if (ASource == Source) Source = nullptr;
}

TWaylandClipboard::TWaylandClipboard(const std::string& ASocket) : FImpl(std::make_unique<TImpl>()) {
  TImpl& S = *FImpl;
  S.Conn = std::make_unique<TWaylandDisplay>(ASocket);
  if (!S.Conn->DataControl() || !S.Conn->Seat())
    throw TError("이 컴포지터는 클립보드 제어(zwlr_data_control_manager_v1)를 제공하지 않습니다");
  S.Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (S.Wake < 0) throw TError("clipboard: no eventfd");
  S.Device = zwlr_data_control_manager_v1_get_data_device(S.Conn->DataControl(), S.Conn->Seat());
  zwlr_data_control_device_v1_add_listener(S.Device, &DeviceListener, FImpl.get());
  S.Report = [this](const std::string& AText) {
    {
      std::lock_guard Hold(FImpl->Lock);
      FImpl->Current = AText;
    }
    std::lock_guard Hold(FWatchLock);
    for (auto& [Id, Watcher] : FWatchers) {
      try {
        Watcher(AText);
      } catch (const std::exception&) {
        // a watcher's failure is its own; the others still hear of the text
      }
    }
  };
  // The selection at start is the current text, not a copy to report.
  S.Conn->Roundtrip();
  std::string First;
  if (S.Read) {
    pollfd P{S.Read->Fd, POLLIN, 0};
    char Buf[4096];
    for (int Waits = 0; Waits < 20; ++Waits) {
      S.Conn->Poll();
      if (!S.Read || poll(&P, 1, 50) <= 0) continue;
      const ssize_t N = read(S.Read->Fd, Buf, sizeof Buf);
      if (N > 0 && First.size() < MaxText) {
        First.append(Buf, size_t(N));
        continue;
      }
      if (N == 0) break;
    }
    S.EndRead();
  }
  S.Current = First;
  FThread = std::thread([this] { Run(); });
}

TWaylandClipboard::~TWaylandClipboard() {
  {
    std::lock_guard Hold(FImpl->Lock);
    FImpl->Stop = true;
  }
  const uint64_t One = 1;
  (void)!write(FImpl->Wake, &One, sizeof One);
  if (FThread.joinable()) FThread.join();
  TImpl& S = *FImpl;
  S.EndRead();
  for (TWrite& W : S.Writes) close(W.Fd);
  for (auto& [Offer, Types] : S.Offers) zwlr_data_control_offer_v1_destroy(Offer);
  if (S.Source) zwlr_data_control_source_v1_destroy(S.Source);
  if (S.Device) zwlr_data_control_device_v1_destroy(S.Device);
  if (S.Wake >= 0) close(S.Wake);
  S.Conn->Roundtrip(500);
}

std::string TWaylandClipboard::Text() {
  std::lock_guard Hold(FImpl->Lock);
  return FImpl->Current;
}

void TWaylandClipboard::SetText(const std::string& AText) {
  {
    std::lock_guard Hold(FImpl->Lock);
    FImpl->PendingSet = AText;
  }
  const uint64_t One = 1;
  (void)!write(FImpl->Wake, &One, sizeof One);
}

int TWaylandClipboard::Watch(TWatcher AWatcher) {
  std::lock_guard Hold(FWatchLock);
  FWatchers[FNextId] = std::move(AWatcher);
  return FNextId++;
}

void TWaylandClipboard::Unwatch(int AId) {
  std::lock_guard Hold(FWatchLock);
  FWatchers.erase(AId);
}

void TWaylandClipboard::Run() {
  // A program that closes its end before we finished writing must not end this one: with
  // SIGPIPE blocked here the write fails with EPIPE instead.
  sigset_t Pipe;
  sigemptyset(&Pipe);
  sigaddset(&Pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
  TImpl& S = *FImpl;
  wl_display* D = S.Conn->Display();
  for (;;) {
    try {
      std::optional<std::string> Set;
      {
        std::lock_guard Hold(S.Lock);
        if (S.Stop) return;
        Set.swap(S.PendingSet);
      }
      if (Set && !S.DeviceGone) S.SetSelection(*Set);
      if (S.Conn->Broken()) {
        // Nothing more can arrive; wait for the end.
        pollfd P{S.Wake, POLLIN, 0};
        poll(&P, 1, -1);
        uint64_t N;
        (void)!read(S.Wake, &N, sizeof N);
        continue;
      }

      bool Failed = false;
      while (!Failed && wl_display_prepare_read(D) != 0) Failed = wl_display_dispatch_pending(D) < 0;
      if (Failed) continue;  // the connection broke: handled at the top
      wl_display_flush(D);
      std::vector<pollfd> Fds{{wl_display_get_fd(D), POLLIN, 0}, {S.Wake, POLLIN, 0}};
      if (S.Read) Fds.push_back({S.Read->Fd, POLLIN, 0});
      for (const TWrite& W : S.Writes) Fds.push_back({W.Fd, POLLOUT, 0});
      if (poll(Fds.data(), Fds.size(), -1) < 0 && errno != EINTR) {
        wl_display_cancel_read(D);
        continue;
      }
      if (Fds[0].revents & POLLIN)
        wl_display_read_events(D);
      else
        wl_display_cancel_read(D);
      if (Fds[1].revents & POLLIN) {
        uint64_t N;
        (void)!read(S.Wake, &N, sizeof N);
      }
      size_t At = 2;
      if (S.Read) {
        const pollfd& P = Fds[At++];
        if (P.revents & (POLLIN | POLLHUP | POLLERR)) {
          char Buf[65536];
          const ssize_t N = read(S.Read->Fd, Buf, sizeof Buf);
          if (N > 0) {
            S.Read->Data.append(Buf, size_t(N));
            if (S.Read->Data.size() > MaxText) S.EndRead();  // too large to pass on
          } else if (N == 0 || (errno != EAGAIN && errno != EINTR)) {
            std::string Text = std::move(S.Read->Data);
            S.EndRead();
            if (N == 0 && !Text.empty()) S.Report(Text);
          }
        }
      }
      // Writes whose pipe is ready get what it takes; finished or refused ones are closed.
      for (size_t I = 0; I < S.Writes.size(); ++I, ++At) {
        TWrite& W = S.Writes[I];
        if (!(Fds[At].revents & (POLLOUT | POLLERR | POLLHUP))) continue;
        const ssize_t N = write(W.Fd, W.Data.data() + W.Done, W.Data.size() - W.Done);
        if (N > 0) W.Done += size_t(N);
        if (N < 0 && errno != EAGAIN && errno != EINTR) W.Done = W.Data.size();
      }
      S.Writes.erase(std::remove_if(S.Writes.begin(), S.Writes.end(),
                                    [](TWrite& W) {
                                      if (W.Done < W.Data.size()) return false;
                                      close(W.Fd);
                                      return true;
                                    }),
                     S.Writes.end());
      wl_display_dispatch_pending(D);
    } catch (const std::exception&) {
      // A watcher or an allocation failed: the loop goes on with the next event.
    }
  }
}

}  // namespace tlm
