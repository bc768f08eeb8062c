// The program's modal boxes, drawn in the program's own font (the system's message box has no
// Korean glyphs where the system lacks a Korean font): a message with an icon and "확인", a
// question with two answers, and a one-line input box with "확인" / "취소". Each runs a message loop of its own until
// answered, so queued calls and other windows go on. User-interface thread only.
#pragma once

#include <windows.h>

#include <string>

namespace tlm {

// AIcon: IDI_INFORMATION, IDI_ERROR, IDI_WARNING or IDI_QUESTION.
void MessageBoxText(HWND AOwner, const std::string& AText, LPCWSTR AIcon);

// True for AYes, false for ANo, closing the box or Escape. The focus starts on ANo.
bool QuestionBox(HWND AOwner, const std::string& AText, const std::string& AYes = "예",
                 const std::string& ANo = "아니요");

// True with AText set to what was typed (UTF-8) when confirmed; false when cancelled. AMasked:
// the typed characters show as "*" (someone watching the screen must not read a password).
// ACheck: a check box under the field with that caption, its state in and out (null: none).
bool InputBox(HWND AOwner, const std::string& ATitle, const std::string& APrompt, bool AMasked, std::string& AText,
              const std::string& ACheckCaption = "", bool* ACheck = nullptr);

// The ids a modal window's "확인" and "취소" buttons carry.
constexpr int ModalOk = 1, ModalCancel = 2;

// Shows AWnd with the focus on AFocus and runs the thread's messages until ADone, with AOwner
// disabled meanwhile; Escape in AWnd sends it WM_COMMAND with ModalCancel, Enter the id of the
// push button that has the focus, elsewhere ModalOk.
// A quit request met on the way is kept for the main loop.
void RunModal(HWND AWnd, HWND AOwner, HWND AFocus, const bool& ADone);

// Where a box of AW x AH client pixels goes: centred on AOwner when it shows, else on the screen.
RECT CenteredOn(HWND AOwner, int AW, int AH, DWORD AStyle);

}  // namespace tlm
