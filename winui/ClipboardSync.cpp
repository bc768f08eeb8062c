#include "winui/ClipboardSync.h"

#include <cstring>

#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const ClassName = L"TLMRemoteClipboardWatch";

// Closes the clipboard on every way out.
class TOpenClipboard {
public:
  explicit TOpenClipboard(HWND AOwner) : FOpen(::OpenClipboard(AOwner) != 0) {}
  ~TOpenClipboard() {
    if (FOpen) ::CloseClipboard();
  }
  bool Open() const { return FOpen; }

private:
  bool FOpen;
};

std::wstring ReadOpenClipboard() {
  std::wstring text;
  HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
  if (!data) return text;
  const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data));
  if (!chars) return text;
  // Up to the first zero, and never past the block (another program may have left none).
  const size_t limit = ::GlobalSize(data) / sizeof(wchar_t);
  size_t n = 0;
  while (n < limit && chars[n] != L'\0') ++n;
  text.assign(chars, n);
  ::GlobalUnlock(data);
  return text;
}

// Into the clipboard opened and emptied by the caller.
bool PutOpenClipboard(const std::wstring& AText) {
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, (AText.size() + 1) * sizeof(wchar_t));
  if (!block) return false;
  auto* chars = static_cast<wchar_t*>(::GlobalLock(block));
  if (!chars) {
    ::GlobalFree(block);
    return false;
  }
  std::memcpy(chars, AText.c_str(), (AText.size() + 1) * sizeof(wchar_t));
  ::GlobalUnlock(block);
  // The clipboard owns the block from here on.
  if (!::SetClipboardData(CF_UNICODETEXT, block)) {
    ::GlobalFree(block);
    return false;
  }
  return true;
}

}  // namespace

bool WriteClipboardText(HWND AOwner, const std::wstring& AText) {
  TOpenClipboard clip(AOwner);
  if (!clip.Open()) return false;
  ::EmptyClipboard();
  return PutOpenClipboard(AText);
}

TWinClipboardSync::TWinClipboardSync() {
  RegisterWindowClass(ClassName, &TWinClipboardSync::WndProc, nullptr, nullptr);
  FWnd = ::CreateWindowExW(0, ClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ::GetModuleHandleW(nullptr),
                           nullptr);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ::AddClipboardFormatListener(FWnd);
  FLast = ReadWide();
}

TWinClipboardSync::~TWinClipboardSync() {
  if (!FWnd) return;
  ::RemoveClipboardFormatListener(FWnd);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
  ::DestroyWindow(FWnd);
}

std::wstring TWinClipboardSync::ReadWide() const {
  if (!::IsClipboardFormatAvailable(CF_UNICODETEXT)) return std::wstring();
  TOpenClipboard clip(FWnd);
  if (!clip.Open()) return std::wstring();
  return ReadOpenClipboard();
}

std::string TWinClipboardSync::ReadText() const { return U(ReadWide()); }

void TWinClipboardSync::ClipboardChanged() {
  if (FApplying) {
    // The echo of our own write in ApplyRemote.
    FApplying = false;
    return;
  }
  const std::wstring text = ReadWide();
  if (text.empty() || text == FLast) return;
  FLast = text;
  if (OnLocalCopy) OnLocalCopy(U(text));
}

void TWinClipboardSync::ApplyRemote(const std::string& AText) {
  const std::wstring text = W(AText);
  if (text == FLast) return;
  TOpenClipboard clip(FWnd);
  if (!clip.Open()) return;  // held by another program: the text is lost, FLast stays
  // Emptying alone changes the clipboard, so exactly one notification follows from here on,
  // whether the text could be stored or not.
  FApplying = true;
  ::EmptyClipboard();
  PutOpenClipboard(text);
  FLast = text;
}

LRESULT CALLBACK TWinClipboardSync::WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (AMsg == WM_CLIPBOARDUPDATE) {
    if (auto* self = WindowObject<TWinClipboardSync>(AWnd)) self->ClipboardChanged();
    return 0;
  }
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
