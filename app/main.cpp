// TLMRemoteClient: the program entry. One main window (host agent and connect panel); viewer
// windows are owned by the application object and destroyed after the main window's teardown.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/ClientMain.h"
#include "app/ClipboardSync.h"
#include "app/Config.h"
#include "app/HostClipboard.h"
#include "app/QtDispatcher.h"
#include "app/QtTranslations.h"
#include "app/HostPlatform.h"
#include "app/SingleInstance.h"
#include "app/RunOptions.h"
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
  // Made before the application object: viewer windows, destroyed with it, still watch it.
  std::string clipboardProblem;
  const std::unique_ptr<tlm::ITextClipboard> desktopClipboard = tlm::CreateDesktopClipboard(clipboardProblem);
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
  tlm::TSingleInstance instance(QString::fromStdString(tlm::TAppConfig().Folder()));
  if (!instance.Acquire()) return 0;

  tlm::TQtDispatcher ui;
  tlm::TQtClipboardSetter clipboard;
  tlm::THostPlatform platform;  // the desktop's screen and input, for the host agent

  const tlm::TRunOptions options = tlm::TRunOptions::FromEnvironment();

  std::unique_ptr<tlm::TfrmClientMain> form;
  auto openViewer = [options, &form](const tlm::TViewerRequest& ARequest) {
    auto* viewer = tlm::TfrmRemote::CreateSession(qApp, ARequest.Server, ARequest.Port, ARequest.TargetID, ARequest.MyName,
                                       ARequest.Proof, ARequest.DefaultQuality);
    // A closed viewer has ended its session; the window goes with it.
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->SetResultFile(options.ResultFile);
    // The main window learns of a relay's refusal, so an unknown ID leaves the recent list.
    tlm::TViewerDialogs dialogs = tlm::TViewerDialogs::Standard();
    dialogs.Warning = [&form, target = ARequest.TargetID, warn = dialogs.Warning](QWidget* AParent, const QString& AText) {
      if (form) form->RelayRefused(target, AText);
      warn(AParent, AText);
    };
    viewer->SetDialogs(std::move(dialogs));
    if (form) viewer->SetKeepAspect(form->Config()->KeepAspect());
    viewer->OnKeepAspectChanged = [&form](bool AKeep) {
      if (form) form->SaveConfig([&] { form->Config()->SetKeepAspect(AKeep); });
    };
    viewer->show();
    viewer->StartConnect();
  };

  form = std::make_unique<tlm::TfrmClientMain>(ui, platform.Services(&clipboard), tlm::TMainDialogs::Standard(),
                                               openViewer, uint16_t(tlm::RelayPort), tlm::THostTimings{}, options);
  instance.OnActivate = [&form] {
    if (form) form->BringToFront();
  };
  // Which desktop backend serves the host, and what it cannot do (no XTEST, a compositor
  // without the protocols): said where the user looks.
  for (const std::string& line : platform.LogLines()) form->AddLog(QString::fromStdString(line));
  if (!clipboardProblem.empty()) form->AddLog(QString::fromStdString(clipboardProblem));
  // Connected before any viewer window exists, so it runs before their own clean-up at quit:
  // the main window (and with it the host agent) goes first.
  QObject::connect(&app, &QCoreApplication::aboutToQuit, [&form] { form.reset(); });
  form->show();
  const int rc = QApplication::exec();
  form.reset();
  return rc;
}
