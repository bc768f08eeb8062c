// TfrmClientMain: the program's one permanent window, a view of the client core (TClientApp).
// It shows this computer's ID, the host's status and log and whether a viewer is connected,
// and forwards what the user does: connecting to a partner, the unattended-access password,
// the quality preset, the recent list, chat and ending a session.
//
// Contract: created, used and destroyed on the user-interface thread, after the core and
// before it goes. The window adds itself to the core's views when it is made and removes
// itself when it is destroyed; the core's calls reach it on the user-interface thread only.
// Its controls are private; tests find them by object name.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <string>

#include "app/Autostart.h"
#include "app/ClientApp.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;
namespace tlm { class TTrayIcon; }

namespace tlm {

// The window's boxes, replaceable so that tests never block.
struct TMainDialogs {
  std::function<void(QWidget* AParent, const QString& AText)> Info;      // information box, OK only
  std::function<void(QWidget* AParent, const QString& AText)> Error;     // error box, OK only
  std::function<bool(QWidget* AParent, const QString& AText)> Question;  // Yes -> true
  // The consent question: 0 refuse, 1 allow, 2 "보기만 허용". Empty: Question (yes allows).
  std::function<int(QWidget* AParent, const QString& AText)> Consent;
  // Closes the open Question (or Consent) box as if No was chosen; nothing when none is open.
  std::function<void()> CloseQuestion;
  // The settings dialog; false when cancelled. ASettings and AAutostart in and out.
  std::function<bool(QWidget* AParent, TClientSettings& ASettings, bool& AAutostart, const TSettingsOverrides& AEnv)>
      Settings;
  // The partner's password with "비밀번호 기억" (what is typed shows as dots); false when
  // cancelled. Empty: Input, and nothing is remembered.
  std::function<bool(QWidget* AParent, QString& APassword, bool& ARemember)> PartnerPassword;
  // One-line text box (AText in and out); false when cancelled.
  std::function<bool(QWidget* AParent, const QString& ATitle, const QString& APrompt, QString& AText)> Text;
  // One-line password box (what is typed shows as dots); false when cancelled.
  std::function<bool(QWidget* AParent, const QString& ATitle, const QString& APrompt, QString& AText)> Input;
  static TMainDialogs Standard();
};

class TfrmClientMain final : public QWidget, private IClientView {
  Q_OBJECT
public:
  TfrmClientMain(TClientApp& ACore, TMainDialogs ADialogs);
  ~TfrmClientMain() override;

  // What the window shows, for tests.
  QString MyIDText() const;
  QString StatusText() const;
  QString HeaderState() const;
  QString LogText() const;
  // Lines as the log shows them: each wrapped piece of an entry counts.
  int LogLineCount() const;
  QStringList RecentLines() const;
  QPlainTextEdit* LogView() const { return mmoLog; }
  QColor MyPanelColor() const;

  // Brings the window to the front (a second start of the program asks for it).
  void BringToFront();
  // The header's state now (the window's timer does it every 1.5 s).
  void RefreshHeader();
  // "설정": the settings dialog, then what it set is stored (and the autostart entry made).
  void OpenSettings();
  // "이름 붙이기" on a recent entry (its context menu).
  void RenameRecentAt(int ARow);
  // Whether the desktop shows tray icons; tests replace it.
  void SetTrayCheck(std::function<bool()> ACheck) { FTrayAvailable = std::move(ACheck); }
  // The autostart entry this window switches.
  TAutostartEntry Autostart() const;

  // A connection waiting for the partner: its state under the ID field, with "취소" (ACancel).
  // EndPending: the attempt ended before a window opened (the reason stays, in red) or, with
  // an empty text, the partner admitted us and the viewer window is open.
  void ShowPending(const QString& AText, std::function<void()> ACancel);
  void EndPending(const QString& AText);
  QString RemoteHintText() const;
  QString OneTimePasswordText() const;
  QString SessionLineText() const;

protected:
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  // The core's reports.
  void HostIdChanged(const std::string& AID) override;
  void HostStatusChanged(const std::string& AText) override;
  void LogAdded(const TLogEntry& AEntry) override;
  void ChatReceived(const std::string& AText) override;
  void ConsentAsked(const TConsentQuestion& AQuestion, const std::string& AText) override;
  void ConsentClosed() override;
  void SessionChanged(bool AInSession) override;
  void SessionSecurityChanged(const std::string& AText) override;
  void ShowSecurityCode();
  void RecentChanged() override;
  void ConfigWriteFailed(const std::string& AText) override;
  void ViewerRefused(const TViewerRefusal& ARefusal) override;
  void OneTimePasswordChanged(const std::string& AText) override;
  void RefreshSessionLine();

  // What the user does.
  // By value: the recent list it may come from is rebuilt on the way.
  void ConnectTo(std::string AID);
  void ConnectClicked();
  void SetPasswordClicked();
  void RecentActivated();
  void RemoveRecentAt(int ARow);
  void SendChatLine();

  void BuildControls();
  void ApplyCaptions();
  void SetMyPanelColor(const QColor& AColor);
  void TrimLog();
  void SetRemoteHint(const QString& AText, const QColor& AColour);
  void showEvent(QShowEvent* AEvent) override;
  template <typename TChange>
  void ChangeLog(TChange AChange);

  TClientApp& FCore;
  TMainDialogs FDialogs;

  // The log shows its newest line until the user scrolls away from the bottom, and again once
  // they scroll back. Changes the window makes itself (new lines, trimming, resizing) go
  // through ChangeLog and do not count as the user's.
  bool FInSession = false;  // as the core reported it
  bool FLogFollows = true;
  bool FLogAdjusting = false;
  int FLogLeftAt = 0;  // the scroll position ChangeLog left

  QWidget* pnlHeader = nullptr;
  QLabel* lblTitle = nullptr;
  QLabel* lblHeaderState = nullptr;
  QPushButton* btnEndSession = nullptr;  // shown during a session
  QWidget* pnlMy = nullptr;
  QLabel* lblMyCaption = nullptr;
  QLabel* lblMyID = nullptr;
  QLabel* lblPwCaption = nullptr;
  QLineEdit* edtPassword = nullptr;
  QPushButton* btnSetPw = nullptr;
  QCheckBox* chkAutoPw = nullptr;
  QLabel* lblStatus = nullptr;
  QLabel* lblSecurityCode = nullptr;
  QWidget* pnlRemote = nullptr;
  QLabel* lblRemoteCaption = nullptr;
  QLabel* lblRemoteHint = nullptr;
  QLineEdit* edtRemoteID = nullptr;
  QPushButton* btnConnect = nullptr;
  QComboBox* cbQuality = nullptr;
  QWidget* pnlRecent = nullptr;
  QLabel* lblRecent = nullptr;
  QLabel* lblLog = nullptr;
  QLabel* lblQuality = nullptr;
  QPushButton* btnCancelPending = nullptr;
  std::function<void()> FCancelPending;
  bool FFocusedOnce = false;
  QListWidget* lstRecent = nullptr;
  QPlainTextEdit* mmoLog = nullptr;
  QLineEdit* edtChat = nullptr;  // shown during a session
  QTimer* tmrUI = nullptr;
  QPushButton* btnSettings = nullptr;
  QLabel* lblOtpCaption = nullptr;
  QLabel* lblOtp = nullptr;
  QPushButton* btnRenewOtp = nullptr;
  QLabel* lblSession = nullptr;       // who is connected and for how long
  QCheckBox* chkBlockInput = nullptr;  // "입력 차단"
  TTrayIcon* FTray = nullptr;
  std::function<bool()> FTrayAvailable;
  bool FToldAboutTray = false;
};

}  // namespace tlm
