// TfrmRemote: the viewer window, one per outgoing connection.
//
// Contract: created, shown and destroyed on the user-interface thread; the creator calls
// StartConnect once right after showing it. The window builds the controls, turns the user's
// input into calls on its TViewerSession and paints the session's back buffer; the session
// owns the connection and every thread, and reaches the window only through queued calls.
// Closing the window ends the session (held keys and buttons are released first) and closes
// the connection; the window object lives on until its owner destroys it (or Qt does, when
// the creator set Qt::WA_DeleteOnClose). After the session ended, "다시 연결" makes a new one
// to the same ID with the same proof; a lost relay connection is retried by itself.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/RelayRefusals.h"
#include "qtui/QtDispatcher.h"
#include "viewer/KeyChords.h"
#include "viewer/ViewerSession.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPainter;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QStatusBar;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tlm {

class TClipboardSync;
class TRemoteCanvas;

// The window's modal boxes and the file-open dialog, replaceable so that tests never block.
struct TViewerDialogs {
  std::function<void(QWidget* AParent, const QString& AText)> Error;    // error box, OK only
  std::function<void(QWidget* AParent, const QString& AText)> Warning;  // warning box, OK only
  std::function<void(QWidget* AParent, const QString& AText)> Info;     // information box, OK only
  std::function<QStringList(QWidget* AParent)> OpenFiles;               // empty when cancelled
  std::function<bool(QWidget* AParent, const QString& AText)> Confirm;  // yes/no; empty: no
  static TViewerDialogs Standard();
};

// Lines the chat pane keeps (the oldest go first).
constexpr int MaxChatPaneLines = 1000;

class TfrmRemote final : public QWidget {
  Q_OBJECT
public:
  // AOwner destroys the window: the application object at its aboutToQuit, any other object
  // when it is destroyed; null leaves the window to the caller. ADefaultQuality: 0 to 3.
  TfrmRemote(QObject* AOwner, const std::string& AServer, uint16_t APort, const std::string& ATargetID,
             const std::string& AMyName, const std::string& AProof, int ADefaultQuality);
  ~TfrmRemote() override;
  // The creator's call: a new window (show it, then StartConnect).
  static TfrmRemote* CreateSession(QObject* AOwner, const std::string& AServer, uint16_t APort,
                                   const std::string& ATargetID, const std::string& AMyName,
                                   const std::string& AProof, int ADefaultQuality) {
    return new TfrmRemote(AOwner, AServer, APort, ATargetID, AMyName, AProof, ADefaultQuality);
  }

  // Before StartConnect: where an unattended run writes its result (empty: none), and where
  // downloads go (empty: the user's download folder).
  void SetResultFile(const std::string& APath) { FParams.ResultFile = APath; }
  void SetDownloadFolder(const std::string& APath) { FParams.DownloadDir = APath; }
  void SetRelayTls(const TRelayTlsChoice& AChoice) { FParams.Tls = AChoice; }
  void SetTimings(TViewerTimings ATimings) { FTimings = ATimings; }
  // Before StartConnect: the creator does not show the window; it shows itself once the partner
  // admits us. Until then status lines go to OnPendingStatus, and an attempt that ends (unknown
  // ID, refusal, no relay, a lost connection) goes to OnEndedUnseen with its reason, without a
  // box, and the window closes itself (neither callback may delete it). Closing the window
  // meanwhile withdraws the request.
  void SetShowOnAdmission(bool AOn) { FShowOnAdmission = AOn; }
  bool Unseen() const { return FShowOnAdmission && !FAdmittedOnce; }
  std::function<void(const QString& AText)> OnPendingStatus;
  std::function<void(const QString& AText)> OnEndedUnseen;
  std::function<void()> OnAdmitted;  // the window has just shown itself
  // End-to-end encryption for every session of this window (off: the plain wire).
  void SetSecurity(TViewerSecurity ASecurity) { FParams.Security = std::move(ASecurity); }

  // Starts the session: connecting happens on the session's thread. A failure shows the
  // error box and closes the window. Call once.
  void StartConnect();
  // Ends the current session and starts a new one with the same ID and proof.
  void Reconnect();
  // After the connection to the relay was lost the window tries again by itself, waiting
  // longer each time (a countdown in the banner); a refusal by the partner or the partner
  // ending the session is not retried. CancelRetry stops the countdown ("다시 연결" stays).
  bool Retrying() const;
  void CancelRetry();

  void SetDialogs(TViewerDialogs ADialogs) { FDialogs = std::move(ADialogs); }
  // The relay turned this window's request away (before the window tells its user): the
  // creator learns which refusal it was, for the partner's ID this window connects to.
  std::function<void(ERelayRefusal AKind)> OnRefused;
  // The partner turned the password down; the window goes on asking its user instead.
  std::function<void()> OnPasswordRefused;

  // "비율 유지": the picture keeps the remote screen's shape, letterboxed on black (the default);
  // off, it is stretched to the whole area. The toggle reports the user's changes, so the
  // creator can keep the choice in the configuration.
  void SetKeepAspect(bool AKeep);
  bool KeepAspect() const { return FKeepAspect; }
  std::function<void(bool AKeep)> OnKeepAspectChanged;
  // Where the picture is painted inside the canvas, in canvas coordinates.
  QRect PictureRect() const;
  // "1:1 보기": one remote pixel to one screen pixel, scrolled where the window is smaller.
  void SetActualSize(bool AOn);
  bool ActualSize() const { return FActualSize; }
  // "전체 화면": the window covers the screen; the toolbar stays, to leave it again.
  void SetFullScreen(bool AOn);
  // "특수 키": a combination the local desktop would keep for itself, sent to the partner.
  void SendSpecialKey(ESpecialKey AKey);
  // "연결 끊기": ends the session (or the request still waiting); the window stays with
  // "다시 연결".
  void Disconnect();
  // The status bar's frame rate and round trip; "" outside a session.
  QString LinkText() const;
  void RefreshLinkFigures();

  // What the window shows and knows, for the application and for tests.
  QString StatusText() const;
  QString BannerText() const;  // "" while no banner is shown
  // The session's protection in the status bar: its codes, or the plain-connection warning.
  QString SecurityText() const;
  QString FilePathText() const;  // the file panel's line: the remote folder or a listing error
  bool IsConnected() const { return FSession && FSession->InSession(); }
  bool IsSendingFile() const { return FSession && FSession->Uploading(); }
  int RemoteWidth() const { return FSession ? FSession->Screen().Width() : 0; }
  int RemoteHeight() const { return FSession ? FSession->Screen().Height() : 0; }
  QImage ScreenSnapshot() const;  // a copy of the back buffer
  const std::string& CurPath() const { return FCurPath; }
  std::string DownloadsFolder() const { return FSession ? FSession->DownloadFolder() : FParams.DownloadDir; }
  TViewerSession* Session() const { return FSession.get(); }
  QWidget* Canvas() const;
  QComboBox* QualityBox() const { return cbQuality; }
  QComboBox* MonitorBox() const { return cbMonitor; }
  QWidget* ChatPanel() const { return FChatPanel; }
  QLineEdit* ChatEdit() const { return FChatEdit; }
  QPlainTextEdit* ChatLog() const { return FChatLog; }
  QWidget* FilePanel() const { return FFilePanel; }
  QTreeWidget* FileList() const { return FFileList; }
  QPushButton* ReconnectButton() const { return FReconnect; }
  QPushButton* CancelRetryButton() const { return FCancelRetry; }
  // "전송 취소": stops the running upload (and the files waiting behind it) or download.
  QPushButton* CancelTransferButton() const { return FCancelUpload; }
  QToolButton* OverflowButton() const { return FOverflow; }
  QPushButton* OpenFolderButton() const { return FOpenFolder; }
  QPushButton* DisconnectButton() const { return FDisconnect; }
  QPushButton* SpecialKeysButton() const { return FSpecialKeys; }
  QScrollArea* ScrollArea() const { return FScroll; }
  // Local files to send one after another (the file dialog's choice, files dropped on the
  // picture); ignored outside a session.
  void QueueUploads(const QStringList& APaths);
  int QueuedUploads() const { return int(FUploadQueue.size()); }

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  void hideEvent(QHideEvent* AEvent) override;
  void changeEvent(QEvent* AEvent) override;

private:
  friend class TRemoteCanvas;

  void BuildControls();
  void NewSession();
  void StartSession();
  void EndSession();
  void CloseLater();
  void ShowBanner(const QString& AText);
  void PlaceBanner();
  void ApplyCanvasSize();
  void RefreshSessionControls();
  QRect PictureRectFor(int ARemoteW, int ARemoteH) const;
  void ScheduleRetry();
  void RetryTick();
  void ShowRefusal(const std::string& AText);
  void ReportError(const QString& AText);
  void EndUnseen(const QString& AText);

  // Paint box and input (user-interface thread).
  void CanvasPaint(QPainter& APainter);
  void CanvasMouseDown(QMouseEvent* AEvent);
  void CanvasMouseUp(QMouseEvent* AEvent);
  void CanvasMouseMove(QMouseEvent* AEvent);
  void CanvasDblClick(QMouseEvent* AEvent);
  bool FormMouseWheel(QWheelEvent* AEvent);
  bool FormKey(QKeyEvent* AEvent, bool AKeyUp);
  void SendMouse(QPointF APos, uint8_t AButton, uint8_t AAction, int16_t AWheelDelta);

  // Files.
  void SendFileClick();
  void StartNextUpload();
  void RefreshTransferControls();
  void SessionLive(bool ALive);
  void ToggleFiles();
  void RequestListing(const std::string& APath);
  void FileListDblClick();
  void ShowListing(const TDirListing& AListing, bool ACut);

  // Monitors, chat.
  void ShowMonitors(const std::vector<TMonitorEntry>& AMonitors);
  void LayoutToolbar();
  void ShowToggles();
  void ToggleChat();
  bool ChatEditKeyDown(QKeyEvent* AEvent);
  void ShowChat(const QString& AText);

  TQtDispatcher FUi;
  TViewerParams FParams;
  TViewerTimings FTimings;
  std::unique_ptr<TViewerSession> FSession;
  std::unique_ptr<TClipboardSync> FClip;
  bool FStarted = false;
  bool FShowOnAdmission = false;
  bool FAdmittedOnce = false;
  bool FReconnecting = false;  // the current session replaced an ended one
  bool FAutoAttempt = false;   // the current session is an automatic retry
  int FRetryAttempt = 0;       // automatic attempts since the last session started
  int FRetryLeft = 0;          // seconds of the countdown
  QString FBannerReason;       // the banner's reason, without the countdown
  QTimer* FRetryTimer = nullptr;
  QTimer* FProofTimer = nullptr;  // a password proof not answered at once
  QElapsedTimer FWaitClock;       // since the connect request
  int FAttemptNo = 0;             // counts reconnections and closes: a later one voids a pending one
  bool FPasswordRefused = false;  // the partner found the password wrong: asking without it until admitted
  QImage FLastPicture;            // the ended session's picture, shown until a new frame

  QWidget* FToolbar = nullptr;
  QScrollArea* FScroll = nullptr;
  TRemoteCanvas* FCanvas = nullptr;
  QWidget* FBanner = nullptr;
  QLabel* FBannerText = nullptr;
  QPushButton* FReconnect = nullptr;
  QPushButton* FCancelRetry = nullptr;
  QPushButton* FAspectButton = nullptr;
  QPushButton* FActualSizeButton = nullptr;
  QPushButton* FFullScreenButton = nullptr;
  QPushButton* FSpecialKeys = nullptr;  // its menu holds the combinations
  QPushButton* FDisconnect = nullptr;   // at the toolbar's right end, never in the overflow menu
  QPushButton* FChatButton = nullptr;
  QPushButton* FFilesButton = nullptr;
  QToolButton* FOverflow = nullptr;  // "더 보기": the buttons a narrow window has no room for
  std::vector<QAction*> FOverflowActions;  // one per toolbar button, shown for the hidden ones
  bool FKeepAspect = true;
  bool FActualSize = false;
  QLabel* FLinkLabel = nullptr;  // frame rate and round trip, in the status bar
  QTimer* FLinkTimer = nullptr;
  QStatusBar* FStatus = nullptr;
  QLabel* FStatusLabel = nullptr;
  QLabel* FSecurityLabel = nullptr;
  QPushButton* FCancelUpload = nullptr;  // in the status bar while a transfer runs
  QPushButton* FOpenFolder = nullptr;    // after a download: opens the downloads folder
  bool FUploadCancelled = false;         // the user pressed it for the running upload
  QStringList FUploadQueue;              // files waiting for the running upload
  QWidget* FChatPanel = nullptr;
  QPlainTextEdit* FChatLog = nullptr;
  QLineEdit* FChatEdit = nullptr;
  QWidget* FFilePanel = nullptr;
  QLabel* FFilePath = nullptr;
  QTreeWidget* FFileList = nullptr;
  QComboBox* cbMonitor = nullptr;
  QComboBox* cbQuality = nullptr;
  std::vector<QPushButton*> FToolbarButtons;  // left to right, after the monitor list
  std::string FCurPath;
  TViewerDialogs FDialogs;
};

}  // namespace tlm
