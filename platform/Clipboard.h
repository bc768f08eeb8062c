// The desktop's clipboard (plain text) reached without the toolkit, for desktops where the
// toolkit's clipboard works only while one of its windows has the keyboard focus (Wayland).
//
// Thread-safe: Text and SetText may be called from any thread. Watchers are called on the
// clipboard's own thread, one at a time, with each text another program puts on the clipboard
// (never for this process's own SetText); after Unwatch returns, that watcher is not called
// again.
#pragma once

#include <functional>
#include <string>

namespace tlm {

class ITextClipboard {
public:
  using TWatcher = std::function<void(const std::string& AText)>;
  virtual ~ITextClipboard() = default;
  // The text on the clipboard as last seen ("" when none or not text).
  virtual std::string Text() = 0;
  // Puts AText on the clipboard; this process offers it until another program copies.
  virtual void SetText(const std::string& AText) = 0;
  virtual int Watch(TWatcher AWatcher) = 0;
  virtual void Unwatch(int AId) = 0;
};

}  // namespace tlm
