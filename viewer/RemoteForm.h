// TfrmRemote: the viewer window, one per outgoing connection.
//
// Contract: created, shown and destroyed on the user-interface thread; the creator calls
// StartConnect once right after showing it. The window owns its relay connection, its reader
// thread (reads and dispatches packets, decodes frames, writes downloads), at most one upload
// worker, the back buffer of the partner's screen and its clipboard synchroniser. Background
// threads never touch a widget: they hand work over with Post, which runs it later on the
// user-interface thread, in order, and only while FGuard is alive. Closing the window only
// hides it; the session lives until the window object is destroyed. Destruction kills the
// guard first, then stops the reader and any upload worker, then frees the rest.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "protocol/Connection.h"
#include "protocol/LifeGuard.h"
#include "protocol/ReceivedFile.h"
#include "protocol/RelayLink.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPainter;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QStatusBar;
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
  std::function<QString(QWidget* AParent)> OpenFile;                    // empty when cancelled
  static TViewerDialogs Standard();
};

// Screens larger than this on either side are refused, which bounds the back buffer.
constexpr int MaxRemoteScreenSide = 16384;

class TfrmRemote final : public QWidget {
  Q_OBJECT
public:
  // AOwner destroys the window: the application object at its aboutToQuit, any other object
  // when it is destroyed; null leaves the window to the caller. ADefaultQuality: 0 to 2.
  TfrmRemote(QObject* AOwner, const std::string& AServer, uint16_t APort, const std::string& ATargetID,
             const std::string& AMyName, const std::string& AProof, int ADefaultQuality);
  ~TfrmRemote() override;
  // The creator's call: a new window (show it, then StartConnect).
  static TfrmRemote* CreateSession(QObject* AOwner, const std::string& AServer, uint16_t APort,
                                   const std::string& ATargetID, const std::string& AMyName,
                                   const std::string& AProof, int ADefaultQuality) {
    return new TfrmRemote(AOwner, AServer, APort, ATargetID, AMyName, AProof, ADefaultQuality);
  }

  // Connects (8000 ms), sends the connect request and starts the reader. On failure shows
  // the error box and closes (hides) the window. Call once.
  void StartConnect();

  // Runs AProc on the user-interface thread later (at once when called there), only while
  // the window's guard is alive. Safe from any thread.
  void Post(std::function<void()> AProc);
  void SetStatusText(const QString& AText);

  void SetDialogs(TViewerDialogs ADialogs) { FDialogs = std::move(ADialogs); }

  // What the window shows and knows, for the application and for tests.
  QString StatusText() const;
  bool IsConnected() const { return FConnected.load(); }
  bool IsSendingFile() const { return FSendingFile.load() || FUploadRunning.load(); }
  int RemoteWidth() const { return FRemoteW.load(); }
  int RemoteHeight() const { return FRemoteH.load(); }
  QImage ScreenSnapshot() const;  // a copy of the back buffer
  const std::string& CurPath() const { return FCurPath; }
  const std::string& DownloadsFolder() const { return FDownloadsDir; }
  QWidget* Canvas() const;
  QComboBox* QualityBox() const { return cbQuality; }
  QComboBox* MonitorBox() const { return cbMonitor; }
  QWidget* ChatPanel() const { return FChatPanel; }
  QLineEdit* ChatEdit() const { return FChatEdit; }
  QPlainTextEdit* ChatLog() const { return FChatLog; }
  QWidget* FilePanel() const { return FFilePanel; }
  QTreeWidget* FileList() const { return FFileList; }

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  friend class TRemoteCanvas;

  void BuildControls();
  void ReaderLoop();
  void DispatchCmd(uint32_t AType, const std::vector<uint8_t>& APayload);
  void ApplyFrame(std::span<const uint8_t> APayload);
  void WriteResultFile(size_t APayloadSize);

  void SendEmpty(uint32_t AType);
  void SendBytes(uint32_t AType, std::span<const uint8_t> APayload);
  void SendText(uint32_t AType, const std::string& AText);
  void ReportError(const QString& AText);

  // Paint box and input (user-interface thread).
  void CanvasPaint(QPainter& APainter);
  void CanvasMouseDown(QMouseEvent* AEvent);
  void CanvasMouseUp(QMouseEvent* AEvent);
  void CanvasMouseMove(QMouseEvent* AEvent);
  void CanvasDblClick(QMouseEvent* AEvent);
  bool FormMouseWheel(QWheelEvent* AEvent);
  bool FormKey(QKeyEvent* AEvent, bool AKeyUp);
  void SendMouse(int AX, int AY, uint8_t AButton, uint8_t AAction, int16_t AWheelDelta);
  void SendKey(uint16_t AVirtualKey, bool AKeyUp, bool AExtended);

  // Files.
  void SendFileClick();
  void DoSendFile(const QString& APath);
  void UploadBody(std::string APath, QString AName);
  void ToggleFiles();
  void RequestListing(const std::string& APath);
  void FileListDblClick();
  void ShowListing(const std::string& AText);
  void DownloadBegin(const std::string& AText);
  void DownloadChunk(std::span<const uint8_t> AData);
  void DownloadEnd();

  // Quality, monitors, chat, clipboard.
  void QualityChange(int AIndex);
  void ShowMonitors(const std::string& AText);
  void MonitorChange(int AIndex);
  void ToggleChat();
  bool ChatEditKeyDown(QKeyEvent* AEvent);
  void ShowChat(const QString& AText);
  void ClipLocalCopy(const QString& AText);

  TRelayLink FClient;
  std::mutex FWriteLock;
  std::thread FReader;
  TLifeGuardRef FGuard;
  std::unique_ptr<TClipboardSync> FClip;
  QImage FRemoteBmp;  // opaque 32-bit pixels (0xFFRRGGBB): 24 bits of colour per pixel
  mutable std::mutex FScreenLock;
  std::atomic<int32_t> FRemoteW{0};
  std::atomic<int32_t> FRemoteH{0};
  std::atomic<bool> FConnected{false};
  std::string FServer;
  uint16_t FPort = 0;
  std::string FMyName;
  std::string FTargetID;
  std::string FProof;
  bool FStarted = false;
  bool FResultWritten = false;  // reader thread only

  QWidget* FToolbar = nullptr;
  QScrollArea* FScroll = nullptr;
  TRemoteCanvas* FCanvas = nullptr;
  QStatusBar* FStatus = nullptr;
  QLabel* FStatusLabel = nullptr;
  QWidget* FChatPanel = nullptr;
  QPlainTextEdit* FChatLog = nullptr;
  QLineEdit* FChatEdit = nullptr;
  QWidget* FFilePanel = nullptr;
  QTreeWidget* FFileList = nullptr;
  QComboBox* cbMonitor = nullptr;
  QComboBox* cbQuality = nullptr;
  std::atomic<int> FQualityIndex{1};  // cbQuality's index, readable by the reader thread
  std::string FCurPath;
  TViewerDialogs FDialogs;

  // Upload: FSendingFile as the user sees it; FUploadRunning while the worker thread runs
  // (a refusal clears the first while the worker may still be streaming).
  std::atomic<bool> FSendingFile{false};
  std::atomic<bool> FUploadRunning{false};
  std::atomic<bool> FUploadStop{false};
  std::thread FUploadThread;

  // Download (reader thread; teardown after the reader has ended).
  // A download that does not complete is removed: only whole files appear in the downloads folder.
  TReceivedFile FRecvFile{TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden};
  std::string FRecvName;
  std::string FDownloadsDir;
};

}  // namespace tlm
