// TWinClientMain: the program's one permanent native window, a view. It builds the controls of
// the design (the ID in groups of three with its "보안 코드" under it, the one-time password with
// its renew button, the password and the unattended-access box, the partner ID with the recent
// list, quality, connect, "설정", the log, and during a session "연결 끊기", who is connected and
// for how long, "입력 차단" and a chat line), shows what it is told and reports what the user
// does through its events.
// The program's rules live in the client core that drives it; nothing here decides.
//
// Contract: user-interface thread only. Events are raised from the window procedure; the
// handlers may call back into the window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
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
  void Hide();
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
  void SetOneTimePassword(const std::string& AText);
  // The line under the ID ("" hides it); AWarning: in the colour of a warning, in bold.
  void SetSecurityLine(const std::string& AText, bool AWarning);
  // Who is connected and for how long ("" hides it and "입력 차단").
  void SetSessionLine(const std::string& AText);
  void SetBlockInput(bool AChecked);  // raises no event

  // What the window holds.
  std::string MyIDText() const;
  std::string StatusText() const;
  std::string HeaderText() const;
  std::string RemoteIDText() const;
  // The line under "원격 제어": the hint, how an attempt to reach a partner goes (with "취소",
  // which runs ACancel), or why it ended ("" brings the hint back).
  static constexpr std::string_view IdleHint = "상대방 접속 ID를 입력하세요";
  void ShowPending(const std::string& AText, std::function<void()> ACancel);
  void EndPending(const std::string& AText);
  std::string RemoteHintText() const;
  HWND CancelPendingButton() const { return btnCancelPending; }
  std::string PasswordText() const;
  bool AutoPasswordChecked() const;
  int QualityIndex() const;
  int RecentIndex() const;
  std::vector<std::string> RecentLines() const;
  std::string LogText() const;
  COLORREF PanelColour() const { return FMyColour; }
  std::string OneTimePasswordText() const;
  std::string SecurityLineText() const;  // "" while hidden
  bool SecurityLineWarns() const { return FSecurityWarning; }
  std::string SessionLineText() const;  // "" while hidden
  bool BlockInputChecked() const;
  // Controls the tests drive.
  HWND RemoteIDEdit() const { return edtRemoteID; }
  HWND RenewOtpButton() const { return btnRenewOtp; }
  HWND SettingsButton() const { return btnSettings; }
  HWND BlockInputBox() const { return chkBlockInput; }
  HWND RecentList() const { return lstRecent; }

  // What the user does.
  std::function<void(const std::string& ATypedID)> OnConnect;
  std::function<void(int AIndex)> OnRecentActivate;
  std::function<void(int AIndex)> OnRecentDelete;
  std::function<void(int AIndex)> OnRecentRename;  // "이름 붙이기..." in the list's menu
  std::function<void()> OnRenewOtp;
  std::function<void(bool ABlocked)> OnBlockInput;
  std::function<void()> OnSettings;
  std::function<void()> OnSetPassword;
  std::function<void(int AIndex)> OnQualityChange;
  std::function<void()> OnEndSession;
  std::function<void(const std::string& AText)> OnChat;
  std::function<void()> OnTimer;   // every 1500 ms
  std::function<void()> OnClose;   // the user closed the window (the view decides what follows)

  // The keyboard navigation of a dialog (Tab, Enter) for the main loop.
  bool PreTranslate(MSG& AMsg);

private:
  static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  static LRESULT CALLBACK EditProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL, UINT_PTR AId, DWORD_PTR AData);
  LRESULT OnMessage(UINT AMsg, WPARAM AW, LPARAM AL);
  void BuildControls();
  void Command(int AId, int ACode);
  void DrawButton(const DRAWITEMSTRUCT& AItem);
  void RecentMenu(LPARAM AAt);
  HBRUSH BrushFor(HWND AControl, HDC ADC);

  HWND FWnd = nullptr;
  HWND lblTitle = nullptr, lblHeaderState = nullptr;
  HWND lblMyCaption = nullptr, lblMyID = nullptr, lblPwCaption = nullptr, edtPassword = nullptr, btnSetPw = nullptr;
  HWND chkAutoPw = nullptr, lblStatus = nullptr;
  HWND lblOtpCaption = nullptr, lblOtp = nullptr, btnRenewOtp = nullptr, lblSecurityCode = nullptr;
  HWND lblSession = nullptr, chkBlockInput = nullptr, btnSettings = nullptr;
  bool FSecurityWarning = false;
  HWND lblRemoteCaption = nullptr, lblRemoteHint = nullptr, edtRemoteID = nullptr, btnConnect = nullptr;
  HWND btnCancelPending = nullptr;
  enum class EHint { Idle, Pending, Ended };
  void SetRemoteHint(const std::string& AText, EHint AKind);
  EHint FHint = EHint::Idle;
  std::function<void()> FCancelPending;
  HWND cbQuality = nullptr;
  HWND lblRecent = nullptr, lstRecent = nullptr, btnDeleteRecent = nullptr, mmoLog = nullptr;
  HWND btnEndSession = nullptr, edtChat = nullptr;
  COLORREF FMyColour;
  HBRUSH FMyBrush = nullptr;
  HBRUSH FHeaderBrush = nullptr, FRemoteBrush = nullptr, FRecentBrush = nullptr, FLogBrush = nullptr;
  HBRUSH FWhiteBrush = nullptr;
};

}  // namespace tlm
