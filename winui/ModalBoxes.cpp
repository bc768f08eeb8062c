#include "winui/ModalBoxes.h"

#include <algorithm>
#include <optional>

#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const ClassName = L"TLMRemoteInput";
const wchar_t* const MessageClassName = L"TLMRemoteMessage";
constexpr int IdOk = ModalOk, IdCancel = ModalCancel, IdEdit = 3, IdCheck = 4;

struct TInputState {
  HWND Edit = nullptr;
  HWND Check = nullptr;
  bool Checked = false;
  bool Done = false;
  bool Confirmed = false;
  std::string Text;
};

LRESULT CALLBACK InputProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  auto* state = WindowObject<TInputState>(AWnd);
  if (state) {
    if (AMsg == WM_COMMAND && (LOWORD(AW) == IdOk || LOWORD(AW) == IdCancel)) {
      state->Confirmed = LOWORD(AW) == IdOk;
      if (state->Confirmed && state->Edit) state->Text = WindowTextUtf8(state->Edit);
      if (state->Confirmed && state->Check)
        state->Checked = ::SendMessageW(state->Check, BM_GETCHECK, 0, 0) == BST_CHECKED;
      state->Done = true;
      // A message sent from elsewhere does not end the loop's wait by itself: wake it.
      ::PostMessageW(AWnd, WM_NULL, 0, 0);
      return 0;
    }
    if (AMsg == WM_CLOSE) {
      state->Done = true;
      ::PostMessageW(AWnd, WM_NULL, 0, 0);
      return 0;
    }
    if (AMsg == WM_CTLCOLORSTATIC) {
      ::SetBkMode(reinterpret_cast<HDC>(AW), TRANSPARENT);
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    }
  }
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

// The command id of AWnd when it is a push button.
std::optional<int> PushButtonId(HWND AWnd) {
  wchar_t name[16] = {};
  ::GetClassNameW(AWnd, name, 16);
  if (lstrcmpiW(name, L"BUTTON") != 0) return std::nullopt;
  const LONG type = ::GetWindowLongW(AWnd, GWL_STYLE) & BS_TYPEMASK;
  if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) return std::nullopt;
  return int(::GetDlgCtrlID(AWnd));
}

}  // namespace

void RunModal(HWND AWnd, HWND AOwner, HWND AFocus, const bool& ADone) {
  if (AOwner) ::EnableWindow(AOwner, FALSE);
  ::ShowWindow(AWnd, SW_SHOW);
  ::SetForegroundWindow(AWnd);
  ::SetFocus(AFocus);
  MSG msg{};
  bool quit = false;
  while (!ADone) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      quit = got == 0;
      break;
    }
    if (msg.message == WM_KEYDOWN && (msg.hwnd == AWnd || ::IsChild(AWnd, msg.hwnd)) &&
        (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE)) {
      // Enter on a button is that button ("아니요" stays no); anywhere else it is "확인".
      const int id = msg.wParam == VK_ESCAPE ? IdCancel : PushButtonId(msg.hwnd).value_or(IdOk);
      ::SendMessageW(AWnd, WM_COMMAND, WPARAM(id), 0);
      continue;
    }
    if (::IsDialogMessageW(AWnd, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (AOwner) ::EnableWindow(AOwner, TRUE);
  if (AOwner) ::SetForegroundWindow(AOwner);
  if (quit) ::PostQuitMessage(int(msg.wParam));
}

RECT CenteredOn(HWND AOwner, int AW, int AH, DWORD AStyle) {
  RECT frame{0, 0, AW, AH};
  ::AdjustWindowRectEx(&frame, AStyle, FALSE, WS_EX_DLGMODALFRAME);
  RECT owner{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  if (AOwner && ::IsWindowVisible(AOwner)) ::GetWindowRect(AOwner, &owner);
  const int fw = frame.right - frame.left, fh = frame.bottom - frame.top;
  const int x = owner.left + (owner.right - owner.left - fw) / 2, y = owner.top + (owner.bottom - owner.top - fh) / 2;
  return RECT{x, y, x + fw, y + fh};
}

namespace {

// A message with an icon and one button ("확인") or two (AYes, ANo): true when "확인" or AYes was chosen.
bool MessageWindow(HWND AOwner, const std::string& AText, LPCWSTR AIcon, const std::string& AYes,
                   const std::string& ANo) {
  RegisterWindowClass(MessageClassName, &InputProc, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  HFONT font = UiFont(13);
  // The text's size in the program's font, wrapped at 420 pixels.
  const std::wstring text = W(AText);
  RECT measure{0, 0, 420, 0};
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  ::DrawTextW(dc, text.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  const int textW = std::max<int>(measure.right, 180), textH = std::max<int>(measure.bottom, 32);
  const int w = 16 + 32 + 14 + textW + 20, h = 18 + textH + 18 + 30 + 14;
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const RECT at = CenteredOn(AOwner, w, h, style);
  HWND wnd = ::CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, MessageClassName, L"TALMIR Remote", style, at.left,
                               at.top, at.right - at.left, at.bottom - at.top, AOwner, nullptr,
                               ::GetModuleHandleW(nullptr), nullptr);
  TInputState state;
  HWND icon = MakeControl(wnd, L"STATIC", "", SS_ICON, 16, 18, 32, 32, 0, nullptr);
  ::SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(::LoadIconW(nullptr, AIcon)), 0);
  MakeControl(wnd, L"STATIC", AText, SS_LEFT | SS_NOPREFIX, 16 + 32 + 14, 18, textW, textH, 0, font);
  HWND ok = nullptr;
  if (ANo.empty()) {
    ok = MakeControl(wnd, L"BUTTON", AYes, BS_DEFPUSHBUTTON | WS_TABSTOP, (w - 96) / 2, h - 44, 96, 30, IdOk, font);
  } else {
    // A question starts on ANo: a key pressed without reading never says yes.
    MakeControl(wnd, L"BUTTON", AYes, BS_PUSHBUTTON | WS_TABSTOP, w / 2 - 102, h - 44, 96, 30, IdOk, font);
    ok = MakeControl(wnd, L"BUTTON", ANo, BS_DEFPUSHBUTTON | WS_TABSTOP, w / 2 + 6, h - 44, 96, 30, IdCancel, font);
  }
  ::SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
  RunModal(wnd, AOwner, ok, state.Done);
  ::SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
  ::DestroyWindow(wnd);
  return state.Confirmed;
}

}  // namespace

void MessageBoxText(HWND AOwner, const std::string& AText, LPCWSTR AIcon) {
  MessageWindow(AOwner, AText, AIcon, "확인", "");
}

bool QuestionBox(HWND AOwner, const std::string& AText, const std::string& AYes, const std::string& ANo) {
  return MessageWindow(AOwner, AText, IDI_QUESTION, AYes, ANo);
}

bool InputBox(HWND AOwner, const std::string& ATitle, const std::string& APrompt, bool AMasked, std::string& AText,
              const std::string& ACheckCaption, bool* ACheck) {
  RegisterWindowClass(ClassName, &InputProc, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  const int w = 460, h = ACheck ? 200 : 170;
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const RECT at = CenteredOn(AOwner, w, h, style);
  HWND wnd = ::CreateWindowExW(WS_EX_DLGMODALFRAME, ClassName, W(ATitle).c_str(), style, at.left, at.top,
                               at.right - at.left, at.bottom - at.top, AOwner, nullptr, ::GetModuleHandleW(nullptr),
                               nullptr);
  TInputState state;
  HFONT font = UiFont(13);
  MakeControl(wnd, L"STATIC", APrompt, SS_LEFT | SS_NOPREFIX, 16, 12, w - 32, 52, 0, font);
  state.Edit = MakeControl(wnd, L"EDIT", AText, ES_AUTOHSCROLL | WS_TABSTOP | (AMasked ? ES_PASSWORD : 0), 16, 70,
                           w - 32, 26, IdEdit, font, WS_EX_CLIENTEDGE);
  if (AMasked) ::SendMessageW(state.Edit, EM_SETPASSWORDCHAR, L'*', 0);
  if (ACheck) {
    state.Check =
        MakeControl(wnd, L"BUTTON", ACheckCaption, BS_AUTOCHECKBOX | WS_TABSTOP, 16, 104, w - 32, 20, IdCheck, font);
    ::SendMessageW(state.Check, BM_SETCHECK, *ACheck ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  MakeControl(wnd, L"BUTTON", "확인", BS_DEFPUSHBUTTON | WS_TABSTOP, w - 216, h - 48, 96, 30, IdOk, font);
  MakeControl(wnd, L"BUTTON", "취소", BS_PUSHBUTTON | WS_TABSTOP, w - 112, h - 48, 96, 30, IdCancel, font);
  ::SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
  RunModal(wnd, AOwner, state.Edit, state.Done);
  ::SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
  ::DestroyWindow(wnd);
  if (state.Confirmed) AText = state.Text;
  if (state.Confirmed && ACheck) *ACheck = state.Checked;
  return state.Confirmed;
}

}  // namespace tlm
