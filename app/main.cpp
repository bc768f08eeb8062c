// TLMRemoteClient: the program entry. One main window (host agent and connect panel); viewer
// windows are owned by the application object and destroyed after the main window's teardown.
#include <QApplication>
#include <QIcon>
#include <memory>

#include "app/ClientMain.h"
#include "app/Config.h"
#include "app/HostClipboard.h"
#include "app/QtDispatcher.h"
#include "app/HostPlatform.h"
#include "app/SingleInstance.h"
#include "viewer/RemoteForm.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("TALMIR Remote"));
  QApplication::setFont(tlm::UiFont(13));
  // Qt would otherwise keep running while any viewer window is visible; the main window's
  // close ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // One copy per configuration folder: a second start brings the first one forward and ends.
  tlm::TSingleInstance instance(QString::fromStdString(tlm::TAppConfig().Folder()));
  if (!instance.Acquire()) return 0;

  tlm::TQtDispatcher ui;
  tlm::TQtClipboardSetter clipboard;
  tlm::THostPlatform platform;  // the desktop's screen and input, for the host agent

  std::unique_ptr<tlm::TfrmClientMain> form;
  auto openViewer = [&form](const tlm::TViewerRequest& ARequest) {
    auto* viewer = tlm::TfrmRemote::CreateSession(qApp, ARequest.Server, ARequest.Port, ARequest.TargetID, ARequest.MyName,
                                       ARequest.Proof, ARequest.DefaultQuality);
    // The main window learns of a relay's refusal, so an unknown ID leaves the recent list.
    tlm::TViewerDialogs dialogs = tlm::TViewerDialogs::Standard();
    dialogs.Warning = [&form, target = ARequest.TargetID, warn = dialogs.Warning](QWidget* AParent, const QString& AText) {
      if (form) form->RelayRefused(target, AText);
      warn(AParent, AText);
    };
    viewer->SetDialogs(std::move(dialogs));
    viewer->show();
    viewer->StartConnect();
  };

  form = std::make_unique<tlm::TfrmClientMain>(ui, platform.Services(&clipboard), tlm::TMainDialogs::Standard(),
                                               openViewer);
  instance.OnActivate = [&form] {
    if (form) form->BringToFront();
  };
  // Without XTEST (or a display) the viewer's input cannot be obeyed: say so where the user looks.
  if (!platform.Problems().empty()) form->AddLog(QString::fromStdString(platform.Problems()));
  // Connected before any viewer window exists, so it runs before their own clean-up at quit:
  // the main window (and with it the host agent) goes first.
  QObject::connect(&app, &QCoreApplication::aboutToQuit, [&form] { form.reset(); });
  form->show();
  const int rc = QApplication::exec();
  form.reset();
  return rc;
}
