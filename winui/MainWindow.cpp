#include "winui/MainWindow.h"

#include <commctrl.h>

#include <windowsx.h>

#include <algorithm>

#include "protocol/Credentials.h"
#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const ClassName = L"TLMRemoteMain";

enum : int {
  IdSetPw = 201,
  IdAutoPw,
  IdRemoteID,
  IdConnect,
  IdQuality,
  IdRecent,
  IdDeleteRecent,
  IdEndSession,
  IdChat,
  IdRenewOtp,
  IdBlockInput,
  IdSettings,
  IdMenuRename,
  IdMenuDelete,
  IdCancelPending,
};
constexpr UINT_PTR TimerUi = 1;

constexpr COLORREF HeaderColour = RGB(0x3B, 0x4A, 0x6C);
constexpr COLORREF MyStartColour = RGB(0xEB, 0xF3, 0xF5);
constexpr COLORREF RemoteColour = RGB(0xEB, 0xF3, 0xF5);
constexpr COLORREF RecentColour = RGB(0xF6, 0xF9, 0xFB);
constexpr COLORREF LogColour = RGB(0xF7, 0xF7, 0xF7);
constexpr COLORREF EndColour = RGB(0xC0, 0x39, 0x2B);
constexpr COLORREF SettingsColour = RGB(0x4E, 0x5F, 0x85);
constexpr COLORREF GreyText = RGB(0x80, 0x80, 0x80);
constexpr int ClientW = 760, ClientH = 560;
// The memo holds this many lines as it shows them (each wrapped piece counts).
constexpr LRESULT MaxLogLines = 201;

struct TPanel {
  RECT Area;
  int Which;  // 0 header, 1 mine, 2 remote, 3 recent
};
constexpr TPanel Panels[] = {
    {{0, 0, 760, 64}, 0}, {{24, 88, 368, 320}, 1}, {{392, 88, 736, 320}, 2}, {{24, 340, 736, 536}, 3}};

}  // namespace

TWinClientMain::TWinClientMain() : FMyColour(MyStartColour) {
  FMyBrush = ::CreateSolidBrush(FMyColour);
  FHeaderBrush = ::CreateSolidBrush(HeaderColour);
  FRemoteBrush = ::CreateSolidBrush(RemoteColour);
  FRecentBrush = ::CreateSolidBrush(RecentColour);
  FLogBrush = ::CreateSolidBrush(LogColour);
  FWhiteBrush = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  RegisterWindowClass(ClassName, &TWinClientMain::WndProc, FWhiteBrush);
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, ClientW, ClientH};
  ::AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int w = frame.right - frame.left, h = frame.bottom - frame.top;
  const int x = std::max(0, (::GetSystemMetrics(SM_CXSCREEN) - w) / 2);
  const int y = std::max(0, (::GetSystemMetrics(SM_CYSCREEN) - h) / 2);
  FWnd = ::CreateWindowExW(0, ClassName, L"TALMIR Remote", style, x, y, w, h, nullptr, nullptr,
                           ::GetModuleHandleW(nullptr), nullptr);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  BuildControls();
  ::SetTimer(FWnd, TimerUi, 1500, nullptr);
}

TWinClientMain::~TWinClientMain() {
  if (FWnd) {
    ::KillTimer(FWnd, TimerUi);
    ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
    ::DestroyWindow(FWnd);
  }
  for (HBRUSH brush : {FMyBrush, FHeaderBrush, FRemoteBrush, FRecentBrush, FLogBrush}) ::DeleteObject(brush);
}

void TWinClientMain::BuildControls() {
  HFONT ui = UiFont(13);
  HWND w = FWnd;
  lblTitle = MakeControl(w, L"STATIC", "TALMIR Remote", SS_LEFT, 24, 18, 300, 28, 0, UiFont(21, true));
  lblHeaderState = MakeControl(w, L"STATIC", "연결 중", SS_RIGHT, 632, 24, 104, 17, 0, UiFont(12));
  btnEndSession = MakeControl(w, L"BUTTON", "연결 끊기", BS_OWNERDRAW | WS_TABSTOP, 424, 17, 120, 30, IdEndSession,
                              UiFont(13, true));
  ::ShowWindow(btnEndSession, SW_HIDE);
  btnSettings = MakeControl(w, L"BUTTON", "설정", BS_OWNERDRAW | WS_TABSTOP, 560, 19, 64, 26, IdSettings, ui);

  // My computer: the panel at 24, 88.
  lblMyCaption = MakeControl(w, L"STATIC", "내 컴퓨터", SS_LEFT, 24 + 20, 88 + 16, 200, 18, 0, UiFont(13, true));
  lblMyID = MakeControl(w, L"STATIC", "--- --- ---", SS_LEFT | SS_NOPREFIX, 24 + 18, 88 + 44, 320, 44, 0,
                        MonoFont(32, true));
  lblPwCaption = MakeControl(w, L"STATIC", "비밀번호 (무인 접속용)", SS_LEFT, 24 + 20, 88 + 104, 300, 18, 0, ui);
  edtPassword = MakeControl(w, L"EDIT", "", ES_PASSWORD | ES_AUTOHSCROLL | WS_TABSTOP, 24 + 20, 88 + 126, 200, 25,
                            IdSetPw + 100, ui, WS_EX_CLIENTEDGE);
  ::SendMessageW(edtPassword, EM_SETPASSWORDCHAR, L'*', 0);
  btnSetPw = MakeControl(w, L"BUTTON", "설정", BS_PUSHBUTTON | WS_TABSTOP, 24 + 228, 88 + 125, 96, 27, IdSetPw, ui);
  chkAutoPw = MakeControl(w, L"BUTTON", "비밀번호로 무인 접속 허용", BS_AUTOCHECKBOX | WS_TABSTOP, 24 + 20, 88 + 160,
                          300, 17, IdAutoPw, ui);
  lblStatus = MakeControl(w, L"STATIC", "시작하는 중...", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 24 + 20, 88 + 188,
                          300, 17, 0, UiFont(12));
  // The one-time password beside the caption: read out on the phone, renewed after every session.
  lblOtpCaption = MakeControl(w, L"STATIC", "임시 비밀번호", SS_LEFT, 24 + 130, 88 + 19, 84, 17, 0, UiFont(12));
  lblOtp = MakeControl(w, L"STATIC", "", SS_LEFT | SS_NOPREFIX, 24 + 216, 88 + 12, 72, 26, 0, MonoFont(18, true));
  // In words: the arrow sign is missing from fonts a Korean system may fall back on.
  btnRenewOtp = MakeControl(w, L"BUTTON", "새로", BS_PUSHBUTTON | WS_TABSTOP, 24 + 290, 88 + 13, 40, 24, IdRenewOtp,
                            UiFont(12));
  // Under the ID: read out on the phone, it lets the helper check that the program reached is this one.
  lblSecurityCode =
      MakeControl(w, L"STATIC", "", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 24 + 20, 88 + 89, 310, 15, 0, UiFont(11));
  ::ShowWindow(lblSecurityCode, SW_HIDE);
  lblSession = MakeControl(w, L"STATIC", "", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 24 + 20, 88 + 207, 210, 17, 0,
                           UiFont(12, true));
  ::ShowWindow(lblSession, SW_HIDE);
  chkBlockInput = MakeControl(w, L"BUTTON", "입력 차단", BS_AUTOCHECKBOX | WS_TABSTOP, 24 + 236, 88 + 206, 100, 19,
                              IdBlockInput, UiFont(12));
  ::ShowWindow(chkBlockInput, SW_HIDE);

  // Remote control: the panel at 392, 88.
  lblRemoteCaption = MakeControl(w, L"STATIC", "원격 제어", SS_LEFT, 392 + 20, 88 + 16, 200, 18, 0, UiFont(13, true));
  // Two lines: the wait for a partner's answer names the ID and the session code.
  lblRemoteHint = MakeControl(w, L"STATIC", std::string(IdleHint), SS_LEFT | SS_NOPREFIX, 392 + 20,
                              88 + 37, 236, 34, 0, UiFont(12));
  btnCancelPending = MakeControl(w, L"BUTTON", "취소", BS_PUSHBUTTON, 392 + 264, 88 + 42, 60, 24, IdCancelPending,
                                 UiFont(12));
  ::ShowWindow(btnCancelPending, SW_HIDE);
  edtRemoteID = MakeControl(w, L"EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, 392 + 20, 88 + 72, 304, 36, IdRemoteID,
                            MonoFont(24), WS_EX_CLIENTEDGE);
  ::SendMessageW(edtRemoteID, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"000 000 000"));
  ::SetWindowSubclass(edtRemoteID, &TWinClientMain::EditProc, 1, reinterpret_cast<DWORD_PTR>(this));
  btnConnect = MakeControl(w, L"BUTTON", "접속", BS_OWNERDRAW | WS_TABSTOP, 392 + 20, 88 + 128, 304, 44, IdConnect,
                           UiFont(17, true));
  cbQuality = MakeControl(w, L"COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 392 + 20, 88 + 188, 140, 200,
                          IdQuality, ui);
  for (const char* item : {"빠름", "표준", "고화질"})
    ::SendMessageW(cbQuality, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(item).c_str()));

  // Recent connections and the log: the panel at 24, 340.
  lblRecent = MakeControl(w, L"STATIC", "최근 접속", SS_LEFT, 24 + 16, 340 + 12, 200, 18, 0, UiFont(13, true));
  btnDeleteRecent = MakeControl(w, L"BUTTON", "삭제", BS_PUSHBUTTON | WS_TABSTOP, 24 + 356, 340 + 8, 60, 24,
                                IdDeleteRecent, UiFont(12));
  lstRecent = MakeControl(w, L"LISTBOX", "", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP, 24 + 16,
                          340 + 36, 400, 144, IdRecent, ui);
  ::SendMessageW(lstRecent, LB_SETITEMHEIGHT, 0, 17);
  ::SetWindowSubclass(lstRecent, &TWinClientMain::EditProc, 2, reinterpret_cast<DWORD_PTR>(this));
  mmoLog = MakeControl(w, L"EDIT", "", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, 24 + 432, 340 + 36,
                       264, 144, 0, MonoFont(11));
  edtChat = MakeControl(w, L"EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, 24 + 432, 340 + 158, 264, 24, IdChat, ui,
                        WS_EX_CLIENTEDGE);
  ::SendMessageW(edtChat, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"채팅 메시지 입력 후 Enter"));
  ::SetWindowSubclass(edtChat, &TWinClientMain::EditProc, 3, reinterpret_cast<DWORD_PTR>(this));
  ::ShowWindow(edtChat, SW_HIDE);
}

void TWinClientMain::Show() {
  ::ShowWindow(FWnd, SW_SHOW);
  ::UpdateWindow(FWnd);
  ::SetFocus(edtRemoteID);
}

void TWinClientMain::Hide() { ::ShowWindow(FWnd, SW_HIDE); }

void TWinClientMain::SetRemoteHint(const std::string& AText, EHint AKind) {
  FHint = AKind;
  ::ShowWindow(btnCancelPending, AKind == EHint::Pending && FCancelPending ? SW_SHOW : SW_HIDE);
  SetWindowTextUtf8(lblRemoteHint, AText);
  ::InvalidateRect(lblRemoteHint, nullptr, TRUE);
}

void TWinClientMain::ShowPending(const std::string& AText, std::function<void()> ACancel) {
  FCancelPending = std::move(ACancel);
  SetRemoteHint(AText, EHint::Pending);
}

void TWinClientMain::EndPending(const std::string& AText) {
  FCancelPending = nullptr;
  if (AText.empty())
    SetRemoteHint(std::string(IdleHint), EHint::Idle);
  else
    SetRemoteHint(AText, EHint::Ended);
}

std::string TWinClientMain::RemoteHintText() const { return WindowTextUtf8(lblRemoteHint); }

void TWinClientMain::BringToFront() {
  if (::IsIconic(FWnd)) ::ShowWindow(FWnd, SW_RESTORE);
  ::ShowWindow(FWnd, SW_SHOW);
  ::SetForegroundWindow(FWnd);
  ::BringWindowToTop(FWnd);
}

void TWinClientMain::SetMyID(const std::string& AGroupedID) { SetWindowTextUtf8(lblMyID, AGroupedID); }
void TWinClientMain::SetStatus(const std::string& AText) { SetWindowTextUtf8(lblStatus, AText); }
void TWinClientMain::SetHeaderState(const std::string& AText) { SetWindowTextUtf8(lblHeaderState, AText); }

void TWinClientMain::SetPanelColour(COLORREF AColour) {
  FMyColour = AColour;
  ::DeleteObject(FMyBrush);
  FMyBrush = ::CreateSolidBrush(AColour);
  // The panel and the labels on it, which paint their own background.
  ::RedrawWindow(FWnd, &Panels[1].Area, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TWinClientMain::SetLogLines(const std::vector<std::string>& ALines) {
  std::string text;
  for (const std::string& line : ALines) {
    if (!text.empty()) text += "\r\n";
    text += line;
  }
  SetWindowTextUtf8(mmoLog, text);
  ::SendMessageW(mmoLog, EM_LINESCROLL, 0, ::SendMessageW(mmoLog, EM_GETLINECOUNT, 0, 0));
}

void TWinClientMain::AppendLogLine(const std::string& ALine) {
  ::SendMessageW(mmoLog, WM_SETREDRAW, FALSE, 0);
  const int end = ::GetWindowTextLengthW(mmoLog);
  ::SendMessageW(mmoLog, EM_SETSEL, WPARAM(end), LPARAM(end));
  const std::wstring text = W((end > 0 ? "\r\n" : "") + ALine);
  ::SendMessageW(mmoLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  // Lines as the memo shows them: a wrapped entry counts once per piece.
  const LRESULT lines = ::SendMessageW(mmoLog, EM_GETLINECOUNT, 0, 0);
  if (lines > MaxLogLines) {
    const LRESULT cut = ::SendMessageW(mmoLog, EM_LINEINDEX, WPARAM(lines - MaxLogLines), 0);
    ::SendMessageW(mmoLog, EM_SETSEL, 0, cut);
    ::SendMessageW(mmoLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  const int newEnd = ::GetWindowTextLengthW(mmoLog);
  ::SendMessageW(mmoLog, EM_SETSEL, WPARAM(newEnd), LPARAM(newEnd));
  ::SendMessageW(mmoLog, WM_SETREDRAW, TRUE, 0);
  ::SendMessageW(mmoLog, EM_SCROLLCARET, 0, 0);
  ::InvalidateRect(mmoLog, nullptr, TRUE);
}

void TWinClientMain::ReplaceLastLogLine(const std::string& ALine) {
  // The entry's first displayed line: the last line that follows a hard line break.
  const std::wstring all = W(LogText());
  const size_t cut = all.rfind(L"\r\n");
  const LRESULT from = cut == std::wstring::npos ? 0 : LRESULT(cut + 2);
  const int end = ::GetWindowTextLengthW(mmoLog);
  ::SendMessageW(mmoLog, EM_SETSEL, WPARAM(from), LPARAM(end));
  const std::wstring text = W(ALine);
  ::SendMessageW(mmoLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  ::SendMessageW(mmoLog, EM_SCROLLCARET, 0, 0);
}

void TWinClientMain::SetRecent(const std::vector<std::string>& ALines) {
  ::SendMessageW(lstRecent, WM_SETREDRAW, FALSE, 0);
  ::SendMessageW(lstRecent, LB_RESETCONTENT, 0, 0);
  for (const std::string& line : ALines)
    ::SendMessageW(lstRecent, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(line).c_str()));
  ::SendMessageW(lstRecent, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(lstRecent, nullptr, TRUE);
}

void TWinClientMain::SetQuality(int AIndex) { ::SendMessageW(cbQuality, CB_SETCURSEL, WPARAM(AIndex), 0); }

void TWinClientMain::SetAutoPassword(bool AChecked) {
  ::SendMessageW(chkAutoPw, BM_SETCHECK, AChecked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TWinClientMain::ClearPassword(const std::string& AHint) {
  ::SetWindowTextW(edtPassword, L"");
  ::SendMessageW(edtPassword, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(W(AHint).c_str()));
}

void TWinClientMain::SetOneTimePassword(const std::string& AText) { SetWindowTextUtf8(lblOtp, AText); }

void TWinClientMain::SetSecurityLine(const std::string& AText, bool AWarning) {
  FSecurityWarning = AWarning;
  ::SendMessageW(lblSecurityCode, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(11, AWarning)), FALSE);
  SetWindowTextUtf8(lblSecurityCode, AText);
  ::ShowWindow(lblSecurityCode, AText.empty() ? SW_HIDE : SW_SHOW);
  ::InvalidateRect(lblSecurityCode, nullptr, TRUE);
}

void TWinClientMain::SetSessionLine(const std::string& AText) {
  if (AText != WindowTextUtf8(lblSession)) SetWindowTextUtf8(lblSession, AText);
  ::ShowWindow(lblSession, AText.empty() ? SW_HIDE : SW_SHOW);
  ::ShowWindow(chkBlockInput, AText.empty() ? SW_HIDE : SW_SHOW);
}

void TWinClientMain::SetBlockInput(bool AChecked) {
  ::SendMessageW(chkBlockInput, BM_SETCHECK, AChecked ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::string TWinClientMain::OneTimePasswordText() const { return WindowTextUtf8(lblOtp); }

std::string TWinClientMain::SecurityLineText() const {
  return ::IsWindowVisible(lblSecurityCode) ? WindowTextUtf8(lblSecurityCode) : std::string();
}

std::string TWinClientMain::SessionLineText() const {
  return ::IsWindowVisible(lblSession) ? WindowTextUtf8(lblSession) : std::string();
}

bool TWinClientMain::BlockInputChecked() const {
  return ::SendMessageW(chkBlockInput, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TWinClientMain::RecentMenu(LPARAM AAt) {
  POINT at{GET_X_LPARAM(AAt), GET_Y_LPARAM(AAt)};
  if (at.x == -1 && at.y == -1) {  // from the keyboard: at the selected entry
    RECT item{};
    if (::SendMessageW(lstRecent, LB_GETITEMRECT, WPARAM(std::max(0, RecentIndex())),
                       reinterpret_cast<LPARAM>(&item)) == LB_ERR)
      return;
    at = POINT{item.left + 8, item.bottom};
    ::ClientToScreen(lstRecent, &at);
  } else {
    // The entry under the pointer becomes the selection the menu acts on.
    POINT local = at;
    ::ScreenToClient(lstRecent, &local);
    const LRESULT hit = ::SendMessageW(lstRecent, LB_ITEMFROMPOINT, 0, MAKELPARAM(local.x, local.y));
    if (HIWORD(hit) != 0) return;  // outside every entry
    ::SendMessageW(lstRecent, LB_SETCURSEL, WPARAM(LOWORD(hit)), 0);
  }
  const int index = RecentIndex();
  if (index < 0) return;
  HMENU menu = ::CreatePopupMenu();
  ::AppendMenuW(menu, MF_STRING, IdMenuRename, L"이름 붙이기...");
  ::AppendMenuW(menu, MF_STRING, IdMenuDelete, L"목록에서 삭제");
  const int chosen =
      int(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, FWnd, nullptr));
  ::DestroyMenu(menu);
  if (chosen == IdMenuRename && OnRecentRename) OnRecentRename(index);
  if (chosen == IdMenuDelete && OnRecentDelete) OnRecentDelete(index);
}

void TWinClientMain::ShowSessionControls(bool AInSession) {
  ::ShowWindow(btnEndSession, AInSession ? SW_SHOW : SW_HIDE);
  ::ShowWindow(edtChat, AInSession ? SW_SHOW : SW_HIDE);
  ::MoveWindow(mmoLog, 24 + 432, 340 + 36, 264, AInSession ? 118 : 144, TRUE);
}

std::string TWinClientMain::MyIDText() const { return WindowTextUtf8(lblMyID); }
std::string TWinClientMain::StatusText() const { return WindowTextUtf8(lblStatus); }
std::string TWinClientMain::HeaderText() const { return WindowTextUtf8(lblHeaderState); }
std::string TWinClientMain::RemoteIDText() const { return WindowTextUtf8(edtRemoteID); }
std::string TWinClientMain::PasswordText() const { return WindowTextUtf8(edtPassword); }
std::string TWinClientMain::LogText() const { return WindowTextUtf8(mmoLog); }

bool TWinClientMain::AutoPasswordChecked() const {
  return ::SendMessageW(chkAutoPw, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int TWinClientMain::QualityIndex() const { return int(::SendMessageW(cbQuality, CB_GETCURSEL, 0, 0)); }

int TWinClientMain::RecentIndex() const { return int(::SendMessageW(lstRecent, LB_GETCURSEL, 0, 0)); }

std::vector<std::string> TWinClientMain::RecentLines() const {
  std::vector<std::string> lines;
  const int count = int(::SendMessageW(lstRecent, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    std::wstring text(size_t(::SendMessageW(lstRecent, LB_GETTEXTLEN, WPARAM(i), 0)) + 1, L'\0');
    const LRESULT got = ::SendMessageW(lstRecent, LB_GETTEXT, WPARAM(i), reinterpret_cast<LPARAM>(text.data()));
    text.resize(size_t(got > 0 ? got : 0));
    lines.push_back(U(text));
  }
  return lines;
}

bool TWinClientMain::PreTranslate(MSG& AMsg) {
  if (AMsg.message == WM_KEYDOWN && AMsg.wParam == VK_RETURN && AMsg.hwnd == edtPassword) {
    Command(IdSetPw, BN_CLICKED);
    return true;
  }
  return ::IsDialogMessageW(FWnd, &AMsg) != 0;
}

void TWinClientMain::Command(int AId, int ACode) {
  switch (AId) {
    case IdConnect:
      if (ACode == BN_CLICKED && OnConnect) OnConnect(RemoteIDText());
      break;
    case IdCancelPending:
      if (ACode == BN_CLICKED) {
        auto cancel = std::move(FCancelPending);
        FCancelPending = nullptr;
        SetRemoteHint(std::string(IdleHint), EHint::Idle);
        if (cancel) cancel();
      }
      break;
    case IdSetPw:
      if (ACode == BN_CLICKED && OnSetPassword) OnSetPassword();
      break;
    case IdQuality:
      if (ACode == CBN_SELCHANGE && OnQualityChange) OnQualityChange(QualityIndex());
      break;
    case IdRecent:
      if (ACode == LBN_DBLCLK && RecentIndex() >= 0 && OnRecentActivate) OnRecentActivate(RecentIndex());
      break;
    case IdDeleteRecent:
      if (ACode == BN_CLICKED && RecentIndex() >= 0 && OnRecentDelete) OnRecentDelete(RecentIndex());
      break;
    case IdEndSession:
      if (ACode == BN_CLICKED && OnEndSession) OnEndSession();
      break;
    case IdRenewOtp:
      if (ACode == BN_CLICKED && OnRenewOtp) OnRenewOtp();
      break;
    case IdBlockInput:
      if (ACode == BN_CLICKED && OnBlockInput) OnBlockInput(BlockInputChecked());
      break;
    case IdSettings:
      if (ACode == BN_CLICKED && OnSettings) OnSettings();
      break;
    case IdSetPw + 100:
      // A typed password is meant to be used: the box ticks itself, so "설정" stores it.
      if (ACode == EN_CHANGE && !TrimControl(PasswordText()).empty()) SetAutoPassword(true);
      break;
    default: break;
  }
}

void TWinClientMain::DrawButton(const DRAWITEMSTRUCT& AItem) {
  COLORREF fill = AItem.hwndItem == btnEndSession ? EndColour
                  : AItem.hwndItem == btnSettings ? SettingsColour
                                                  : HeaderColour;
  if (AItem.itemState & ODS_SELECTED) fill = RGB(GetRValue(fill) * 3 / 4, GetGValue(fill) * 3 / 4, GetBValue(fill) * 3 / 4);
  HBRUSH brush = ::CreateSolidBrush(fill);
  ::FillRect(AItem.hDC, &AItem.rcItem, brush);
  ::DeleteObject(brush);
  ::SetBkMode(AItem.hDC, TRANSPARENT);
  ::SetTextColor(AItem.hDC, RGB(255, 255, 255));
  HGDIOBJ old = ::SelectObject(AItem.hDC, reinterpret_cast<HFONT>(::SendMessageW(AItem.hwndItem, WM_GETFONT, 0, 0)));
  std::wstring text = W(WindowTextUtf8(AItem.hwndItem));
  RECT r = AItem.rcItem;
  ::DrawTextW(AItem.hDC, text.c_str(), -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  ::SelectObject(AItem.hDC, old);
  if (AItem.itemState & ODS_FOCUS) {
    RECT focus = AItem.rcItem;
    ::InflateRect(&focus, -3, -3);
    ::DrawFocusRect(AItem.hDC, &focus);
  }
}

HBRUSH TWinClientMain::BrushFor(HWND AControl, HDC ADC) {
  if (AControl == mmoLog) {
    ::SetTextColor(ADC, RGB(0x80, 0x80, 0x80));
    ::SetBkColor(ADC, LogColour);
    return FLogBrush;
  }
  if (AControl == lblTitle || AControl == lblHeaderState) {
    ::SetTextColor(ADC, RGB(255, 255, 255));
    ::SetBkColor(ADC, HeaderColour);
    return FHeaderBrush;
  }
  if (AControl == lblMyID || AControl == lblOtp) ::SetTextColor(ADC, HeaderColour);
  if (AControl == lblStatus) ::SetTextColor(ADC, RGB(0x70, 0x70, 0x70));
  if (AControl == lblRemoteHint) {
    const COLORREF colour =
        FHint == EHint::Pending ? HeaderColour : FHint == EHint::Ended ? EndColour : RGB(0x70, 0x70, 0x70);
    ::SetTextColor(ADC, colour);
  }
  if (AControl == lblOtpCaption) ::SetTextColor(ADC, GreyText);
  // In clear: said in the colour of a warning, for as long as the session lasts.
  if (AControl == lblSecurityCode) ::SetTextColor(ADC, FSecurityWarning ? EndColour : GreyText);
  RECT r;
  ::GetWindowRect(AControl, &r);
  POINT p{r.left, r.top};
  ::ScreenToClient(FWnd, &p);
  for (const TPanel& panel : Panels) {
    if (!::PtInRect(&panel.Area, p)) continue;
    switch (panel.Which) {
      case 1: ::SetBkColor(ADC, FMyColour); return FMyBrush;
      case 2: ::SetBkColor(ADC, RemoteColour); return FRemoteBrush;
      case 3: ::SetBkColor(ADC, RecentColour); return FRecentBrush;
      default: break;
    }
  }
  ::SetBkColor(ADC, RGB(255, 255, 255));
  return FWhiteBrush;
}

LRESULT TWinClientMain::OnMessage(UINT AMsg, WPARAM AW, LPARAM AL) {
  switch (AMsg) {
    case WM_COMMAND: Command(LOWORD(AW), HIWORD(AW)); return 0;
    case WM_DRAWITEM: DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(AL)); return TRUE;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(AW) == lstRecent) {
        RecentMenu(AL);
        return 0;
      }
      break;
    case WM_TIMER:
      if (AW == TimerUi && OnTimer) OnTimer();
      return 0;
    case WM_ERASEBKGND: {
      HDC dc = reinterpret_cast<HDC>(AW);
      RECT client;
      ::GetClientRect(FWnd, &client);
      ::FillRect(dc, &client, FWhiteBrush);
      ::FillRect(dc, &Panels[0].Area, FHeaderBrush);
      ::FillRect(dc, &Panels[1].Area, FMyBrush);
      ::FillRect(dc, &Panels[2].Area, FRemoteBrush);
      ::FillRect(dc, &Panels[3].Area, FRecentBrush);
      return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORLISTBOX: return reinterpret_cast<LRESULT>(BrushFor(reinterpret_cast<HWND>(AL), reinterpret_cast<HDC>(AW)));
    case WM_CLOSE:
      if (OnClose) OnClose();
      return 0;
    default: break;
  }
  return ::DefWindowProcW(FWnd, AMsg, AW, AL);
}

LRESULT CALLBACK TWinClientMain::WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (auto* self = WindowObject<TWinClientMain>(AWnd)) return self->OnMessage(AMsg, AW, AL);
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

LRESULT CALLBACK TWinClientMain::EditProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL, UINT_PTR AId, DWORD_PTR AData) {
  auto* self = reinterpret_cast<TWinClientMain*>(AData);
  if (AMsg == WM_KEYDOWN) {
    if (AId == 1 && AW == VK_RETURN) {  // the partner ID: Enter connects
      if (self->OnConnect) self->OnConnect(self->RemoteIDText());
      return 0;
    }
    if (AId == 2 && AW == VK_DELETE && self->RecentIndex() >= 0 && self->OnRecentDelete) {
      self->OnRecentDelete(self->RecentIndex());
      return 0;
    }
    if (AId == 2 && AW == VK_RETURN && self->RecentIndex() >= 0 && self->OnRecentActivate) {
      self->OnRecentActivate(self->RecentIndex());
      return 0;
    }
    if (AId == 3 && AW == VK_RETURN) {
      const std::string text = WindowTextUtf8(AWnd);
      if (self->OnChat) self->OnChat(text);
      ::SetWindowTextW(AWnd, L"");
      return 0;
    }
  }
  if (AMsg == WM_CHAR && AW == L'\r' && (AId == 1 || AId == 3)) return 0;
  // Enter is the control's own (connect, open, send); Tab still moves on.
  if (AMsg == WM_GETDLGCODE) {
    const auto* msg = reinterpret_cast<const MSG*>(AL);
    if (msg && msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN)
      return DLGC_WANTMESSAGE | ::DefSubclassProc(AWnd, AMsg, AW, AL);
  }
  return ::DefSubclassProc(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
