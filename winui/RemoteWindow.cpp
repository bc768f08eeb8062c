#include "winui/RemoteWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <charconv>
#include <ctime>

#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "viewer/AdmissionText.h"
#include "viewer/RemotePaths.h"
#include "protocol/SecurePins.h"
#include "winui/ClipboardSync.h"
#include "winui/ModalBoxes.h"
#include "winui/WinControls.h"

namespace tlm {

namespace {

const wchar_t* const FrameClass = L"TLMRemoteViewer";
const wchar_t* const CanvasClass = L"TLMRemoteCanvas";

enum : int {
  IdQuality = 101,
  IdMonitor,
  IdSendFile,
  IdFiles,
  IdChat,
  IdClipboard,
  IdAspect,
  IdReconnect,
  IdCancelRetry,
  IdCancelTransfer,
  IdOpenFolder,
  IdChatEdit,
  IdFileList,
  IdDownload,
  IdFullScreen,
  IdActualSize,
  IdSpecialKeys,
  IdDisconnect,
  IdSpecialFirst = 300,  // the special-keys menu: IdSpecialFirst + ESpecialKey
};
enum : int { TagParent = 1, TagFolder = 2, TagFile = 3 };
constexpr UINT_PTR TimerRetry = 1;
constexpr UINT_PTR TimerProof = 2;
constexpr UINT_PTR TimerPasswordFallback = 3;
constexpr UINT_PTR TimerLink = 4;  // the frame-rate line, every second of a session
constexpr UINT WmCloseLater = WM_APP + 10;
constexpr UINT WmReconnectLater = WM_APP + 11;

constexpr int StatusHeight = 30, BannerHeight = 38, SideWidth = 320;
constexpr COLORREF ToolbarColour = RGB(45, 45, 45);
constexpr COLORREF BannerColour = RGB(108, 59, 59);
constexpr COLORREF DarkColour = RGB(32, 32, 32);
constexpr size_t MaxChatPaneLines = 1000;
constexpr COLORREF SecuredColour = RGB(0x9F, 0xD8, 0x9F);
constexpr COLORREF PlainColour = RGB(0xFF, 0x8C, 0x5A);
constexpr COLORREF KeyChangedColour = RGB(0xFF, 0x5A, 0x5A);

std::string ChatStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  char text[16];
  std::strftime(text, sizeof(text), "%H:%M ", &local);
  return text;
}

// "1,234" for 1234.
std::string Grouped(int64_t AValue) {
  std::string digits = std::to_string(AValue < 0 ? -AValue : AValue);
  std::string grouped = AValue < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

uint32_t NowMs() { return ::GetTickCount(); }

}  // namespace

TRemoteBoxes TRemoteBoxes::Standard() {
  TRemoteBoxes b;
  b.Error = [](HWND AOwner, const std::string& AText) { ErrorBox(AOwner, AText); };
  b.Warning = [](HWND AOwner, const std::string& AText) { WarningBox(AOwner, AText); };
  b.Confirm = [](HWND AOwner, const std::string& AText) { return QuestionBox(AOwner, AText); };
  b.OpenFiles = [](HWND AOwner) {
    std::vector<std::string> paths;
    std::wstring buffer(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = AOwner;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = DWORD(buffer.size());
    ofn.lpstrTitle = L"보낼 파일 선택";
    ofn.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!::GetOpenFileNameW(&ofn)) return paths;
    // One file: its full path. Several: the folder, then each name, each ended by a zero.
    const wchar_t* p = buffer.c_str();
    const std::wstring first = p;
    p += first.size() + 1;
    if (*p == L'\0') {
      paths.push_back(U(first));
      return paths;
    }
    while (*p != L'\0') {
      const std::wstring name = p;
      paths.push_back(U(first + L"\\" + name));
      p += name.size() + 1;
    }
    return paths;
  };
  return b;
}

TWinRemote::TWinRemote(IUiDispatcher& AUi, TViewerParams AParams, TViewerTimings ATimings)
    : FUi(AUi), FParams(std::move(AParams)), FTimings(ATimings), FBoxes(TRemoteBoxes::Standard()) {
  if (!IsQualityPreset(FParams.Quality)) FParams.Quality = QualityStandard;
  FToolbarBrush = ::CreateSolidBrush(ToolbarColour);
  FBannerBrush = ::CreateSolidBrush(BannerColour);
  FDarkBrush = ::CreateSolidBrush(DarkColour);
  BuildControls();
  FClip = std::make_unique<TWinClipboardSync>();
  FClip->OnLocalCopy = [this](const std::string& AText) {
    if (FSession) FSession->SendClipboard(AText);  // a full queue or no session drops it
  };
}

TWinRemote::~TWinRemote() {
  EndSession();
  FClip.reset();
  if (FWnd) {
    ::SetWindowLongPtrW(FCanvas, GWLP_USERDATA, 0);
    ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
    ::DestroyWindow(FWnd);
  }
  ::DeleteObject(FToolbarBrush);
  ::DeleteObject(FBannerBrush);
  ::DeleteObject(FDarkBrush);
}

// ---------------------------------------------------------------------------------------
// Controls

void TWinRemote::BuildControls() {
  RegisterWindowClass(FrameClass, &TWinRemote::FrameProc, nullptr);
  RegisterWindowClass(CanvasClass, &TWinRemote::CanvasProc, nullptr, nullptr);
  const int w = 1180, h = 720;
  const int x = std::max(0, (::GetSystemMetrics(SM_CXSCREEN) - w) / 2);
  const int y = std::max(0, (::GetSystemMetrics(SM_CYSCREEN) - h) / 2);
  const std::string title = "TALMIR Remote - " + FormatID(FParams.TargetID);
  FWnd = ::CreateWindowExW(0, FrameClass, W(title).c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, x, y,
                           std::min(w, ::GetSystemMetrics(SM_CXSCREEN)), std::min(h, ::GetSystemMetrics(SM_CYSCREEN)),
                           nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  HFONT font = UiFont(13);

  // The toolbar's groups, left to right; Layout puts them in rows, a group never split.
  auto labelled = [&](const char* AText, int ALabelW, HWND ACombo, int AComboW) {
    HWND label = MakeControl(FWnd, L"STATIC", AText, SS_LEFT, 0, 14, ALabelW, 18, 0, font);
    FToolbarGroups.push_back(
        {{{label, 0, 7, ALabelW, 18}, {ACombo, ALabelW + 2, 2, AComboW, 200}}, ALabelW + 2 + AComboW + 12});
  };
  FQuality = MakeControl(FWnd, L"COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, 9, 96, 200, IdQuality,
                         font);
  for (const char* item : {"빠름", "표준", "고화질"})
    ::SendMessageW(FQuality, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(item).c_str()));
  ::SendMessageW(FQuality, CB_SETCURSEL, WPARAM(FParams.Quality), 0);
  labelled("화질", 36, FQuality, 96);
  FMonitor = MakeControl(FWnd, L"COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, 9, 130, 200,
                         IdMonitor, font);
  labelled("모니터", 44, FMonitor, 130);
  auto button = [&](const char* AText, int AId, int AWidth, DWORD AStyle = BS_PUSHBUTTON) {
    HWND b = MakeControl(FWnd, L"BUTTON", AText, AStyle | WS_TABSTOP, 0, 7, AWidth, 30, AId, font);
    FToolbarGroups.push_back({{{b, 0, 0, AWidth, 30}}, AWidth + 6});
    return b;
  };
  button("파일 보내기", IdSendFile, 92);
  button("원격 파일", IdFiles, 84);
  button("채팅", IdChat, 56);
  button("클립보드 보내기", IdClipboard, 116);
  FAspect = button("비율 유지", IdAspect, 80, BS_AUTOCHECKBOX | BS_PUSHLIKE);
  ::SendMessageW(FAspect, BM_SETCHECK, BST_CHECKED, 0);
  FActualSizeButton = button("1:1 보기", IdActualSize, 70, BS_AUTOCHECKBOX | BS_PUSHLIKE);
  FFullScreen = button("전체 화면", IdFullScreen, 80, BS_AUTOCHECKBOX | BS_PUSHLIKE);
  FSpecialKeys = button("특수 키...", IdSpecialKeys, 80);
  // At the right end of the first row, apart from the rest (Layout places it).
  FDisconnect = MakeControl(FWnd, L"BUTTON", "연결 끊기", BS_PUSHBUTTON | WS_TABSTOP, 0, 7, 96, 30, IdDisconnect, font);

  FBanner = MakeControl(FWnd, L"STATIC", "", SS_LEFT | SS_NOTIFY, 0, 0, 10, BannerHeight, 0, font);
  ::ShowWindow(FBanner, SW_HIDE);
  FBannerLabel = MakeControl(FWnd, L"STATIC", "", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0, 0, 10, 20, 0, font);
  ::ShowWindow(FBannerLabel, SW_HIDE);
  FReconnectButton = MakeControl(FWnd, L"BUTTON", "다시 연결", BS_PUSHBUTTON, 0, 0, 96, 28, IdReconnect, font);
  ::ShowWindow(FReconnectButton, SW_HIDE);
  FCancelRetryButton = MakeControl(FWnd, L"BUTTON", "취소", BS_PUSHBUTTON, 0, 0, 64, 28, IdCancelRetry, font);
  ::ShowWindow(FCancelRetryButton, SW_HIDE);

  // Its scroll bars show only at 1:1, where the picture is larger than the area.
  FCanvas = ::CreateWindowExW(0, CanvasClass, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_HSCROLL | WS_VSCROLL, 0, 0,
                              10, 10, FWnd, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ::SetWindowLongPtrW(FCanvas, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ::ShowScrollBar(FCanvas, SB_BOTH, FALSE);

  FStatus = MakeControl(FWnd, L"STATIC", "연결 중...", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS | SS_CENTERIMAGE, 0, 0,
                        10, StatusHeight, 0, font);
  FCancelTransfer = MakeControl(FWnd, L"BUTTON", "전송 취소", BS_PUSHBUTTON, 0, 0, 90, 24, IdCancelTransfer, font);
  ::ShowWindow(FCancelTransfer, SW_HIDE);
  FOpenFolder = MakeControl(FWnd, L"BUTTON", "폴더 열기", BS_PUSHBUTTON, 0, 0, 90, 24, IdOpenFolder, font);
  ::ShowWindow(FOpenFolder, SW_HIDE);
  FProgress = MakeControl(FWnd, PROGRESS_CLASSW, "", PBS_SMOOTH, 0, 0, 140, 16, 0, nullptr);
  ::SendMessageW(FProgress, PBM_SETRANGE32, 0, 100);
  ::ShowWindow(FProgress, SW_HIDE);
  FSecurity = MakeControl(FWnd, L"STATIC", "", SS_RIGHT | SS_NOPREFIX | SS_ENDELLIPSIS | SS_CENTERIMAGE, 0, 0, 10,
                          StatusHeight, 0, font);
  FLink = MakeControl(FWnd, L"STATIC", "", SS_RIGHT | SS_NOPREFIX | SS_CENTERIMAGE, 0, 0, 10, StatusHeight, 0, font);
  // Files dropped on the picture are sent to the partner, one after another.
  ::DragAcceptFiles(FCanvas, TRUE);

  FChatLog = MakeControl(FWnd, L"EDIT", "", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, 0, 0, 10, 10, 0,
                         font, WS_EX_CLIENTEDGE);
  FChatEdit = MakeControl(FWnd, L"EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, 0, 0, 10, 24, IdChatEdit, font,
                          WS_EX_CLIENTEDGE);
  ::SetWindowSubclass(FChatEdit, &TWinRemote::ChatEditProc, 1, reinterpret_cast<DWORD_PTR>(this));
  FFilePath = MakeControl(FWnd, L"STATIC", "원격 경로: 드라이브", SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, 0, 0, 10,
                          20, 0, font);
  FFileList = MakeControl(FWnd, WC_LISTVIEWW, "", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP, 0, 0,
                          10, 10, IdFileList, font, WS_EX_CLIENTEDGE);
  ListView_SetExtendedListViewStyle(FFileList, LVS_EX_FULLROWSELECT);
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  std::wstring name = L"이름", size = L"크기";
  col.cx = 190;
  col.pszText = name.data();
  ListView_InsertColumn(FFileList, 0, &col);
  col.cx = 90;
  col.fmt = LVCFMT_RIGHT;
  col.pszText = size.data();
  ListView_InsertColumn(FFileList, 1, &col);
  FDownload = MakeControl(FWnd, L"BUTTON", "다운로드", BS_PUSHBUTTON | WS_TABSTOP, 0, 0, 96, 26, IdDownload, font);
  for (HWND side : {FChatLog, FChatEdit, FFilePath, FFileList, FDownload}) ::ShowWindow(side, SW_HIDE);
  SessionLive(false);
}

void TWinRemote::Layout() {
  RECT client;
  ::GetClientRect(FWnd, &client);
  const int w = client.right, h = client.bottom;
  // The toolbar flows into as many rows as the width needs; "연결 끊기" keeps the first row's end.
  const int firstRowEnd = w - 104 - 6;
  int x = 12, row = 0;
  for (const TToolbarGroup& group : FToolbarGroups) {
    const int end = row == 0 ? firstRowEnd : w - 6;
    if (x > 12 && x + group.Width - 6 > end) {
      x = 12;
      ++row;
    }
    for (const TToolbarPart& part : group.Parts)
      ::MoveWindow(part.Wnd, x + part.X, row * ToolbarRowHeight + 7 + part.Y, part.W, part.H, TRUE);
    x += group.Width;
  }
  ::MoveWindow(FDisconnect, std::max(12, w - 104), 7, 96, 30, TRUE);
  const int toolbarHeight = (row + 1) * ToolbarRowHeight;
  if (toolbarHeight != FToolbarHeight) {
    FToolbarHeight = toolbarHeight;
    ::InvalidateRect(FWnd, nullptr, TRUE);  // the dark band follows
  }
  const bool side = FChatShown || FFilesShown;
  const int sideW = side ? std::min(SideWidth, w / 2) : 0;
  const int top = FToolbarHeight, bottom = h - StatusHeight;
  int canvasTop = top;
  if (FBannerShown) {
    ::MoveWindow(FBanner, 0, top, w - sideW, BannerHeight, TRUE);
    ::MoveWindow(FBannerLabel, 12, top + 10, std::max(10, w - sideW - 12 - 190), 20, TRUE);
    ::MoveWindow(FReconnectButton, w - sideW - 178, top + 5, 96, 28, TRUE);
    ::MoveWindow(FCancelRetryButton, w - sideW - 76, top + 5, 64, 28, TRUE);
    canvasTop += BannerHeight;
  }
  ::MoveWindow(FCanvas, 0, canvasTop, w - sideW, std::max(0, bottom - canvasTop), TRUE);
  // The status bar, right to left: "폴더 열기", "전송 취소", the progress bar, the protection, the
  // frame rate and round trip.
  const int right = w - 8;
  ::MoveWindow(FOpenFolder, right - 90, bottom + 3, 90, 24, TRUE);
  ::MoveWindow(FCancelTransfer, right - 186, bottom + 3, 90, 24, TRUE);
  ::MoveWindow(FProgress, right - 334, bottom + 7, 140, 16, TRUE);
  const int securityW = std::min(300, std::max(0, (w - 350) / 2));
  ::MoveWindow(FSecurity, right - 342 - securityW, bottom, securityW, StatusHeight, TRUE);
  int linkW = std::min(160, std::max(0, (w - 350 - securityW) / 3));
  if (linkW < 120) linkW = 0;  // too narrow to read: the status line has the room
  ::MoveWindow(FLink, right - 350 - securityW - linkW, bottom, linkW, StatusHeight, TRUE);
  ::MoveWindow(FStatus, 8, bottom, std::max(10, right - 358 - securityW - linkW - 8), StatusHeight, TRUE);
  if (!side) return;
  const int sx = w - sideW + 6, sw = sideW - 12;
  int chatTop = top + 6, chatBottom = bottom - 6;
  if (FFilesShown) {
    const int filesTop = FChatShown ? top + (bottom - top) / 2 : top + 6;
    ::MoveWindow(FFilePath, sx, filesTop, sw, 20, TRUE);
    ::MoveWindow(FFileList, sx, filesTop + 24, sw, std::max(10, bottom - filesTop - 24 - 38), TRUE);
    ::MoveWindow(FDownload, sx, bottom - 32, 96, 26, TRUE);
    chatBottom = filesTop - 8;
  }
  if (FChatShown) {
    ::MoveWindow(FChatLog, sx, chatTop, sw, std::max(10, chatBottom - chatTop - 30), TRUE);
    ::MoveWindow(FChatEdit, sx, chatBottom - 26, sw, 24, TRUE);
  }
}

// ---------------------------------------------------------------------------------------
// Session

void TWinRemote::NewSession() {
  FSession = std::make_unique<TViewerSession>(FUi, FParams, FTimings);
  TViewerSession& s = *FSession;
  s.OnStatus = [this](const std::string& AText) {
    if (FPasswordRefused && FSession && FSession->State() == TViewerSession::EState::Waiting) {
      const size_t code = AText.find("... ");  // the session code, if any
      SetStatus(WrongPasswordAskingText() + (code == std::string::npos ? std::string() : " " + AText.substr(code + 4)));
    } else {
      SetStatus(AText);
    }
    RefreshTransferControls();  // a download's start, progress and end come as status lines
  };
  s.OnFrame = [this] {
    // A new screen size changes what there is to scroll.
    if (FActualSize && (FSession->Screen().Width() != FShownRemoteW || FSession->Screen().Height() != FShownRemoteH))
      UpdateScrollBars();
    ::InvalidateRect(FCanvas, nullptr, FALSE);
  };
  s.OnMonitors = [this](const std::vector<TMonitorEntry>& AMonitors) { ShowMonitors(AMonitors); };
  s.OnChat = [this](const std::string& AText) {
    if (!FChatShown) ToggleChat();  // the pane opens, the keyboard stays on the picture
    AppendChat(ChatStamp() + "원격: " + AText);
  };
  s.OnChatDropped = [this](size_t ADropped) {
    AppendChat("(원격 채팅 " + std::to_string(ADropped) + "줄이 너무 많아 표시하지 않았습니다)");
  };
  s.OnClipboard = [this](const std::string& AText) { FClip->ApplyRemote(AText); };
  s.OnListing = [this](const TDirListing& AListing, bool ACut) { ShowListing(AListing, ACut); };
  s.OnUploadDone = [this](const std::string& AName, bool AComplete) {
    if (AComplete)
      SetStatus("파일 전송 완료: " + AName);
    else if (FUploadCancelled)
      SetStatus("전송 취소됨: " + AName);
    FUploadCancelled = false;
    StartNextUpload();
  };
  s.OnDownloaded = [this](const std::string& APath) {
    SetStatus("다운로드 완료: " + APath);
    ::ShowWindow(FOpenFolder, SW_SHOW);
  };
  s.OnStarted = [this] {
    ::KillTimer(FWnd, TimerProof);
    FAutoAttempt = false;
    FPasswordRefused = false;  // from now on a request without a password, like any other
    FRetryAttempt = 0;
    HideBanner();
    SessionLive(true);
    if (Unseen()) {
      FAdmittedOnce = true;
      ::ShowWindow(FWnd, SW_SHOW);
      ::SetForegroundWindow(FWnd);
      ::SetFocus(FCanvas);
      if (OnAdmitted) OnAdmitted();
    }
    FAdmittedOnce = true;
  };
  s.OnConnectFailed = [this](const std::string& AText) {
    ::KillTimer(FWnd, TimerProof);
    const std::string text = "서버에 연결할 수 없습니다: " + AText;
    if (Unseen()) return EndUnseen(text);
    SetStatus(text);
    // The window stays with the reason and "다시 연결"; only the user's own first attempt gets a
    // box as well.
    const bool tellInBox = !FReconnecting;
    ShowBanner(text);
    if (FAutoAttempt) ScheduleRetry();
    if (tellInBox) ReportError(text);
  };
  s.OnRelayError = [this](const std::string& AText) { ShowRefusal(AText); };
  s.OnEnded = [this](const std::string& AReason) {
    ::KillTimer(FWnd, TimerProof);
    if (Unseen()) return EndUnseen(AReason);
    SessionLive(false);
    ShowBanner(AReason);
    // Only a lost relay connection is retried: a partner who ended the session meant it.
    if (FSession && FSession->State() == TViewerSession::EState::Lost && !FSession->PartnerLeft()) ScheduleRetry();
  };
  // Not from inside the session's own event: closing ends (and frees) the session.
  s.OnResultWritten = [this] { ::PostMessageW(FWnd, WmCloseLater, 0, 0); };
  SetSecurity("", SecuredColour);
  s.OnSecured = [this](const TViewerSecureInfo& AInfo) {
    SetSecurity("암호화됨 · 세션 코드 " + AInfo.SessionCode + " · 보안 코드 " + AInfo.SecurityCode +
                    (AInfo.FirstContact ? " (처음 접속)" : ""),
                SecuredColour);
  };
  s.OnPlainConnection = [this] { SetSecurity(std::string(PlainConnectionText), PlainColour); };
  s.OnKeyChanged = [this](const std::string& AOld, const std::string& ANew) { KeyChanged(AOld, ANew); };
  SessionLive(false);
}

void TWinRemote::SetSecurity(const std::string& AText, COLORREF AColour) {
  FSecurityColour = AColour;
  // In clear or with a changed key: in bold, as a warning.
  ::SendMessageW(FSecurity, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(13, AColour != SecuredColour)), FALSE);
  SetWindowTextUtf8(FSecurity, AText);
  ::InvalidateRect(FSecurity, nullptr, TRUE);
}

std::string TWinRemote::SecurityText() const { return WindowTextUtf8(FSecurity); }

void TWinRemote::KeyChanged(const std::string& AOld, const std::string& ANew) {
  SetSecurity(std::string(KeyChangedText), KeyChangedColour);
  const std::string text = std::string(KeyChangedText) + "\r\n\r\n이전 보안 코드: " + AOld +
                           "\r\n지금 보안 코드: " + ANew +
                           "\r\n\r\n상대방에게 전화 등으로 지금 코드를 확인하셨다면 새 코드를 신뢰하고 다시 연결할 수 "
                           "있습니다. 새 코드를 신뢰할까요?";
  // Not from inside the session's own event: reconnecting replaces (and frees) the session.
  if (FBoxes.Confirm && FBoxes.Confirm(FWnd, text) && FSession && FSession->TrustChangedKey())
    ::PostMessageW(FWnd, WmReconnectLater, 0, 0);
}

void TWinRemote::StartConnect() {
  if (FStarted) return;
  FStarted = true;
  if (!Unseen()) {
    ::ShowWindow(FWnd, SW_SHOW);
    ::SetFocus(FCanvas);
  }
  NewSession();
  StartSession();
}

void TWinRemote::StartSession() {
  FWaitStartMs = NowMs();
  if (!FParams.Proof.empty()) ::SetTimer(FWnd, TimerProof, UINT(ProofAnswerMs), nullptr);
  FSession->Start();
}

void TWinRemote::Reconnect() {
  ::KillTimer(FWnd, TimerPasswordFallback);
  EndSession();
  FReconnecting = true;
  HideBanner();
  SetStatus("연결 중...");
  FCurPath.clear();
  ListView_DeleteAllItems(FFileList);
  FRows.clear();
  NewSession();
  StartSession();
  ::InvalidateRect(FCanvas, nullptr, FALSE);
}

void TWinRemote::EndSession() {
  if (!FSession) return;
  FSession->Stop();
  FSession.reset();
}

void TWinRemote::Close() {
  if (FClosed) return;
  FClosed = true;
  CancelRetry();
  ::KillTimer(FWnd, TimerLink);
  ::KillTimer(FWnd, TimerProof);
  ::KillTimer(FWnd, TimerPasswordFallback);
  EndSession();
  ::ShowWindow(FWnd, SW_HIDE);
}

void TWinRemote::ShowRefusal(const std::string& AText) {
  ::KillTimer(FWnd, TimerProof);
  if (FSession && FSession->PasswordRefused() && !FParams.Proof.empty()) {
    // A wrong password (or one the partner has changed since) does not end the attempt: the
    // partner's user is asked instead, once, and told that the password given was wrong.
    FParams.Proof.clear();
    FParams.Security.PasswordHash.clear();  // what the handshake proves: nothing now
    FPasswordRefused = true;
    FAutoAttempt = true;
    if (OnPasswordRefused) OnPasswordRefused();
    SetStatus(WrongPasswordAskingText());
    ::SetTimer(FWnd, TimerPasswordFallback, UINT(PasswordFallbackDelayMs), nullptr);
    return;
  }
  // A request that came before the partner was back from turning the password down is no
  // verdict on the partner's ID: the retry below asks again.
  const bool partnerAway = FPasswordRefused && FAutoAttempt && !RefusedByPartner(AText);
  if (OnRelayRefusal && !partnerAway) OnRelayRefusal(AText);
  const std::string text = DescribeRefusal(AText, !FParams.Proof.empty() || FPasswordRefused,
                                           int64_t(uint32_t(NowMs() - FWaitStartMs)));
  if (Unseen() && !partnerAway) return EndUnseen(text);
  SetStatus("오류: " + text);
  ShowBanner(text);
  if (FAutoAttempt) {
    // The partner is not back yet (or the relay is busy): ask again later, but never again a
    // partner's user who said no or let the question lapse.
    if (!RefusedByPartner(AText)) ScheduleRetry();
    return;
  }
  if (FBoxes.Warning) FBoxes.Warning(FWnd, text);
}

void TWinRemote::ScheduleRetry() {
  ++FRetryAttempt;
  FRetryLeft = RetryDelaySeconds(FRetryAttempt);
  ::ShowWindow(FCancelRetryButton, SW_SHOW);
  ::SetTimer(FWnd, TimerRetry, 1000, nullptr);
  SetWindowTextUtf8(FBannerLabel, FBannerReason + " — " + std::to_string(FRetryLeft) + "초 후 다시 연결합니다");
}

void TWinRemote::RetryTick() {
  if (--FRetryLeft > 0) {
    SetWindowTextUtf8(FBannerLabel, FBannerReason + " — " + std::to_string(FRetryLeft) + "초 후 다시 연결합니다");
    return;
  }
  ::KillTimer(FWnd, TimerRetry);
  ::ShowWindow(FCancelRetryButton, SW_HIDE);
  FAutoAttempt = true;
  Reconnect();
}

void TWinRemote::CancelRetry() {
  ::KillTimer(FWnd, TimerRetry);
  ::ShowWindow(FCancelRetryButton, SW_HIDE);
  FAutoAttempt = false;
  FRetryAttempt = 0;
  SetWindowTextUtf8(FBannerLabel, FBannerReason);
}

void TWinRemote::ShowBanner(const std::string& AText) {
  FBannerReason = AText;
  SetWindowTextUtf8(FBannerLabel, AText);
  FBannerShown = true;
  for (HWND part : {FBanner, FBannerLabel, FReconnectButton}) ::ShowWindow(part, SW_SHOW);
  Layout();
}

void TWinRemote::HideBanner() {
  FBannerShown = false;
  for (HWND part : {FBanner, FBannerLabel, FReconnectButton, FCancelRetryButton}) ::ShowWindow(part, SW_HIDE);
  Layout();
}

std::string TWinRemote::BannerText() const { return FBannerShown ? WindowTextUtf8(FBannerLabel) : std::string(); }

std::string TWinRemote::ChatText() const { return WindowTextUtf8(FChatLog); }

HWND TWinRemote::Button(const std::string& ACaption) const {
  return ::FindWindowExW(FWnd, nullptr, L"BUTTON", W(ACaption).c_str());
}

std::string TWinRemote::StatusText() const { return WindowTextUtf8(FStatus); }

void TWinRemote::SetStatus(const std::string& AText) {
  SetWindowTextUtf8(FStatus, AText);
  // Until the window shows itself, the creator tells how the attempt goes.
  if (Unseen() && OnPendingStatus) OnPendingStatus(AText);
}

void TWinRemote::EndUnseen(const std::string& AText) {
  ::KillTimer(FWnd, TimerProof);
  if (OnEndedUnseen) OnEndedUnseen(AText);
  // Not from inside the session's own event: closing ends (and frees) the session.
  ::PostMessageW(FWnd, WmCloseLater, 0, 0);
}

void TWinRemote::ReportError(const std::string& AText) {
  if (FBoxes.Error) FBoxes.Error(FWnd, AText);
}

// ---------------------------------------------------------------------------------------
// Painting

RECT TWinRemote::PictureRect() const {
  return FSession ? PictureRectFor(FSession->Screen().Width(), FSession->Screen().Height()) : PictureRectFor(0, 0);
}

RECT TWinRemote::PictureRectFor(int ARemoteW, int ARemoteH) const {
  RECT area;
  ::GetClientRect(FCanvas, &area);
  const int aw = area.right, ah = area.bottom;
  if (FActualSize && ARemoteW > 0 && ARemoteH > 0) {
    // One remote pixel to one screen pixel: centred where it is smaller, scrolled where larger.
    const int x = ARemoteW <= aw ? (aw - ARemoteW) / 2 : -FScrollX;
    const int y = ARemoteH <= ah ? (ah - ARemoteH) / 2 : -FScrollY;
    return RECT{x, y, x + ARemoteW, y + ARemoteH};
  }
  if (!FKeepAspect || ARemoteW <= 0 || ARemoteH <= 0 || aw <= 0 || ah <= 0) return area;
  // The largest rectangle of the remote screen's shape that fits, centred on black.
  if (int64_t(aw) * ARemoteH > int64_t(ah) * ARemoteW) {
    const int pw = ::MulDiv(ah, ARemoteW, ARemoteH);
    return RECT{(aw - pw) / 2, 0, (aw - pw) / 2 + pw, ah};
  }
  const int ph = ::MulDiv(aw, ARemoteH, ARemoteW);
  return RECT{0, (ah - ph) / 2, aw, (ah - ph) / 2 + ph};
}

void TWinRemote::Paint(HDC ADC) {
  RECT area;
  ::GetClientRect(FCanvas, &area);
  const RECT picture = PictureRect();
  const int pw = picture.right - picture.left, ph = picture.bottom - picture.top;
  bool painted = false;
  if (FSession)
    FSession->Screen().ReadForArea(pw, ph, [&](const TRemoteScreen::TView& AView) {
      if (!AView.Bits) return;
      // The letterbox around the picture, without touching the picture (no flicker).
      HRGN rest = ::CreateRectRgnIndirect(&area);
      HRGN pic = ::CreateRectRgnIndirect(&picture);
      ::CombineRgn(rest, rest, pic, RGN_DIFF);
      ::FillRgn(ADC, rest, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
      ::DeleteObject(pic);
      ::DeleteObject(rest);
      BITMAPINFO bi{};
      bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
      bi.bmiHeader.biWidth = LONG(AView.Stride / 4);
      bi.bmiHeader.biHeight = -AView.Height;  // top-down rows
      bi.bmiHeader.biPlanes = 1;
      bi.bmiHeader.biBitCount = 32;
      bi.bmiHeader.biCompression = BI_RGB;
      ::SetStretchBltMode(ADC, HALFTONE);
      ::SetBrushOrgEx(ADC, 0, 0, nullptr);
      ::StretchDIBits(ADC, picture.left, picture.top, pw, ph, 0, 0, AView.Width, AView.Height, AView.Bits, &bi,
                      DIB_RGB_COLORS, SRCCOPY);
      painted = true;
    });
  if (painted) return;
  ::FillRect(ADC, &area, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
  ::SetBkMode(ADC, TRANSPARENT);
  ::SetTextColor(ADC, RGB(128, 128, 128));
  HGDIOBJ old = ::SelectObject(ADC, UiFont(13));
  RECT text{20, 20, area.right, area.bottom};
  ::DrawTextW(ADC, L"화면 수신 대기 중...", -1, &text, DT_LEFT | DT_TOP | DT_NOPREFIX);
  ::SelectObject(ADC, old);
}

void TWinRemote::SetActualSize(bool AOn) {
  FActualSize = AOn;
  FScrollX = FScrollY = 0;
  ::SendMessageW(FActualSizeButton, BM_SETCHECK, AOn ? BST_CHECKED : BST_UNCHECKED, 0);
  ::EnableWindow(FAspect, !AOn);  // 1:1 has the remote screen's shape anyway
  UpdateScrollBars();
  ::InvalidateRect(FCanvas, nullptr, FALSE);
  ::SetFocus(FCanvas);
}

void TWinRemote::UpdateScrollBars() {
  const int rw = FSession ? FSession->Screen().Width() : 0, rh = FSession ? FSession->Screen().Height() : 0;
  FShownRemoteW = rw;
  FShownRemoteH = rh;
  if (!FActualSize || rw <= 0 || rh <= 0) {
    ::ShowScrollBar(FCanvas, SB_BOTH, FALSE);
    return;
  }
  // Twice: a bar that appears takes room from the other direction.
  for (int pass = 0; pass < 2; ++pass) {
    RECT area;
    ::GetClientRect(FCanvas, &area);
    FScrollX = std::clamp(FScrollX, 0, std::max(0, rw - int(area.right)));
    FScrollY = std::clamp(FScrollY, 0, std::max(0, rh - int(area.bottom)));
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    si.nMax = rw - 1;
    si.nPage = UINT(std::max(0L, area.right));
    si.nPos = FScrollX;
    ::SetScrollInfo(FCanvas, SB_HORZ, &si, TRUE);
    si.nMax = rh - 1;
    si.nPage = UINT(std::max(0L, area.bottom));
    si.nPos = FScrollY;
    ::SetScrollInfo(FCanvas, SB_VERT, &si, TRUE);
  }
}

void TWinRemote::Scroll(int ABar, int ACode) {
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL;
  ::GetScrollInfo(FCanvas, ABar, &si);
  int pos = si.nPos;
  const int page = int(si.nPage);
  switch (ACode) {
    case SB_LINEUP: pos -= 40; break;
    case SB_LINEDOWN: pos += 40; break;
    case SB_PAGEUP: pos -= page; break;
    case SB_PAGEDOWN: pos += page; break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: pos = si.nTrackPos; break;
    case SB_TOP: pos = si.nMin; break;
    case SB_BOTTOM: pos = si.nMax; break;
    default: return;
  }
  (ABar == SB_HORZ ? FScrollX : FScrollY) = pos;
  UpdateScrollBars();  // clamps
  ::InvalidateRect(FCanvas, nullptr, FALSE);
}

void TWinRemote::SetKeepAspect(bool AKeep) {
  FKeepAspect = AKeep;
  ::SendMessageW(FAspect, BM_SETCHECK, AKeep ? BST_CHECKED : BST_UNCHECKED, 0);
  ::InvalidateRect(FCanvas, nullptr, FALSE);
}

// ---------------------------------------------------------------------------------------
// Mouse and keys

void TWinRemote::SendMouse(int AX, int AY, uint8_t AButton, uint8_t AAction, int16_t AWheel) {
  if (!IsConnected()) return;
  // Before the first frame nothing is under the pointer: a position mapped onto a screen of no
  // size would put the partner's pointer in its top left corner.
  if (FSession->Screen().Width() <= 0 || FSession->Screen().Height() <= 0) return;
  const RECT picture = PictureRect();
  const int pw = picture.right - picture.left, ph = picture.bottom - picture.top;
  const int px = AX - picture.left, py = AY - picture.top;
  TMouseEventRec rec{};
  rec.X = pw > 0 ? ::MulDiv(px, FSession->Screen().Width(), pw) : px;
  rec.Y = ph > 0 ? ::MulDiv(py, FSession->Screen().Height(), ph) : py;
  rec.Button = AButton;
  rec.Action = AAction;
  rec.WheelDelta = AWheel;
  FSession->SendMouse(rec);  // a full queue drops it; the next event tries again
}

void TWinRemote::SendKey(WPARAM AW, LPARAM AL, bool AKeyUp) {
  if (!IsConnected()) return;
  const bool extended = (AL >> 24) & 1;
  FSession->SendKey(uint16_t(AW), AKeyUp, extended);
}

// ---------------------------------------------------------------------------------------
// Files

void TWinRemote::SendFileClick() {
  if (!IsConnected() || !FBoxes.OpenFiles) return;
  QueueUploads(FBoxes.OpenFiles(FWnd));
}

void TWinRemote::QueueUploads(const std::vector<std::string>& APaths) {
  if (!IsConnected() || APaths.empty()) return;
  FUploadQueue.insert(FUploadQueue.end(), APaths.begin(), APaths.end());
  if (FSession->Uploading()) {
    SetStatus("전송 대기 중인 파일: " + std::to_string(FUploadQueue.size()) + "개");
    return;
  }
  StartNextUpload();
}

void TWinRemote::StartNextUpload() {
  while (!FUploadQueue.empty() && IsConnected() && !FSession->Uploading()) {
    const std::string path = FUploadQueue.front();
    FUploadQueue.erase(FUploadQueue.begin());
    try {
      FSession->SendFile(path);
    } catch (const std::exception& e) {
      ReportError(e.what());
      continue;  // the next one may be fine
    }
    std::string text = "전송 중: " + TViewerUpload::SentName(path);
    if (!FUploadQueue.empty()) text += " (대기 " + std::to_string(FUploadQueue.size()) + "개)";
    SetStatus(text);
    FUploadCancelled = false;
    break;
  }
  if (!IsConnected()) FUploadQueue.clear();
  RefreshTransferControls();
}

void TWinRemote::RefreshTransferControls() {
  const bool uploading = FSession && FSession->Uploading();
  const bool running = uploading || (FSession && FSession->Downloading());
  ::ShowWindow(FCancelTransfer, running ? SW_SHOW : SW_HIDE);
  ::ShowWindow(FProgress, running ? SW_SHOW : SW_HIDE);
  if (!running) return;
  ::ShowWindow(FOpenFolder, SW_HIDE);
  ::SendMessageW(FProgress, PBM_SETPOS, WPARAM(uploading ? FSession->UploadPercent() : FSession->DownloadPercent()), 0);
}

bool TWinRemote::ProgressShown() const { return ::IsWindowVisible(FProgress) != FALSE; }

int TWinRemote::ProgressPercent() const { return int(::SendMessageW(FProgress, PBM_GETPOS, 0, 0)); }

void TWinRemote::DropFiles(HDROP ADrop) {
  std::vector<std::string> files;
  const UINT count = ::DragQueryFileW(ADrop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    std::wstring path(size_t(::DragQueryFileW(ADrop, i, nullptr, 0)) + 1, L'\0');
    path.resize(::DragQueryFileW(ADrop, i, path.data(), UINT(path.size())));
    // Files only: a folder is no upload.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(U(path));
  }
  ::DragFinish(ADrop);
  QueueUploads(files);
}

void TWinRemote::SessionLive(bool ALive) {
  // A line typed before the partner admits us, or after they left, would reach nobody.
  ::EnableWindow(FChatEdit, ALive);
  ::EnableWindow(FSpecialKeys, ALive);
  // "연결 끊기" also withdraws a request still waiting for the partner.
  ::EnableWindow(FDisconnect, FSession != nullptr && !FSession->Ended());
  if (ALive) {
    ::SetTimer(FWnd, TimerLink, 1000, nullptr);
  } else {
    ::KillTimer(FWnd, TimerLink);
    SetWindowTextUtf8(FLink, "");
  }
  ::SendMessageW(FChatEdit, EM_SETCUEBANNER, TRUE,
                 reinterpret_cast<LPARAM>(ALive ? L"" : L"세션이 시작되면 채팅할 수 있습니다"));
  if (!ALive) FUploadQueue.clear();
  RefreshTransferControls();
}

void TWinRemote::ToggleFiles() {
  FFilesShown = !FFilesShown;
  for (HWND part : {FFilePath, FFileList, FDownload}) ::ShowWindow(part, FFilesShown ? SW_SHOW : SW_HIDE);
  Layout();
  if (FFilesShown && FRows.empty()) RequestListing(std::string());
}

void TWinRemote::ToggleChat() {
  FChatShown = !FChatShown;
  for (HWND part : {FChatLog, FChatEdit}) ::ShowWindow(part, FChatShown ? SW_SHOW : SW_HIDE);
  Layout();
}

void TWinRemote::RequestListing(const std::string& APath) {
  if (FSession) FSession->RequestListing(APath);
}

void TWinRemote::OpenSelectedEntry() {
  const int index = ListView_GetNextItem(FFileList, -1, LVNI_SELECTED);
  if (index < 0 || size_t(index) >= FRows.size()) return;
  const TRow row = FRows[size_t(index)];
  if (row.Tag == TagParent) {
    if (FCurPath.empty()) return;
    const std::string parent = RemoteParentPath(FCurPath);
    RequestListing(parent == FCurPath ? std::string() : parent);
  } else if (row.Tag == TagFolder) {
    RequestListing(FCurPath.empty() ? row.Name : RemoteChildPath(FCurPath, row.Name));
  } else if (row.Tag == TagFile) {
    if (FCurPath.empty() || !FSession) return;
    if (FSession->RequestFile(RemoteChildPath(FCurPath, row.Name))) SetStatus("다운로드 요청: " + row.Name);
  }
}

void TWinRemote::ShowListing(const TDirListing& AListing, bool ACut) {
  if (AListing.IsError) {
    SetWindowTextUtf8(FFilePath, "목록 오류: " + AListing.ErrorText);
    return;
  }
  // Rows are checked before anything is replaced: a size that is no number shows the error and
  // leaves the list as it was.
  std::vector<std::pair<TRow, std::string>> rows;
  rows.reserve(AListing.Entries.size() + 1);
  if (!AListing.Path.empty()) rows.push_back({TRow{TagParent, ".."}, ""});
  for (const TDirListing::TLine& line : AListing.Entries) {
    if (line.IsDir) {
      rows.push_back({TRow{TagFolder, line.Name}, ""});
      continue;
    }
    int64_t bytes = 0;
    const char* first = line.SizeText.data();
    const char* last = first + line.SizeText.size();
    const auto parsed = std::from_chars(first, last, bytes);
    if (line.SizeText.empty() || parsed.ec != std::errc() || parsed.ptr != last) {
      ReportError("'" + CutUtf8(line.SizeText, MaxStatusChars) + "' is not a valid integer value");
      return;
    }
    // Units of 1024 bytes, rounded half away from zero.
    const int64_t kb = bytes >= 0 ? (bytes + 512) / 1024 : -((-bytes + 512) / 1024);
    rows.push_back({TRow{TagFile, line.Name}, Grouped(kb) + " KB"});
  }
  // Folders first, then files, each in the order the host sent.
  std::stable_sort(rows.begin(), rows.end(), [](const auto& A, const auto& B) { return A.first.Tag < B.first.Tag; });
  FCurPath = AListing.Path;
  ::SendMessageW(FFileList, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(FFileList);
  FRows.clear();
  for (const auto& [row, size] : rows) {
    std::wstring caption = W(row.Tag == TagParent ? "[..]" : row.Tag == TagFolder ? "[" + row.Name + "]" : row.Name);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = int(FRows.size());
    item.pszText = caption.data();
    const int at = ListView_InsertItem(FFileList, &item);
    if (!size.empty()) {
      std::wstring sizeText = W(size);
      ListView_SetItemText(FFileList, at, 1, sizeText.data());
    }
    FRows.push_back(row);
  }
  ::SendMessageW(FFileList, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(FFileList, nullptr, TRUE);
  std::string pathLine = "원격 경로: " + (FCurPath.empty() ? std::string("드라이브") : CutUtf8(FCurPath, MaxStatusChars));
  if (ACut) pathLine += " (처음 " + Grouped(int64_t(MaxListingEntries)) + "개 항목만 표시)";
  SetWindowTextUtf8(FFilePath, pathLine);
}

// ---------------------------------------------------------------------------------------
// Monitors, chat

void TWinRemote::ShowMonitors(const std::vector<TMonitorEntry>& AMonitors) {
  ::SendMessageW(FMonitor, CB_RESETCONTENT, 0, 0);
  for (const TMonitorEntry& entry : AMonitors) {
    const std::wstring text =
        W("모니터 " + std::to_string(entry.Number) + " (" + entry.WidthText + "x" + entry.HeightText + ")");
    ::SendMessageW(FMonitor, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  if (!AMonitors.empty()) ::SendMessageW(FMonitor, CB_SETCURSEL, 0, 0);
}

void TWinRemote::AppendChat(const std::string& ALine) {
  // The oldest lines go once the pane holds more than it keeps.
  const LRESULT lines = ::SendMessageW(FChatLog, EM_GETLINECOUNT, 0, 0);
  if (lines > LRESULT(MaxChatPaneLines)) {
    const LRESULT cut = ::SendMessageW(FChatLog, EM_LINEINDEX, WPARAM(lines - MaxChatPaneLines), 0);
    ::SendMessageW(FChatLog, EM_SETSEL, 0, cut);
    ::SendMessageW(FChatLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  const int end = ::GetWindowTextLengthW(FChatLog);
  ::SendMessageW(FChatLog, EM_SETSEL, WPARAM(end), LPARAM(end));
  const std::wstring text = W((end > 0 ? "\r\n" : "") + ALine);
  ::SendMessageW(FChatLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void TWinRemote::SendChatLine() {
  if (!IsConnected()) return;
  const std::string text = WindowTextUtf8(FChatEdit);
  if (TrimControl(text).empty()) return;
  if (!FSession->SendChat(text)) {
    ReportError("채팅을 보낼 수 없습니다: 연결되어 있지 않습니다.");
    return;
  }
  AppendChat(ChatStamp() + "나: " + text);
  ::SetWindowTextW(FChatEdit, L"");
}

// ---------------------------------------------------------------------------------------
// Messages

void TWinRemote::Command(int AId, int ACode) {
  switch (AId) {
    case IdQuality:
      if (ACode == CBN_SELCHANGE && FSession)
        FSession->SetQuality(int(::SendMessageW(FQuality, CB_GETCURSEL, 0, 0)));
      break;
    case IdMonitor:
      if (ACode == CBN_SELCHANGE && FSession)
        FSession->SelectMonitor(int(::SendMessageW(FMonitor, CB_GETCURSEL, 0, 0)));
      break;
    case IdSendFile: SendFileClick(); break;
    case IdFiles: ToggleFiles(); break;
    case IdChat:
      ToggleChat();
      if (FChatShown) ::SetFocus(FChatEdit);
      break;
    case IdClipboard:
      if (FSession) {
        const std::string text = FClip->ReadText();
        if (!text.empty() && FSession->SendClipboard(text)) SetStatus("클립보드를 보냈습니다");
      }
      break;
    case IdAspect: {
      const bool keep = ::SendMessageW(FAspect, BM_GETCHECK, 0, 0) == BST_CHECKED;
      SetKeepAspect(keep);
      if (OnKeepAspectChanged) OnKeepAspectChanged(keep);
      ::SetFocus(FCanvas);
      break;
    }
    case IdReconnect:
      CancelRetry();
      Reconnect();
      break;
    case IdCancelRetry: CancelRetry(); break;
    case IdCancelTransfer:
      if (!FSession) break;
      if (FSession->Uploading()) {
        FUploadCancelled = true;
        FUploadQueue.clear();
        FSession->CancelUpload();
      } else if (FSession->Downloading()) {
        FSession->CancelDownload();
      }
      break;
    case IdOpenFolder:
      if (FSession) ::ShellExecuteW(FWnd, L"open", W(FSession->DownloadFolder()).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      break;
    case IdDownload: OpenSelectedEntry(); break;
    case IdActualSize: SetActualSize(::SendMessageW(FActualSizeButton, BM_GETCHECK, 0, 0) == BST_CHECKED); break;
    case IdFullScreen: SetFullScreen(::SendMessageW(FFullScreen, BM_GETCHECK, 0, 0) == BST_CHECKED); break;
    case IdSpecialKeys: ShowSpecialKeys(); break;
    case IdDisconnect: Disconnect(); break;
    default: break;
  }
}

void TWinRemote::ShowSpecialKeys() {
  HMENU menu = ::CreatePopupMenu();
  const std::pair<ESpecialKey, const char*> items[] = {{ESpecialKey::CtrlAltDel, "Ctrl+Alt+Del"},
                                                       {ESpecialKey::AltTab, "Alt+Tab"},
                                                       {ESpecialKey::WindowsKey, "Windows 키"},
                                                       {ESpecialKey::PrintScreen, "Print Screen"}};
  for (const auto& [key, caption] : items)
    ::AppendMenuW(menu, MF_STRING, UINT_PTR(IdSpecialFirst + int(key)), W(caption).c_str());
  RECT at;
  ::GetWindowRect(FSpecialKeys, &at);
  const int chosen = int(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_LEFTALIGN | TPM_TOPALIGN, at.left,
                                          at.bottom, 0, FWnd, nullptr));
  ::DestroyMenu(menu);
  for (const auto& [key, caption] : items)
    if (chosen == IdSpecialFirst + int(key)) SendSpecialKey(key);
  ::SetFocus(FCanvas);
}

void TWinRemote::SendSpecialKey(ESpecialKey AKey) {
  if (IsConnected()) FSession->SendSpecialKey(AKey);
}

void TWinRemote::Disconnect() {
  if (!FSession || FSession->Ended()) return;
  CancelRetry();
  ::KillTimer(FWnd, TimerProof);
  ::KillTimer(FWnd, TimerPasswordFallback);
  EndSession();
  SessionLive(false);
  if (FFullScreenOn) SetFullScreen(false);
  const std::string text = "연결을 끊었습니다";
  SetStatus(text);
  ShowBanner(text);
}

void TWinRemote::SetFullScreen(bool AOn) {
  if (AOn == FFullScreenOn) return;
  FFullScreenOn = AOn;
  ::SendMessageW(FFullScreen, BM_SETCHECK, AOn ? BST_CHECKED : BST_UNCHECKED, 0);
  if (AOn) {
    // The whole monitor the window is on, without a frame; the toolbar stays to come back.
    FNormalPlacement.length = sizeof FNormalPlacement;
    ::GetWindowPlacement(FWnd, &FNormalPlacement);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(FWnd, MONITOR_DEFAULTTONEAREST), &monitor);
    const LONG_PTR style = ::GetWindowLongPtrW(FWnd, GWL_STYLE);
    ::SetWindowLongPtrW(FWnd, GWL_STYLE, style & ~LONG_PTR(WS_OVERLAPPEDWINDOW));
    const RECT& r = monitor.rcMonitor;
    ::SetWindowPos(FWnd, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                   SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
  } else {
    const LONG_PTR style = ::GetWindowLongPtrW(FWnd, GWL_STYLE);
    ::SetWindowLongPtrW(FWnd, GWL_STYLE, style | WS_OVERLAPPEDWINDOW);
    ::SetWindowPlacement(FWnd, &FNormalPlacement);
    ::SetWindowPos(FWnd, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
  }
  ::SetFocus(FCanvas);
}

void TWinRemote::RefreshLinkFigures() {
  if (!IsConnected()) return;
  const TLinkMeter::TFigures figures = FSession->LinkFigures();
  char text[96];
  const double fps = figures.FramesPerSecond;
  if (fps >= 10)
    std::snprintf(text, sizeof text, "%d fps", int(fps + 0.5));
  else
    std::snprintf(text, sizeof text, "%.1f fps", fps);
  std::string line = text;
  // An upper bound: the line is at most this slow, and says so.
  line += figures.RoundTripMs ? " · 왕복 ≤ " + std::to_string(*figures.RoundTripMs) + " ms" : std::string(" · 왕복 —");
  SetWindowTextUtf8(FLink, line);
}

std::string TWinRemote::LinkText() const { return WindowTextUtf8(FLink); }

void TWinRemote::Notify(const NMHDR& AHeader) {
  if (AHeader.hwndFrom == FFileList && (AHeader.code == NM_DBLCLK || AHeader.code == NM_RETURN)) OpenSelectedEntry();
}

LRESULT TWinRemote::OnFrame(UINT AMsg, WPARAM AW, LPARAM AL) {
  switch (AMsg) {
    case WM_SIZE: Layout(); return 0;
    case WM_COMMAND: Command(LOWORD(AW), HIWORD(AW)); return 0;
    case WM_NOTIFY: Notify(*reinterpret_cast<const NMHDR*>(AL)); return 0;
    case WM_TIMER:
      if (AW == TimerRetry) RetryTick();
      if (AW == TimerLink) RefreshLinkFigures();
      if (AW == TimerPasswordFallback) {
        ::KillTimer(FWnd, TimerPasswordFallback);
        if (!FClosed) Reconnect();
      }
      if (AW == TimerProof) {
        ::KillTimer(FWnd, TimerProof);
        if (FSession && FSession->State() == TViewerSession::EState::Waiting) SetStatus(AskingDespitePasswordText());
      }
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(AW) == WA_INACTIVE && FSession) FSession->ReleaseHeld();
      if (LOWORD(AW) != WA_INACTIVE) ::SetFocus(FCanvas);
      return 0;
    case WM_CLOSE:
    case WmCloseLater:
      Close();
      return 0;
    case WmReconnectLater:
      if (!FClosed) {
        CancelRetry();
        Reconnect();
      }
      return 0;
    case WM_ERASEBKGND: {
      RECT client;
      ::GetClientRect(FWnd, &client);
      RECT bar{0, 0, client.right, FToolbarHeight};
      ::FillRect(reinterpret_cast<HDC>(AW), &bar, FToolbarBrush);
      RECT rest{0, FToolbarHeight, client.right, client.bottom};
      ::FillRect(reinterpret_cast<HDC>(AW), &rest, FDarkBrush);
      return 1;
    }
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(AW);
      HWND control = reinterpret_cast<HWND>(AL);
      ::SetTextColor(dc, control == FSecurity ? FSecurityColour : RGB(230, 230, 230));
      if (control == FBanner || control == FBannerLabel) {
        ::SetBkColor(dc, BannerColour);
        return reinterpret_cast<LRESULT>(FBannerBrush);
      }
      if (control == FChatLog) break;  // a read-only edit keeps the system's colours
      RECT r;
      ::GetWindowRect(control, &r);
      POINT p{r.left, r.top};
      ::ScreenToClient(FWnd, &p);
      const bool onToolbar = p.y < FToolbarHeight;
      ::SetBkColor(dc, onToolbar ? ToolbarColour : DarkColour);
      return reinterpret_cast<LRESULT>(onToolbar ? FToolbarBrush : FDarkBrush);
    }
    default: break;
  }
  return ::DefWindowProcW(FWnd, AMsg, AW, AL);
}

LRESULT TWinRemote::OnCanvas(UINT AMsg, WPARAM AW, LPARAM AL) {
  const int x = GET_X_LPARAM(AL), y = GET_Y_LPARAM(AL);
  switch (AMsg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(FCanvas, &ps);
      Paint(dc);
      ::EndPaint(FCanvas, &ps);
      return 0;
    }
    case WM_ERASEBKGND: return 1;  // the paint covers every pixel
    case WM_SIZE:
      if (FActualSize) UpdateScrollBars();
      ::InvalidateRect(FCanvas, nullptr, FALSE);
      return 0;
    case WM_HSCROLL: Scroll(SB_HORZ, LOWORD(AW)); return 0;
    case WM_VSCROLL: Scroll(SB_VERT, LOWORD(AW)); return 0;
    case WM_GETDLGCODE: return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTTAB | DLGC_WANTCHARS;
    case WM_MOUSEMOVE: SendMouse(x, y, MouseButtonNone, MouseMove, 0); return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    // The second press of a double-click goes out as that press alone: the host's desktop makes
    // the double-click of two clicks itself.
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDBLCLK: {
      ::SetFocus(FCanvas);
      ::SetCapture(FCanvas);
      const uint8_t button = (AMsg == WM_LBUTTONDOWN || AMsg == WM_LBUTTONDBLCLK)   ? MouseButtonLeft
                             : (AMsg == WM_RBUTTONDOWN || AMsg == WM_RBUTTONDBLCLK) ? MouseButtonRight
                                                                                     : MouseButtonMiddle;
      SendMouse(x, y, button, MousePress, 0);
      return 0;
    }
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
      const uint8_t button = AMsg == WM_LBUTTONUP   ? MouseButtonLeft
                             : AMsg == WM_RBUTTONUP ? MouseButtonRight
                                                    : MouseButtonMiddle;
      SendMouse(x, y, button, MouseRelease, 0);
      if ((AW & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON)) == 0) ::ReleaseCapture();
      return 0;
    }
    case WM_MOUSEWHEEL: {
      POINT p{x, y};  // screen coordinates for the wheel
      ::ScreenToClient(FCanvas, &p);
      SendMouse(p.x, p.y, MouseButtonNone, MouseWheel, int16_t(GET_WHEEL_DELTA_WPARAM(AW)));
      return 0;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: SendKey(AW, AL, false); return 0;
    case WM_KEYUP:
    case WM_SYSKEYUP: SendKey(AW, AL, true); return 0;
    case WM_CHAR:
    case WM_SYSCHAR: return 0;  // the partner's desktop makes its own characters
    case WM_KILLFOCUS:
      if (FSession) FSession->ReleaseHeld();
      return 0;
    case WM_DROPFILES:
      DropFiles(reinterpret_cast<HDROP>(AW));
      return 0;
    default: break;
  }
  return ::DefWindowProcW(FCanvas, AMsg, AW, AL);
}

LRESULT CALLBACK TWinRemote::FrameProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (auto* self = WindowObject<TWinRemote>(AWnd)) return self->OnFrame(AMsg, AW, AL);
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

LRESULT CALLBACK TWinRemote::CanvasProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (auto* self = WindowObject<TWinRemote>(AWnd)) return self->OnCanvas(AMsg, AW, AL);
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

LRESULT CALLBACK TWinRemote::ChatEditProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL, UINT_PTR, DWORD_PTR AData) {
  auto* self = reinterpret_cast<TWinRemote*>(AData);
  if (AMsg == WM_KEYDOWN && AW == VK_RETURN) {
    self->SendChatLine();
    return 0;
  }
  if (AMsg == WM_CHAR && AW == L'\r') return 0;  // no beep
  return ::DefSubclassProc(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
