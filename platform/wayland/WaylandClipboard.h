// The clipboard of a wlroots compositor through zwlr_data_control_manager_v1: it sees every
// selection of the seat whether or not one of our windows has the focus, and can set one.
//
// Owns one connection and one thread that serves it: offers of other programs are read
// through pipes, our own text is written to the programs that paste it, both without blocking
// the thread. Texts larger than MaxText are dropped. See ITextClipboard for the threading.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Clipboard.h"

namespace tlm {

class TWaylandClipboard final : public ITextClipboard {
public:
  static constexpr size_t MaxText = 8 << 20;

  // ASocket as for wl_display_connect; empty means $WAYLAND_DISPLAY. Throws TError when no
  // compositor answers or it offers no data control.
  explicit TWaylandClipboard(const std::string& ASocket = {});
  ~TWaylandClipboard() override;
  TWaylandClipboard(const TWaylandClipboard&) = delete;
  TWaylandClipboard& operator=(const TWaylandClipboard&) = delete;

  std::string Text() override;
  void SetText(const std::string& AText) override;
  int Watch(TWatcher AWatcher) override;
  void Unwatch(int AId) override;

  struct TImpl;  // public only for the protocol listeners

private:
  void Run();

  std::unique_ptr<TImpl> FImpl;
  std::mutex FWatchLock;  // held while a watcher runs
  std::map<int, TWatcher> FWatchers;
  int FNextId = 1;
  std::thread FThread;
};

}  // namespace tlm
