// TfrmClientMain: the program's one permanent window. It owns the configuration store and the
// host agent, shows this computer's ID, the host's status and log and whether a viewer is
// connected, lets the user set or clear the unattended-access password, and opens a viewer
// window for each outgoing connection.
//
// Contract: created, used and destroyed on the user-interface thread. The agent's events reach
// the window through the dispatcher as queued calls (the consent question as a blocking one).
// Destruction clears the agent's event slots before it frees the agent, so nothing the agent
// still queues reaches the window, and a consent request arriving from then on is refused.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ClipboardSync.h"
#include "app/Config.h"
#include "app/RunOptions.h"
#include "host/HostAgent.h"
#include "protocol/Messages.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace tlm {

// The window's boxes, replaceable so that tests never block.
struct TMainDialogs {
  std::function<void(QWidget* AParent, const QString& AText)> Info;      // information box, OK only
  std::function<void(QWidget* AParent, const QString& AText)> Error;     // error box, OK only
  std::function<bool(QWidget* AParent, const QString& AText)> Question;  // Yes -> true
  // Closes the open Question box as if No was chosen; nothing when none is open.
  std::function<void()> CloseQuestion;
  // One-line password box (what is typed shows as dots); false when cancelled.
  std::function<bool(QWidget* AParent, const QString& ATitle, const QString& APrompt, QString& AText)> Input;
  static TMainDialogs Standard();
};

// What a new viewer window is made of; the opener creates it, shows it and starts it.
struct TViewerRequest {
  std::string Server;
  uint16_t Port = 0;
  std::string TargetID;
  std::string MyName;
  std::string Proof;
  int DefaultQuality = 1;
};
using TViewerOpener = std::function<void(const TViewerRequest& ARequest)>;

class TfrmClientMain final : public QWidget {
  Q_OBJECT
public:
  // AUi runs the agent's calls on this thread; AServices are the agent's platform services.
  // ARelayPort and ATimings exist for tests; the program always uses 59000 and the defaults.
  // ARunOptions: what the program's environment asks (the program reads it once in main).
  TfrmClientMain(IUiDispatcher& AUi, THostServices AServices, TMainDialogs ADialogs, TViewerOpener AOpenViewer,
                 uint16_t ARelayPort = uint16_t(RelayPort), THostTimings ATimings = {},
                 TRunOptions ARunOptions = TRunOptions::FromEnvironment());
  ~TfrmClientMain() override;

  // For the application and for tests.
  THostAgent* Host() const { return FHost.get(); }
  TAppConfig* Config() const { return FConfig.get(); }
  const std::string& MyID() const { return FMyID; }
  QString MyIDText() const;
  QString StatusText() const;
  QString HeaderState() const;
  QString LogText() const;
  // Lines as the log shows them: each wrapped piece of an entry counts.
  int LogLineCount() const;
  QStringList RecentLines() const;
  QPlainTextEdit* LogView() const { return mmoLog; }
  QColor MyPanelColor() const;

  // The window's actions, as the controls trigger them.
  // By value: the recent list it may come from is rebuilt on the way.
  void ConnectTo(std::string AID);
  void btnConnectClick();
  void btnSetPwClick();
  void cbQualityChange(int AIndex);
  void lstRecentDblClick();
  void tmrUITimer();
  void AddLog(const QString& AText);
  void btnEndSessionClick();
  void SendChatLine();
  void RemoveRecentAt(int ARow);
  // A viewer window's relay refused the connection to AID with AText.
  void RelayRefused(const std::string& AID, const QString& AText);
  // Brings the window to the front (a second start of the program asks for it).
  void BringToFront();
  // Runs a configuration write; a failure is shown in an error box, the program goes on.
  void SaveConfig(const std::function<void()>& AWrite);

  QLineEdit* edtRemoteID = nullptr;
  QLineEdit* edtPassword = nullptr;
  QCheckBox* chkAutoPw = nullptr;
  QComboBox* cbQuality = nullptr;
  QListWidget* lstRecent = nullptr;
  QPushButton* btnConnect = nullptr;
  QPushButton* btnSetPw = nullptr;
  QPushButton* btnEndSession = nullptr;  // shown during a session
  QLineEdit* edtChat = nullptr;          // shown during a session

protected:
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void BuildControls();
  void ApplyCaptions();
  void RefreshRecent();
  void AutoConnect();
  void OpenViewer(const std::string& ATarget, const std::string& AName, const std::string& AProof);
  void SetMyPanelColor(const QColor& AColor);
  void ShowSessionControls(bool AInSession);
  void TrimLog();
  template <typename TChange>
  void ChangeLog(TChange AChange);
  void WriteLogFile(const QString& ALine);
  void ApplyViewerClipboard(const std::string& AText);
  void HostAdmission(const std::string& AName, const std::string& AIP, EAdmission AHow);

  void HostID(const std::string& AText);
  void HostStatus(const std::string& AText);
  void HostConsent(const TConsentQuestion& AQuestion);
  void HostSessionStart();
  void HostSessionEnd();
  void HostChat(const std::string& AText);

  const uint16_t FRelayPort;
  const TRunOptions FRunOptions;
  TMainDialogs FDialogs;
  TViewerOpener FOpenViewer;
  std::unique_ptr<TAppConfig> FConfig;
  std::unique_ptr<THostAgent> FHost;
  std::string FMyID;
  std::vector<TRecentItem> FRecent;
  std::string FNewRecentID;  // added to the recent list by the last ConnectTo, not there before

  // Viewer clipboard text goes through FClipSync during a session, so the host's own copies
  // reach the viewer without echoing the viewer's text back.
  class TClipboardEntry final : public IClipboardSetter {
  public:
    explicit TClipboardEntry(TfrmClientMain& AForm) : FForm(AForm) {}
    void SetClipboardText(const std::string& AText) override { FForm.ApplyViewerClipboard(AText); }

  private:
    TfrmClientMain& FForm;
  };
  TClipboardEntry FClipEntry{*this};
  IClipboardSetter* FClipFallback = nullptr;  // outside a session
  std::unique_ptr<TClipboardSync> FClipSync;

  QString FLastLogText;  // the last entry as given, for summarising repeats
  int FLogRepeats = 0;
  // The log shows its newest line until the user scrolls away from the bottom, and again once
  // they scroll back. Changes the window makes itself (new lines, trimming, resizing) go
  // through ChangeLog and do not count as the user's.
  bool FLogFollows = true;
  bool FLogAdjusting = false;
  int FLogLeftAt = 0;  // the scroll position ChangeLog left
  std::string FViewerName;  // the viewer admitted last: "name (address)", for the end of its session

  QWidget* pnlHeader = nullptr;
  QLabel* lblTitle = nullptr;
  QLabel* lblHeaderState = nullptr;
  QWidget* pnlMy = nullptr;
  QLabel* lblMyCaption = nullptr;
  QLabel* lblMyID = nullptr;
  QLabel* lblPwCaption = nullptr;
  QLabel* lblStatus = nullptr;
  QWidget* pnlRemote = nullptr;
  QLabel* lblRemoteCaption = nullptr;
  QLabel* lblRemoteHint = nullptr;
  QWidget* pnlRecent = nullptr;
  QLabel* lblRecent = nullptr;
  QPlainTextEdit* mmoLog = nullptr;
  QTimer* tmrUI = nullptr;
};

// The fonts the design names, with fallbacks that exist on Linux and carry Korean glyphs.
QFont UiFont(int APixelHeight, bool ABold = false);
QFont MonoFont(int APixelHeight, bool ABold = false);

}  // namespace tlm
