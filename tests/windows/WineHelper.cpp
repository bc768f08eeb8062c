// win_e2e_helper.exe: what the end-to-end tests under Wine need done on the Windows side.
//
//   show RECTS KEYLOG   a borderless window over the whole screen painting the boxes of RECTS
//                       (lines "r g b x y w h"); every key and click it gets is appended to
//                       KEYLOG as "down VK", "up VK", "click X Y". Runs until killed.
//   click CLASS CAPTION clicks the button CAPTION in the first visible window of CLASS;
//                       waits up to 30 s for it. Exit 1 when there is none.
//   exists CLASS        exit 0 when a visible window of CLASS exists, else 1.
//   enter CLASS ID TEXT puts TEXT into the control ID of the first visible window of CLASS
//                       (waiting up to 30 s for one) and presses Enter in it.
//   clip-get FILE       writes the clipboard's Unicode text to FILE as UTF-8.
//   clip-set FILE       puts FILE's UTF-8 text on the clipboard.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& AText) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, AText.data(), int(AText.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, AText.data(), int(AText.size()), w.data(), n);
  return w;
}

std::string Utf8(const std::wstring& AText) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, AText.data(), int(AText.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, AText.data(), int(AText.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string ReadFileText(const std::wstring& APath) {
  std::ifstream in(std::filesystem::path(APath), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct TBox {
  COLORREF Colour;
  RECT Area;
};
std::vector<TBox> GBoxes;
std::wstring GKeyLog;

void Note(const std::string& ALine) {
  std::ofstream out(std::filesystem::path(GKeyLog), std::ios::app);
  out << ALine << "\n";
}

LRESULT CALLBACK ShowProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  switch (AMsg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(AWnd, &ps);
      for (const TBox& box : GBoxes) {
        HBRUSH brush = ::CreateSolidBrush(box.Colour);
        ::FillRect(dc, &box.Area, brush);
        ::DeleteObject(brush);
      }
      ::EndPaint(AWnd, &ps);
      return 0;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: Note("down " + std::to_string(AW)); return 0;
    case WM_KEYUP:
    case WM_SYSKEYUP: Note("up " + std::to_string(AW)); return 0;
    case WM_LBUTTONDOWN:
      ::SetForegroundWindow(AWnd);
      ::SetFocus(AWnd);
      Note("click " + std::to_string(short(LOWORD(AL))) + " " + std::to_string(short(HIWORD(AL))));
      return 0;
    case WM_DESTROY: ::PostQuitMessage(0); return 0;
    default: return ::DefWindowProcW(AWnd, AMsg, AW, AL);
  }
}

int Show(const std::wstring& ARects, const std::wstring& AKeyLog) {
  GKeyLog = AKeyLog;
  std::istringstream lines(ReadFileText(ARects));
  int r, g, b, x, y, w, h;
  while (lines >> r >> g >> b >> x >> y >> w >> h) GBoxes.push_back({RGB(r, g, b), RECT{x, y, x + w, y + h}});
  WNDCLASSW wc{};
  wc.lpfnWndProc = &ShowProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TLMTestPattern";
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  ::RegisterClassW(&wc);
  HWND wnd = ::CreateWindowExW(0, wc.lpszClassName, L"e2e pattern", WS_POPUP | WS_VISIBLE, 0, 0,
                               ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                               wc.hInstance, nullptr);
  ::SetForegroundWindow(wnd);
  ::SetFocus(wnd);
  Note("ready");
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return 0;
}

HWND FindVisible(const std::wstring& AClass) {
  HWND wnd = nullptr;
  while ((wnd = ::FindWindowExW(nullptr, wnd, AClass.c_str(), nullptr)))
    if (::IsWindowVisible(wnd)) return wnd;
  return nullptr;
}

int Click(const std::wstring& AClass, const std::wstring& ACaption) {
  for (int i = 0; i < 300; ++i) {
    if (HWND wnd = FindVisible(AClass)) {
      if (HWND button = ::FindWindowExW(wnd, nullptr, L"BUTTON", ACaption.c_str())) {
        ::SendMessageW(button, BM_CLICK, 0, 0);
        return 0;
      }
    }
    ::Sleep(100);
  }
  return 1;
}

int Enter(const std::wstring& AClass, int AId, const std::wstring& AText) {
  HWND wnd = nullptr;
  for (int i = 0; i < 300 && !(wnd = FindVisible(AClass)); ++i) ::Sleep(100);
  HWND edit = wnd ? ::GetDlgItem(wnd, AId) : nullptr;
  if (!edit) return 1;
  ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(AText.c_str()));
  // Posted: what Enter starts may run a loop of its own (a box), which must not hold us.
  ::PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 1);
  return 0;
}

int ClipGet(const std::wstring& AFile) {
  std::wstring text;
  if (!::OpenClipboard(nullptr)) return 1;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = chars;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  std::ofstream(std::filesystem::path(AFile), std::ios::binary) << Utf8(text);
  return 0;
}

int ClipSet(const std::wstring& AFile) {
  const std::wstring text = Wide(ReadFileText(AFile));
  if (!::OpenClipboard(nullptr)) return 1;
  ::EmptyClipboard();
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
  std::memcpy(::GlobalLock(block), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  ::GlobalUnlock(block);
  ::SetClipboardData(CF_UNICODETEXT, block);
  ::CloseClipboard();
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"show" && argc == 4) return Show(argv[2], argv[3]);
  if (verb == L"click" && argc == 4) return Click(argv[2], argv[3]);
  if (verb == L"exists" && argc == 3) return FindVisible(argv[2]) ? 0 : 1;
  if (verb == L"enter" && argc == 5) return Enter(argv[2], _wtoi(argv[3]), argv[4]);
  if (verb == L"clip-get" && argc == 3) return ClipGet(argv[2]);
  if (verb == L"clip-set" && argc == 3) return ClipSet(argv[2]);
  std::fputs("usage: win_e2e_helper show|click|exists|enter|clip-get|clip-set ...\n", stderr);
  return 2;
}
