#include "winui/SettingsDialog.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>

#include "winui/ModalBoxes.h"
#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const ClassName = L"TLMRemoteSettings";
constexpr int IdTls = 11, IdBrowse = 12;
constexpr int Width = 500, LabelW = 150, FieldX = 16 + LabelW + 8, FieldW = Width - FieldX - 16;
constexpr COLORREF NoteColour = RGB(110, 110, 110);
constexpr COLORREF ErrorColour = RGB(180, 30, 30);

}  // namespace

TWinSettingsDialog::TWinSettingsDialog(HWND AOwner, const TClientSettings& ACurrent,
                                       const TSettingsOverrides& AOverrides, bool AAutostart)
    : FOwner(AOwner), FSettings(ACurrent), FOverrides(AOverrides), FAutostart(AAutostart) {
  RegisterWindowClass(ClassName, &TWinSettingsDialog::WndProc, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
  // The rows first, so that the window's height follows the notes shown.
  int notes = 2 + (AOverrides.RelayHost ? 1 : 0) + (AOverrides.RelayTls ? 1 : 0) + (AOverrides.RelayCa ? 1 : 0);
  const int height = 16 + 5 * 34 + notes * 22 + 24 + 40 + 48;
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const RECT at = CenteredOn(AOwner, Width, height, style);
  FWnd =
      ::CreateWindowExW(WS_EX_DLGMODALFRAME, ClassName, L"설정 - TALMIR Remote", style, at.left, at.top,
                        at.right - at.left, at.bottom - at.top, AOwner, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  HFONT font = UiFont(13), small = UiFont(12);
  int y = 16;
  auto row = [&](const char* ACaption) {
    MakeControl(FWnd, L"STATIC", ACaption, SS_LEFT | SS_CENTERIMAGE, 16, y, LabelW, 25, 0, font);
  };
  auto note = [&](const char* AText, int ALines = 1) {
    FNotes.push_back(
        MakeControl(FWnd, L"STATIC", AText, SS_LEFT | SS_NOPREFIX, FieldX, y, FieldW, 20 * ALines, 0, small));
    y += 22 * ALines;
  };
  row("상대방에게 보일 이름");
  // The rule says 64 characters; longer text is refused with the reason, not cut silently.
  edtName = MakeControl(FWnd, L"EDIT", ACurrent.MyName, ES_AUTOHSCROLL | WS_TABSTOP, FieldX, y, FieldW, 25, 0, font,
                        WS_EX_CLIENTEDGE);
  ::SendMessageW(edtName, EM_LIMITTEXT, 200, 0);
  y += 34;
  row("중계 서버 주소");
  edtRelay = MakeControl(FWnd, L"EDIT", AOverrides.RelayHost.value_or(ACurrent.RelayHost), ES_AUTOHSCROLL | WS_TABSTOP,
                         FieldX, y, FieldW, 25, 0, font, WS_EX_CLIENTEDGE);
  ::SendMessageW(edtRelay, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"기본 서버"));
  y += 34;
  if (AOverrides.RelayHost) {
    ::EnableWindow(edtRelay, FALSE);
    note("환경 변수 TLMREMOTE_HOST가 정한 값입니다.");
  }
  chkTls = MakeControl(FWnd, L"BUTTON", "중계 서버에 TLS로 연결", BS_AUTOCHECKBOX | WS_TABSTOP, FieldX, y, FieldW, 22,
                       IdTls, font);
  ::SendMessageW(chkTls, BM_SETCHECK, ACurrent.RelayTls || AOverrides.RelayTls ? BST_CHECKED : BST_UNCHECKED, 0);
  y += 34;
  if (AOverrides.RelayTls) {
    ::EnableWindow(chkTls, FALSE);
    note("환경 변수 TLMREMOTE_TLS=1이 켜 두었습니다.");
  }
  row("신뢰할 인증서 (PEM)");
  edtCa = MakeControl(FWnd, L"EDIT", AOverrides.RelayCa.value_or(ACurrent.RelayCa), ES_AUTOHSCROLL | WS_TABSTOP, FieldX,
                      y, FieldW - 100, 25, 0, font, WS_EX_CLIENTEDGE);
  ::SendMessageW(edtCa, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"시스템 인증서"));
  btnBrowse = MakeControl(FWnd, L"BUTTON", "찾아보기...", BS_PUSHBUTTON | WS_TABSTOP, FieldX + FieldW - 94, y - 1, 94,
                          27, IdBrowse, font);
  y += 34;
  if (AOverrides.RelayCa) note("환경 변수 TLMREMOTE_TLS_CA가 정한 파일입니다.");
  note("중계 서버와 TLS는 다시 시작한 뒤부터 이 컴퓨터의 접속에 쓰입니다.", 2);
  y += 4;
  // At login the host is reachable again without anybody starting it.
  chkAutostart = MakeControl(FWnd, L"BUTTON", "시작할 때 자동 실행", BS_AUTOCHECKBOX | WS_TABSTOP, FieldX, y, FieldW, 22,
                             0, font);
  ::SendMessageW(chkAutostart, BM_SETCHECK, AAutostart ? BST_CHECKED : BST_UNCHECKED, 0);
  y += 30;
  lblError = MakeControl(FWnd, L"STATIC", "", SS_LEFT | SS_NOPREFIX, 16, y + 4, Width - 32, 40, 0, small);
  ::ShowWindow(lblError, SW_HIDE);
  MakeControl(FWnd, L"BUTTON", "확인", BS_DEFPUSHBUTTON | WS_TABSTOP, Width - 216, height - 46, 96, 30, ModalOk, font);
  MakeControl(FWnd, L"BUTTON", "취소", BS_PUSHBUTTON | WS_TABSTOP, Width - 112, height - 46, 96, 30, ModalCancel, font);
  FollowTls();
}

TWinSettingsDialog::~TWinSettingsDialog() {
  if (!FWnd) return;
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
  ::DestroyWindow(FWnd);
}

bool TWinSettingsDialog::Run() {
  RunModal(FWnd, FOwner, edtName, FDone);
  ::ShowWindow(FWnd, SW_HIDE);
  return FAccepted;
}

void TWinSettingsDialog::FollowTls() {
  // The certificate file only matters over TLS, and is not the user's while the environment names one.
  const bool on = ::SendMessageW(chkTls, BM_GETCHECK, 0, 0) == BST_CHECKED && !FOverrides.RelayCa;
  ::EnableWindow(edtCa, on);
  ::EnableWindow(btnBrowse, on);
}

void TWinSettingsDialog::Browse() {
  std::wstring buffer(4096, L'\0');
  const std::wstring current = W(WindowTextUtf8(edtCa));
  current.copy(buffer.data(), std::min(current.size(), buffer.size() - 1));
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = FWnd;
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = DWORD(buffer.size());
  ofn.lpstrTitle = L"인증서 파일";
  ofn.lpstrFilter = L"PEM (*.pem;*.crt)\0*.pem;*.crt\0모든 파일 (*.*)\0*.*\0";
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  if (::GetOpenFileNameW(&ofn)) SetWindowTextUtf8(edtCa, U(buffer.c_str()));
}

bool TWinSettingsDialog::TryAccept() {
  TClientSettings settings;
  settings.MyName = WindowTextUtf8(edtName);
  settings.RelayHost = FOverrides.RelayHost ? std::string() : WindowTextUtf8(edtRelay);
  settings.RelayTls = ::SendMessageW(chkTls, BM_GETCHECK, 0, 0) == BST_CHECKED;
  settings.RelayCa = FOverrides.RelayCa ? std::string() : WindowTextUtf8(edtCa);
  std::string error;
  if (!CheckClientSettings(settings, error)) {
    SetWindowTextUtf8(lblError, error);
    ::ShowWindow(lblError, SW_SHOW);
    return false;
  }
  // What the environment sets is not the user's to store: those stored values stay as they were.
  if (FOverrides.RelayHost) settings.RelayHost = FSettings.RelayHost;
  if (FOverrides.RelayTls) settings.RelayTls = FSettings.RelayTls;
  if (FOverrides.RelayCa) settings.RelayCa = FSettings.RelayCa;
  FSettings = settings;
  FAutostart = ::SendMessageW(chkAutostart, BM_GETCHECK, 0, 0) == BST_CHECKED;
  FAccepted = true;
  FDone = true;
  ::PostMessageW(FWnd, WM_NULL, 0, 0);  // wakes Run's wait
  return true;
}

std::string TWinSettingsDialog::ErrorText() const {
  // Its own flag, not IsWindowVisible: the dialog itself may not show (tests drive it hidden).
  return (::GetWindowLongW(lblError, GWL_STYLE) & WS_VISIBLE) ? WindowTextUtf8(lblError) : std::string();
}

bool TWinSettingsDialog::Edit(HWND AOwner, TClientSettings& ASettings, bool& AAutostart,
                              const TSettingsOverrides& AOverrides) {
  TWinSettingsDialog dialog(AOwner, ASettings, AOverrides, AAutostart);
  if (!dialog.Run()) return false;
  ASettings = dialog.Settings();
  AAutostart = dialog.Autostart();
  return true;
}

LRESULT TWinSettingsDialog::OnMessage(UINT AMsg, WPARAM AW, LPARAM AL) {
  switch (AMsg) {
    case WM_COMMAND:
      switch (LOWORD(AW)) {
        case ModalOk:
          TryAccept();
          return 0;
        case ModalCancel:
          FDone = true;
          ::PostMessageW(FWnd, WM_NULL, 0, 0);
          return 0;
        case IdTls:
          FollowTls();
          return 0;
        case IdBrowse:
          Browse();
          return 0;
        default:
          break;
      }
      break;
    case WM_CLOSE:
      FDone = true;
      ::PostMessageW(FWnd, WM_NULL, 0, 0);
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(AW);
      const HWND control = reinterpret_cast<HWND>(AL);
      ::SetBkMode(dc, TRANSPARENT);
      // Notes in grey, the refusal in red; captions and check boxes as the system draws them.
      if (control == lblError)
        ::SetTextColor(dc, ErrorColour);
      else if (std::find(FNotes.begin(), FNotes.end(), control) != FNotes.end())
        ::SetTextColor(dc, NoteColour);
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
    }
    default:
      break;
  }
  return ::DefWindowProcW(FWnd, AMsg, AW, AL);
}

LRESULT CALLBACK TWinSettingsDialog::WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (auto* self = WindowObject<TWinSettingsDialog>(AWnd)) return self->OnMessage(AMsg, AW, AL);
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
