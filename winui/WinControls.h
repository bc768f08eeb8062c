// What every native window of the program shares: UTF-8 <-> UTF-16 at the edge of the system
// calls, the fonts the design names with the fallbacks that carry Korean glyphs where they are
// missing, child-control creation, and the boxes the windows show.
//
// User-interface thread only. Fonts are made once per size and kept until the program ends.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "protocol/WinText.h"

namespace tlm {

inline std::wstring W(std::string_view AText) { return WideFromUtf8(AText); }
inline std::string U(std::wstring_view AText) { return Utf8FromWide(AText); }

// "Malgun Gothic" where it is installed, else a CJK family fontconfig offers under Wine (Noto
// Sans CJK KR), else the system's own face. APixelHeight is the character height.
HFONT UiFont(int APixelHeight, bool ABold = false);
// "Consolas" where installed, else a monospaced CJK family.
HFONT MonoFont(int APixelHeight, bool ABold = false);
// The family UiFont chose, for the log and for tests.
std::wstring UiFontFamily();
bool FontFamilyInstalled(const wchar_t* AFamily);

// The window's text as UTF-8.
std::string WindowTextUtf8(HWND AWnd);
void SetWindowTextUtf8(HWND AWnd, std::string_view AText);

// A child control of AParent with the given class, text, style and id, in AFont.
HWND MakeControl(HWND AParent, const wchar_t* AClass, std::string_view AText, DWORD AStyle, int AX, int AY, int AW,
                 int AH, int AId, HFONT AFont, DWORD AExStyle = 0);

// The program's message boxes (winui/ModalBoxes.h); AText in UTF-8. The title is "TALMIR Remote".
void InfoBox(HWND AOwner, std::string_view AText);
void ErrorBox(HWND AOwner, std::string_view AText);
void WarningBox(HWND AOwner, std::string_view AText);

// Registers a window class once (later calls with the same name do nothing).
void RegisterWindowClass(const wchar_t* AName, WNDPROC AProc, HBRUSH ABackground, HICON AIcon = nullptr);

// The program's icon from its resources (null when built without them).
HICON ProgramIcon(bool ASmall);

// Stores AObject in AWnd for StaticProc-style window procedures to find.
template <typename T>
T* WindowObject(HWND AWnd) {
  return reinterpret_cast<T*>(::GetWindowLongPtrW(AWnd, GWLP_USERDATA));
}

}  // namespace tlm
