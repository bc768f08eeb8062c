// TWinRemote: the native viewer window, one per outgoing connection, over TViewerSession.
//
// Contract: created, shown and destroyed on the user-interface thread; the creator calls
// StartConnect once after creating it. The window builds its controls, turns the user's input
// into calls on its session and paints the session's back buffer (halftone scaling, or the
// remote screen's shape kept with "비율 유지"); the session owns the connection and every
// thread and reaches the window only through queued calls. The picture holds the keyboard
// focus: keys go out as the virtual keys Windows reports, and every held key and button is
// released when the picture loses the focus. Closing the window ends the session and hides
// it; the owner destroys it later (Closed() tells). After the session ended, "다시 연결" makes a
// new one to the same ID with the same proof; a lost relay connection is retried by itself.
// Files chosen with "파일 보내기" or dropped on the picture go to the partner one after another,
// with a progress bar and "전송 취소" in the status bar; the status bar also tells how the
// session is protected (the partner's "보안 코드", or "암호화되지 않은 연결").
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Marshal.h"
#include "viewer/KeyChords.h"
#include "viewer/ViewerSession.h"

namespace tlm {

class TWinClipboardSync;

// The window's boxes and the file-open dialog, replaceable so that tests never block.
struct TRemoteBoxes {
  std::function<void(HWND AOwner, const std::string& AText)> Error;
  std::function<void(HWND AOwner, const std::string& AText)> Warning;
  std::function<std::vector<std::string>(HWND AOwner)> OpenFiles;  // empty when cancelled
  // A yes/no question (the partner's changed "보안 코드"); true for yes.
  std::function<bool(HWND AOwner, const std::string& AText)> Confirm;
  static TRemoteBoxes Standard();
};

class TWinRemote {
public:
  TWinRemote(IUiDispatcher& AUi, TViewerParams AParams, TViewerTimings ATimings = {});
  ~TWinRemote();
  TWinRemote(const TWinRemote&) = delete;
  TWinRemote& operator=(const TWinRemote&) = delete;

  void SetBoxes(TRemoteBoxes ABoxes) { FBoxes = std::move(ABoxes); }
  void SetKeepAspect(bool AKeep);
  bool KeepAspect() const { return FKeepAspect; }
  std::function<void(bool AKeep)> OnKeepAspectChanged;
  // The relay refused the connection (AText as the relay sent it); raised before the window
  // shows the refusal.
  std::function<void(const std::string& AText)> OnRelayRefusal;
  // Shown only once the partner admits the request: until then the creator tells how the
  // attempt goes (OnPendingStatus) and why it ended (OnEndedUnseen; the window then closes).
  void SetShowOnAdmission(bool AOn) { FShowOnAdmission = AOn; }
  bool Unseen() const { return FShowOnAdmission && !FAdmittedOnce; }
  std::function<void(const std::string& AText)> OnPendingStatus;
  std::function<void(const std::string& AText)> OnEndedUnseen;
  std::function<void()> OnAdmitted;  // the window has just shown itself
  // The partner turned the password down; the window goes on asking its user instead.
  std::function<void()> OnPasswordRefused;

  void StartConnect();
  void Reconnect();
  void Close();
  bool Closed() const { return FClosed; }
  HWND Handle() const { return FWnd; }

  // What the window shows, for the application and for tests.
  std::string StatusText() const;
  std::string BannerText() const;  // "" while no banner is shown
  TViewerSession* Session() const { return FSession.get(); }
  bool IsConnected() const { return FSession && FSession->InSession(); }
  // Where the picture lands in the canvas, in canvas pixels.
  RECT PictureRect() const;
  HWND Canvas() const { return FCanvas; }
  HWND ChatEdit() const { return FChatEdit; }
  HWND FileList() const { return FFileList; }
  HWND ReconnectButton() const { return FReconnectButton; }
  // The chat pane's text, and whether the chat and file panels are shown.
  std::string ChatText() const;
  bool ChatShown() const { return FChatShown; }
  // The button of the toolbar, banner or status bar with the caption ACaption (UTF-8).
  HWND Button(const std::string& ACaption) const;
  // Files to send one after another; ignored outside a session.
  void QueueUploads(const std::vector<std::string>& APaths);
  size_t QueuedUploads() const { return FUploadQueue.size(); }
  // The transfer's progress bar: shown while a file goes either way, at its percent.
  bool ProgressShown() const;
  int ProgressPercent() const;
  // How the session is protected, as the status bar tells it ("" before anything is known).
  std::string SecurityText() const;
  // The frame rate and round trip in the status bar, every second of a session ("" outside one).
  std::string LinkText() const;
  // "특수 키...": the chords the local desktop keeps for itself, sent as the partner's keyboard
  // would make them; only in a session.
  void SendSpecialKey(ESpecialKey AKey);
  // "연결 끊기": ends the session (or withdraws the waiting request); "다시 연결" stays.
  void Disconnect();
  // "1:1 보기": one remote pixel to one screen pixel, scrolled where the window is smaller.
  void SetActualSize(bool AOn);
  bool ActualSize() const { return FActualSize; }
  // "전체 화면": the whole monitor without a frame, the toolbar kept to come back.
  void SetFullScreen(bool AOn);
  bool FullScreen() const { return FFullScreenOn; }
  // The toolbar's height: a row more for every time its controls wrap in a narrow window.
  static constexpr int ToolbarRowHeight = 44;
  int ToolbarHeight() const { return FToolbarHeight; }

private:
  static LRESULT CALLBACK FrameProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  static LRESULT CALLBACK CanvasProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  static LRESULT CALLBACK ChatEditProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL, UINT_PTR AId, DWORD_PTR AData);
  LRESULT OnFrame(UINT AMsg, WPARAM AW, LPARAM AL);
  LRESULT OnCanvas(UINT AMsg, WPARAM AW, LPARAM AL);

  void BuildControls();
  void Layout();
  void Command(int AId, int ACode);
  void Notify(const NMHDR& AHeader);

  void NewSession();
  void StartSession();
  void EndSession();
  void ShowBanner(const std::string& AText);
  void HideBanner();
  void ScheduleRetry();
  void RetryTick();
  void CancelRetry();
  void ShowRefusal(const std::string& AText);
  void SetStatus(const std::string& AText);
  void ReportError(const std::string& AText);
  void EndUnseen(const std::string& AText);

  void Paint(HDC ADC);
  RECT PictureRectFor(int ARemoteW, int ARemoteH) const;
  void SendMouse(int AX, int AY, uint8_t AButton, uint8_t AAction, int16_t AWheel);
  void SendKey(WPARAM AW, LPARAM AL, bool AKeyUp);

  void SendFileClick();
  void DropFiles(HDROP ADrop);
  void KeyChanged(const std::string& AOld, const std::string& ANew);
  void SetSecurity(const std::string& AText, COLORREF AColour);
  void StartNextUpload();
  void RefreshTransferControls();
  void SessionLive(bool ALive);
  void ShowSpecialKeys();
  void UpdateScrollBars();
  void Scroll(int ABar, int ACode);
  void RefreshLinkFigures();
  void ToggleFiles();
  void ToggleChat();
  void RequestListing(const std::string& APath);
  void OpenSelectedEntry();
  void ShowListing(const TDirListing& AListing, bool ACut);
  void ShowMonitors(const std::vector<TMonitorEntry>& AMonitors);
  void SendChatLine();
  void AppendChat(const std::string& ALine);

  IUiDispatcher& FUi;
  TViewerParams FParams;
  TViewerTimings FTimings;
  TRemoteBoxes FBoxes;
  std::unique_ptr<TViewerSession> FSession;
  std::unique_ptr<TWinClipboardSync> FClip;
  bool FStarted = false;
  bool FClosed = false;
  bool FReconnecting = false;
  bool FAutoAttempt = false;
  bool FShowOnAdmission = false;
  bool FAdmittedOnce = false;
  bool FPasswordRefused = false;  // the partner found the password wrong: asking without it until admitted
  int FRetryAttempt = 0;
  int FRetryLeft = 0;
  std::string FBannerReason;
  bool FBannerShown = false;
  uint32_t FWaitStartMs = 0;
  bool FKeepAspect = true;
  bool FChatShown = false;
  bool FFilesShown = false;
  bool FUploadCancelled = false;
  std::vector<std::string> FUploadQueue;
  std::string FCurPath;
  struct TRow {
    int Tag = 0;  // parent, folder, file
    std::string Name;
  };
  std::vector<TRow> FRows;  // the file list's rows, by item index

  HWND FWnd = nullptr;
  HWND FCanvas = nullptr;
  HWND FQuality = nullptr;
  HWND FMonitor = nullptr;
  HWND FAspect = nullptr;
  HWND FFullScreen = nullptr;
  HWND FActualSizeButton = nullptr;
  bool FActualSize = false;
  int FScrollX = 0, FScrollY = 0;             // at 1:1, the picture's offset in the area
  int FShownRemoteW = 0, FShownRemoteH = 0;   // the size the scroll bars were set for
  HWND FSpecialKeys = nullptr;
  HWND FDisconnect = nullptr;
  HWND FLink = nullptr;
  // A toolbar group: controls placed together (a label and its list, or one button), at offsets
  // from the group's left and its row's top; Width includes the gap after it.
  struct TToolbarPart {
    HWND Wnd;
    int X, Y, W, H;
  };
  struct TToolbarGroup {
    std::vector<TToolbarPart> Parts;
    int Width;
  };
  std::vector<TToolbarGroup> FToolbarGroups;
  int FToolbarHeight = ToolbarRowHeight;
  bool FFullScreenOn = false;
  WINDOWPLACEMENT FNormalPlacement{};
  HWND FBanner = nullptr;
  HWND FBannerLabel = nullptr;
  HWND FReconnectButton = nullptr;
  HWND FCancelRetryButton = nullptr;
  HWND FStatus = nullptr;
  HWND FCancelTransfer = nullptr;
  HWND FProgress = nullptr;
  HWND FSecurity = nullptr;
  COLORREF FSecurityColour = 0;
  HWND FOpenFolder = nullptr;
  HWND FChatLog = nullptr;
  HWND FChatEdit = nullptr;
  HWND FFilePath = nullptr;
  HWND FFileList = nullptr;
  HWND FDownload = nullptr;
  HBRUSH FToolbarBrush = nullptr;
  HBRUSH FBannerBrush = nullptr;
  HBRUSH FDarkBrush = nullptr;
};

}  // namespace tlm
