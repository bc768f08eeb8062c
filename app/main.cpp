// TLMRemoteClient: the program entry. One main window (host agent and connect panel); viewer
// windows are owned by the application object and destroyed after the main window's and the
// client core's teardown.
#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/ClientApp.h"
#include "app/ClientMain.h"
#include "app/Environment.h"
#include "app/HostClipboard.h"
#include "app/HostPlatform.h"
#include "app/SingleInstance.h"
#include "platform/Folders.h"
#include "protocol/LocalFiles.h"
#include "protocol/Credentials.h"
#include "qtui/ClipboardSync.h"
#include "qtui/QtDispatcher.h"
#include "qtui/QtLook.h"
#include "qtui/QtTranslations.h"
#include "tlm/Version.h"
#include "viewer/RemoteForm.h"

namespace {

// What `--help` prints: the options and the environment the program reads.
const char* const HelpText =
    "Usage: TLMRemoteClient [--help | --version]\n"
    "\n"
    "TALMIR Remote: one window that makes this computer reachable under its connection ID\n"
    "(the host) and connects to a partner's ID (a viewer window per connection).\n"
    "\n"
    "Options:\n"
    "  --help      print this text and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Environment:\n"
    "  TLMREMOTE_HOST         relay host instead of the built-in 127.0.0.1 (the port is always 59000)\n"
    "  TLMREMOTE_CONFIGDIR    folder of config.ini (default: $XDG_CONFIG_HOME/TLMRemote, else\n"
    "                         ~/.config/TLMRemote)\n"
    "  TLMREMOTE_DEVICEKEY    device key instead of the stored one (never written to the file)\n"
    "  COMPUTERNAME           name shown to partners when config.ini has none (default: the host name)\n"
    "  TLMREMOTE_AUTOCONNECT  partner ID to connect to right after start-up\n"
    "  TLMREMOTE_AUTOPW       password for that automatic connection\n"
    "  TLMREMOTE_IDFILE       file overwritten with the host's ID whenever one is assigned\n"
    "  TLMREMOTE_RESULTFILE   file written with \"OK \" and the first frame's size, after which the\n"
    "                         viewer window closes\n"
    "  TLMREMOTE_LOGFILE      every line of the main window's log is also appended to this file\n"
    "  TLMREMOTE_TLS          1: reach the relay over TLS (as RelayTls=1 in config.ini)\n"
    "  TLMREMOTE_TLS_CA       PEM file of the certificates to trust for the relay\n"
    "  XDG_DOWNLOAD_DIR       folder that received files land in (default: ~/Downloads)\n"
    "\n"
    "See man TLMRemoteClient.\n";

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so they need no display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("TLMRemoteClient %s\n", tlm::ProgramVersion);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(HelpText, stdout);
    return 0;
  }
  // The environment, read once: everything below is handed what it needs of it.
  const tlm::TEnvironment env = tlm::TEnvironment::FromProcess();
  tlm::SetUserFolders(env.Folders);
  // Made before the application object: viewer windows, destroyed with it, still watch it.
  std::string clipboardProblem;
  const std::unique_ptr<tlm::ITextClipboard> desktopClipboard =
      tlm::CreateDesktopClipboard(env.WaylandDisplay, clipboardProblem);
  tlm::TClipboardSync::UseDesktopClipboard(desktopClipboard.get());
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TALMIR Remote"));
  QApplication::setApplicationVersion(QString::fromLatin1(tlm::ProgramVersion));
  // Ties the windows to the installed desktop entry and its icon (no icon when not installed).
  QApplication::setDesktopFileName(QStringLiteral("tlmremoteclient"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tlmremoteclient")));
  QApplication::setFont(tlm::UiFont(13));
  tlm::InstallKoreanQtTranslations(app);
  // Qt would otherwise keep running while any viewer window is visible; the main window's
  // close ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // One copy per configuration folder: a second start brings the first one forward and ends.
  // Its lock lives in the folder, so a first start makes the folder first (owner-only).
  tlm::MakePrivateFolder(env.ConfigFolder());
  tlm::TSingleInstance instance(QString::fromStdString(env.ConfigFolder()));
  if (!instance.Acquire()) return 0;

  tlm::TQtDispatcher ui;
  tlm::TQtClipboardSetter clipboard;
  // The portal's restore token: the platform starts its session before the core exists, so the
  // stored token is read here once; a new one goes to the core on the user-interface thread
  // (tokenSink is the core while it lives, and is only touched on that thread).
  tlm::TClientApp* tokenSink = nullptr;
  tlm::TPortalTokenStore portalTokens;
  portalTokens.Load = [token = tlm::TAppConfig(env).PortalRestoreToken()] { return token; };
  portalTokens.Save = [&ui, &tokenSink](const std::string& AToken) {
    ui.Post([&tokenSink, AToken] {
      if (tokenSink) tokenSink->SetPortalRestoreToken(AToken);
    });
  };
  // The desktop's screen and input, for the host agent.
  tlm::THostPlatform platform(env.WaylandDisplay, std::move(portalTokens));

  std::unique_ptr<tlm::TClientApp> core;
  std::unique_ptr<tlm::TfrmClientMain> form;
  // A viewer window per request; its refusals go to the core, which decides what they mean.
  // The window shows itself once the partner admits us; until then the main window tells how
  // the attempt goes and why it ended, and can withdraw it.
  auto openViewer = [&core, &form](const tlm::TViewerRequest& ARequest) {
    auto* viewer = tlm::TfrmRemote::CreateSession(qApp, ARequest.Server, ARequest.Port, ARequest.TargetID,
                                                  ARequest.MyName, ARequest.Proof, ARequest.DefaultQuality);
    // A closed viewer has ended its session; the window goes with it.
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->SetResultFile(ARequest.ResultFile);
    viewer->SetDownloadFolder(ARequest.DownloadDir);
    viewer->SetRelayTls(ARequest.Tls);
    if (ARequest.Pins) {
      tlm::TViewerSecurity security;
      security.Offer = true;
      security.PasswordHash = ARequest.PasswordHash;
      security.OwnId = ARequest.OwnID;
      security.Pins = ARequest.Pins;
      security.RequireEncryption = ARequest.RequireEncryption;
      viewer->SetSecurity(std::move(security));
    }
    viewer->OnRefused = [&core, target = ARequest.TargetID](tlm::ERelayRefusal AKind) {
      if (core) core->ViewerRefused(target, AKind);
    };
    viewer->OnPasswordRefused = [&core, target = ARequest.TargetID, hash = ARequest.PasswordHash] {
      if (core) core->ViewerPasswordRefused(target, hash);
    };
    if (core) viewer->SetKeepAspect(core->KeepAspect());
    viewer->OnKeepAspectChanged = [&core](bool AKeep) {
      if (core) core->SetKeepAspect(AKeep);
    };
    viewer->SetShowOnAdmission(true);
    const QString shownID = QString::fromStdString(tlm::FormatID(ARequest.TargetID)) + QStringLiteral(": ");
    QPointer<tlm::TfrmRemote> LViewer(viewer);
    viewer->OnPendingStatus = [&form, shownID, LViewer](const QString& AText) {
      if (form) form->ShowPending(shownID + AText, [LViewer] {
        if (LViewer) LViewer->close();
      });
    };
    viewer->OnEndedUnseen = [&form, shownID](const QString& AText) {
      if (form) form->EndPending(shownID + AText);
    };
    viewer->OnAdmitted = [&form] {
      if (form) form->EndPending(QString());
    };
    viewer->StartConnect();
  };

  tlm::TClientParts parts;
  parts.Services = platform.Services(&clipboard);
  parts.Services.DownloadDir = env.DownloadFolder();
  parts.Services.ConfigDir = tlm::UserConfigDir(env.Folders);
  parts.SessionClipboard = tlm::QtSessionClipboards();
  parts.OpenViewer = openViewer;
  core = std::make_unique<tlm::TClientApp>(ui, env, std::move(parts));
  tokenSink = core.get();

  form = std::make_unique<tlm::TfrmClientMain>(*core, tlm::TMainDialogs::Standard());
  instance.OnActivate = [&form] {
    if (form) form->BringToFront();
  };
  core->Start();
  // Which desktop backend serves the host, and what it cannot do (no XTEST, a compositor
  // without the protocols): said where the user looks.
  for (const std::string& line : platform.LogLines()) core->AddLog(line);
  if (!clipboardProblem.empty()) core->AddLog(clipboardProblem);
  // Connected before any viewer window exists, so it runs before their own clean-up at quit:
  // the main window, then the core (and with it the host agent) go first.
  QObject::connect(&app, &QCoreApplication::aboutToQuit, [&form, &core, &tokenSink] {
    form.reset();
    tokenSink = nullptr;
    core.reset();
  });
  form->show();
  const int rc = QApplication::exec();
  form.reset();
  tokenSink = nullptr;
  core.reset();
  return rc;
}
