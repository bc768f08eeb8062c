#include "winui/InputBox.h"

#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const ClassName = L"TLMRemoteInput";
constexpr int IdOk = 1, IdCancel = 2, IdEdit = 3;

struct TInputState {
  HWND Edit = nullptr;
  bool Done = false;
  bool Confirmed = false;
  std::string Text;
};

LRESULT CALLBACK InputProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  auto* state = WindowObject<TInputState>(AWnd);
  if (state) {
    if (AMsg == WM_COMMAND && (LOWORD(AW) == IdOk || LOWORD(AW) == IdCancel)) {
      state->Confirmed = LOWORD(AW) == IdOk;
      if (state->Confirmed) state->Text = WindowTextUtf8(state->Edit);
      state->Done = true;
      return 0;
    }
    if (AMsg == WM_CLOSE) {
      state->Done = true;
      return 0;
    }
    if (AMsg == WM_CTLCOLORSTATIC) {
      ::SetBkMode(reinterpret_cast<HDC>(AW), TRANSPARENT);
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    }
  }
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

}  // namespace

bool InputBox(HWND AOwner, const std::string& ATitle, const std::string& APrompt, bool AMasked, std::string& AText) {
  RegisterWindowClass(ClassName, &InputProc, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  const int w = 460, h = 170;
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  RECT frame{0, 0, w, h};
  ::AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME);
  RECT owner{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  if (AOwner) ::GetWindowRect(AOwner, &owner);
  const int fw = frame.right - frame.left, fh = frame.bottom - frame.top;
  const int x = owner.left + (owner.right - owner.left - fw) / 2, y = owner.top + (owner.bottom - owner.top - fh) / 2;
  HWND wnd = ::CreateWindowExW(WS_EX_DLGMODALFRAME, ClassName, W(ATitle).c_str(), style, x, y, fw, fh, AOwner, nullptr,
                               ::GetModuleHandleW(nullptr), nullptr);
  TInputState state;
  HFONT font = UiFont(13);
  MakeControl(wnd, L"STATIC", APrompt, SS_LEFT | SS_NOPREFIX, 16, 12, w - 32, 52, 0, font);
  state.Edit = MakeControl(wnd, L"EDIT", AText, ES_AUTOHSCROLL | WS_TABSTOP | (AMasked ? ES_PASSWORD : 0), 16, 70,
                           w - 32, 26, IdEdit, font, WS_EX_CLIENTEDGE);
  if (AMasked) ::SendMessageW(state.Edit, EM_SETPASSWORDCHAR, L'*', 0);
  MakeControl(wnd, L"BUTTON", "확인", BS_DEFPUSHBUTTON | WS_TABSTOP, w - 216, h - 48, 96, 30, IdOk, font);
  MakeControl(wnd, L"BUTTON", "취소", BS_PUSHBUTTON | WS_TABSTOP, w - 112, h - 48, 96, 30, IdCancel, font);
  ::SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

  if (AOwner) ::EnableWindow(AOwner, FALSE);
  ::ShowWindow(wnd, SW_SHOW);
  ::SetFocus(state.Edit);
  MSG msg;
  bool quit = false;
  while (!state.Done) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      quit = got == 0;
      break;
    }
    if (msg.message == WM_KEYDOWN && msg.hwnd == state.Edit && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE)) {
      ::SendMessageW(wnd, WM_COMMAND, msg.wParam == VK_RETURN ? IdOk : IdCancel, 0);
      continue;
    }
    if (::IsDialogMessageW(wnd, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (AOwner) ::EnableWindow(AOwner, TRUE);
  ::SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
  ::DestroyWindow(wnd);
  if (AOwner) ::SetForegroundWindow(AOwner);
  if (quit) ::PostQuitMessage(int(msg.wParam));  // for the main loop, which ends on it
  if (state.Confirmed) AText = state.Text;
  return state.Confirmed;
}

}  // namespace tlm
