// The program's modal boxes, drawn in the program's own font (the system's message box has no
// Korean glyphs where the system lacks a Korean font): a message with an icon and "확인", and a
// one-line input box with "확인" / "취소". Each runs a message loop of its own until answered, so
// queued calls and other windows go on. User-interface thread only.
#pragma once

#include <windows.h>

#include <string>

namespace tlm {

// AIcon: IDI_INFORMATION, IDI_ERROR, IDI_WARNING or IDI_QUESTION.
void MessageBoxText(HWND AOwner, const std::string& AText, LPCWSTR AIcon);

// True with AText set to what was typed (UTF-8) when confirmed; false when cancelled. AMasked:
// the typed characters show as "*" (someone watching the screen must not read a password).
bool InputBox(HWND AOwner, const std::string& ATitle, const std::string& APrompt, bool AMasked, std::string& AText);

}  // namespace tlm
