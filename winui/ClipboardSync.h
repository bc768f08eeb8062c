// TWinClipboardSync: the local clipboard (Unicode text only) and one viewer session.
//
// Contract: created, used and destroyed on the user-interface thread. A hidden window listens
// for clipboard changes (AddClipboardFormatListener); OnLocalCopy is raised from its window
// procedure when the clipboard receives text that differs from the last text this instance
// knows (Last). ApplyRemote puts a partner's text on the clipboard unless it equals Last; the
// one change notification that own write causes is consumed, so the partner's text is never
// reported back. Text already on the clipboard at creation is never reported.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tlm {

class TWinClipboardSync {
public:
  TWinClipboardSync();
  ~TWinClipboardSync();
  TWinClipboardSync(const TWinClipboardSync&) = delete;
  TWinClipboardSync& operator=(const TWinClipboardSync&) = delete;

  // AText in UTF-8.
  void ApplyRemote(const std::string& AText);
  // The clipboard's text now (UTF-8), empty when it holds none or cannot be opened.
  std::string ReadText() const;

  std::function<void(const std::string& AText)> OnLocalCopy;

  const std::wstring& Last() const { return FLast; }

private:
  static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  std::wstring ReadWide() const;
  void ClipboardChanged();

  HWND FWnd = nullptr;
  std::wstring FLast;
  bool FApplying = false;
};

// Puts AText on the clipboard as Unicode text, owned by AOwner (may be null); false when the
// clipboard could not be opened or the memory not allocated.
bool WriteClipboardText(HWND AOwner, const std::wstring& AText);

}  // namespace tlm
