// A one-line input box: a title, a prompt, an edit and "확인" / "취소", modal to its owner. It
// runs a message loop of its own until answered, so queued calls and other windows go on.
// User-interface thread only.
#pragma once

#include <windows.h>

#include <string>

namespace tlm {

// True with AText set to what was typed (UTF-8) when confirmed; false when cancelled. AMasked:
// the typed characters show as "*" (someone watching the screen must not read a password).
bool InputBox(HWND AOwner, const std::string& ATitle, const std::string& APrompt, bool AMasked, std::string& AText);

}  // namespace tlm
