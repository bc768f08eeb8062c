#include "winui/WinControls.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "winui/ModalBoxes.h"

namespace tlm {

namespace {

int CALLBACK FoundFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM AFound) {
  *reinterpret_cast<bool*>(AFound) = true;
  return 0;
}

std::wstring ChooseFamily(std::initializer_list<const wchar_t*> AFamilies) {
  for (const wchar_t* family : AFamilies)
    if (FontFamilyInstalled(family)) return family;
  return L"MS Shell Dlg 2";
}

HFONT CachedFont(const std::wstring& AFamily, int APixelHeight, bool ABold) {
  static std::map<std::pair<std::wstring, int>, HFONT> fonts;
  const std::pair<std::wstring, int> key{AFamily, APixelHeight * 2 + (ABold ? 1 : 0)};
  if (auto it = fonts.find(key); it != fonts.end()) return it->second;
  LOGFONTW lf{};
  lf.lfHeight = -APixelHeight;
  lf.lfWeight = ABold ? FW_BOLD : FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfQuality = CLEARTYPE_QUALITY;
  wcsncpy(lf.lfFaceName, AFamily.c_str(), LF_FACESIZE - 1);
  HFONT font = ::CreateFontIndirectW(&lf);
  fonts.emplace(key, font);
  return font;
}

}  // namespace

bool FontFamilyInstalled(const wchar_t* AFamily) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(lf.lfFaceName, AFamily, LF_FACESIZE - 1);
  bool found = false;
  HDC dc = ::GetDC(nullptr);
  ::EnumFontFamiliesExW(dc, &lf, &FoundFamily, reinterpret_cast<LPARAM>(&found), 0);
  ::ReleaseDC(nullptr, dc);
  return found;
}

std::wstring UiFontFamily() {
  static const std::wstring family = ChooseFamily({L"Malgun Gothic", L"Noto Sans CJK KR", L"Noto Sans KR", L"Gulim"});
  return family;
}

static std::wstring MonoFontFamily() {
  static const std::wstring family =
      ChooseFamily({L"Consolas", L"Noto Sans Mono CJK KR", L"DejaVu Sans Mono", L"Courier New"});
  return family;
}

HFONT UiFont(int APixelHeight, bool ABold) { return CachedFont(UiFontFamily(), APixelHeight, ABold); }

HFONT MonoFont(int APixelHeight, bool ABold) { return CachedFont(MonoFontFamily(), APixelHeight, ABold); }

std::string WindowTextUtf8(HWND AWnd) {
  const int length = ::GetWindowTextLengthW(AWnd);
  std::wstring text(size_t(length) + 1, L'\0');
  const int got = ::GetWindowTextW(AWnd, text.data(), length + 1);
  text.resize(size_t(got > 0 ? got : 0));
  return U(text);
}

void SetWindowTextUtf8(HWND AWnd, std::string_view AText) { ::SetWindowTextW(AWnd, W(AText).c_str()); }

HWND MakeControl(HWND AParent, const wchar_t* AClass, std::string_view AText, DWORD AStyle, int AX, int AY, int AW,
                 int AH, int AId, HFONT AFont, DWORD AExStyle) {
  HWND wnd = ::CreateWindowExW(AExStyle, AClass, W(AText).c_str(), WS_CHILD | WS_VISIBLE | AStyle, AX, AY, AW, AH,
                               AParent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(AId)),
                               ::GetModuleHandleW(nullptr), nullptr);
  if (wnd && AFont) ::SendMessageW(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(AFont), FALSE);
  return wnd;
}

void InfoBox(HWND AOwner, std::string_view AText) { MessageBoxText(AOwner, std::string(AText), IDI_INFORMATION); }
void ErrorBox(HWND AOwner, std::string_view AText) { MessageBoxText(AOwner, std::string(AText), IDI_ERROR); }
void WarningBox(HWND AOwner, std::string_view AText) { MessageBoxText(AOwner, std::string(AText), IDI_WARNING); }

void RegisterWindowClass(const wchar_t* AName, WNDPROC AProc, HBRUSH ABackground, HICON AIcon) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = AProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = ABackground;
  wc.lpszClassName = AName;
  wc.hIcon = AIcon ? AIcon : ProgramIcon(false);
  wc.hIconSm = AIcon ? AIcon : ProgramIcon(true);
  ::RegisterClassExW(&wc);
}

HICON ProgramIcon(bool ASmall) {
  const int size = ASmall ? ::GetSystemMetrics(SM_CXSMICON) : ::GetSystemMetrics(SM_CXICON);
  // Resource 1: the icon the program file carries (winui/TLMRemoteClient.rc).
  return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
}

}  // namespace tlm
