// TWinClientMain: the program's one permanent native window, a view. It builds the controls of
// the design (the ID in groups of three, the password and the unattended-access box, the
// partner ID with the recent list, quality, connect, the log, and during a session "연결 끊기"
// and a chat line), shows what it is told and reports what the user does through its events.
// The program's rules live in the client core that drives it; nothing here decides.
//
// Contract: user-interface thread only. Events are raised from the window procedure; the
// handlers may call back into the window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace tlm {

class TWinClientMain {
public:
  TWinClientMain();
  ~TWinClientMain();
  TWinClientMain(const TWinClientMain&) = delete;
  TWinClientMain& operator=(const TWinClientMain&) = delete;

  HWND Handle() const { return FWnd; }
  void Show();
  // Restores the window if minimised and brings it to the front.
  void BringToFront();

  // What the window shows (texts in UTF-8).
  void SetMyID(const std::string& AGroupedID);
  void SetStatus(const std::string& AText);
  void SetHeaderState(const std::string& AText);
  void SetPanelColour(COLORREF AColour);
  // The log's whole text, newest line last; scrolled to the end.
  void SetLogLines(const std::vector<std::string>& ALines);
  void AppendLogLine(const std::string& ALine);
  // The newest line again, changed (a repeated entry that counts its repeats).
  void ReplaceLastLogLine(const std::string& ALine);
  void SetRecent(const std::vector<std::string>& ALines);
  void SetQuality(int AIndex);  // -1: nothing selected
  void SetAutoPassword(bool AChecked);
  void ClearPassword(const std::string& AHint);
  void ShowSessionControls(bool AInSession);

  // What the window holds.
  std::string MyIDText() const;
  std::string StatusText() const;
  std::string HeaderText() const;
  std::string RemoteIDText() const;
  std::string PasswordText() const;
  bool AutoPasswordChecked() const;
  int QualityIndex() const;
  int RecentIndex() const;
  std::vector<std::string> RecentLines() const;
  std::string LogText() const;
  COLORREF PanelColour() const { return FMyColour; }

  // What the user does.
  std::function<void(const std::string& ATypedID)> OnConnect;
  std::function<void(int AIndex)> OnRecentActivate;
  std::function<void(int AIndex)> OnRecentDelete;
  std::function<void()> OnSetPassword;
  std::function<void(int AIndex)> OnQualityChange;
  std::function<void()> OnEndSession;
  std::function<void(const std::string& AText)> OnChat;
  std::function<void()> OnTimer;   // every 1500 ms
  std::function<void()> OnClose;   // the user closed the window: the program ends

  // The keyboard navigation of a dialog (Tab, Enter) for the main loop.
  bool PreTranslate(MSG& AMsg);

private:
  static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  static LRESULT CALLBACK EditProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL, UINT_PTR AId, DWORD_PTR AData);
  LRESULT OnMessage(UINT AMsg, WPARAM AW, LPARAM AL);
  void BuildControls();
  void Command(int AId, int ACode);
  void DrawButton(const DRAWITEMSTRUCT& AItem);
  HBRUSH BrushFor(HWND AControl, HDC ADC);

  HWND FWnd = nullptr;
  HWND lblTitle = nullptr, lblHeaderState = nullptr;
  HWND lblMyCaption = nullptr, lblMyID = nullptr, lblPwCaption = nullptr, edtPassword = nullptr, btnSetPw = nullptr;
  HWND chkAutoPw = nullptr, lblStatus = nullptr;
  HWND lblRemoteCaption = nullptr, lblRemoteHint = nullptr, edtRemoteID = nullptr, btnConnect = nullptr;
  HWND cbQuality = nullptr;
  HWND lblRecent = nullptr, lstRecent = nullptr, btnDeleteRecent = nullptr, mmoLog = nullptr;
  HWND btnEndSession = nullptr, edtChat = nullptr;
  COLORREF FMyColour;
  HBRUSH FMyBrush = nullptr;
  HBRUSH FHeaderBrush = nullptr, FRemoteBrush = nullptr, FRecentBrush = nullptr, FLogBrush = nullptr;
  HBRUSH FWhiteBrush = nullptr;
};

}  // namespace tlm
