#include "winui/ConsentPrompt.h"

#include <algorithm>

#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const ClassName = L"TLMRemoteConsent";
constexpr int IdAllow = 1;
constexpr int IdRefuse = 2;
constexpr int IdViewOnly = 3;
constexpr UINT_PTR TimerTick = 1;
constexpr int Width = 440, Height = 230;

}  // namespace

TConsentPrompt::TConsentPrompt(HWND AOwner, const std::string& AText, int ASeconds,
                               std::function<void(bool AAllow, bool AViewOnly)> AOnAnswer, int AGraceSeconds)
    : FLeft(ASeconds), FGrace(AGraceSeconds), FOnAnswer(std::move(AOnAnswer)) {
  RegisterWindowClass(ClassName, &TConsentPrompt::WndProc, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  RECT frame{0, 0, Width, Height};
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  ::AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME | WS_EX_TOPMOST);
  const int w = frame.right - frame.left, h = frame.bottom - frame.top;
  const int x = (::GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (::GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  FWnd = ::CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, ClassName, L"TALMIR Remote - 접속 요청", style, x, y,
                           w, h, AOwner, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  HFONT font = UiFont(13);
  MakeControl(FWnd, L"STATIC", AText, SS_LEFT | SS_NOPREFIX, 20, 16, Width - 40, 110, 0, font);
  FCountdown = MakeControl(FWnd, L"STATIC", "", SS_LEFT | SS_NOPREFIX, 20, 132, Width - 40, 20, 0, UiFont(12));
  HWND allow = MakeControl(FWnd, L"BUTTON", "허용", BS_DEFPUSHBUTTON | WS_TABSTOP, Width - 220, Height - 52, 96, 32,
                           IdAllow, font);
  MakeControl(FWnd, L"BUTTON", "보기만 허용", BS_PUSHBUTTON | WS_TABSTOP, Width - 332, Height - 52, 104, 32, IdViewOnly,
              font);
  MakeControl(FWnd, L"BUTTON", "거절", BS_PUSHBUTTON | WS_TABSTOP, Width - 116, Height - 52, 96, 32, IdRefuse, font);
  ShowCountdown();
  ::SetTimer(FWnd, TimerTick, 1000, nullptr);
  ::ShowWindow(FWnd, SW_SHOW);
  ::SetForegroundWindow(FWnd);
  ::SetFocus(allow);
}

TConsentPrompt::~TConsentPrompt() { Withdraw(); }

void TConsentPrompt::ShowCountdown() {
  SetWindowTextUtf8(FCountdown, std::to_string(std::max(FLeft, 0)) + "초 후 자동으로 거절됩니다.");
}

void TConsentPrompt::CloseWindow() {
  if (!FWnd) return;
  HWND wnd = FWnd;
  FWnd = nullptr;
  ::KillTimer(wnd, TimerTick);
  ::SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
  ::DestroyWindow(wnd);
}

void TConsentPrompt::Withdraw() {
  FOnAnswer = nullptr;
  CloseWindow();
}

void TConsentPrompt::Answer(bool AAllow, bool AViewOnly) {
  if (!FWnd) return;
  CloseWindow();
  // Taken out first: the handler may destroy this prompt.
  auto answer = std::move(FOnAnswer);
  FOnAnswer = nullptr;
  if (answer) answer(AAllow, AAllow && AViewOnly);
}

LRESULT TConsentPrompt::OnMessage(UINT AMsg, WPARAM AW, LPARAM AL) {
  switch (AMsg) {
    case WM_COMMAND:
      if (LOWORD(AW) == IdAllow || LOWORD(AW) == IdRefuse || LOWORD(AW) == IdViewOnly) {
        Answer(LOWORD(AW) != IdRefuse, LOWORD(AW) == IdViewOnly);
        return 0;
      }
      break;
    case WM_TIMER:
      if (AW == TimerTick) {
        if (--FLeft <= -FGrace) {
          Answer(false);
          return 0;
        }
        ShowCountdown();
        return 0;
      }
      break;
    case WM_CLOSE:
      Answer(false);
      return 0;
    case WM_CTLCOLORSTATIC:
      ::SetBkMode(reinterpret_cast<HDC>(AW), TRANSPARENT);
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    default:
      break;
  }
  return ::DefWindowProcW(FWnd, AMsg, AW, AL);
}

LRESULT CALLBACK TConsentPrompt::WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (auto* self = WindowObject<TConsentPrompt>(AWnd)) return self->OnMessage(AMsg, AW, AL);
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
