// TLMRemoteClient.exe: the program entry on Windows. The client core (TClientApp) holds the
// program's rules; the native windows are its views. One copy per configuration folder.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/ClientApp.h"
#include "app/Environment.h"
#include "platform/Folders.h"
#include "platform/Input.h"
#include "protocol/Credentials.h"
#include "protocol/RelayRefusals.h"
#include "tlm/Version.h"
// After the engines' headers: <windows.h> defines the MOUSEEVENTF_*, KEYEVENTF_* and VK_* names
// as macros.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "winui/ClipboardSync.h"
#include "winui/MainView.h"
#include "winui/RemoteWindow.h"
#include "winui/SingleInstance.h"
#include "winui/WinControls.h"
#include "winui/WinDispatcher.h"

namespace {

const char* const HelpText =
    "Usage: TLMRemoteClient [--help | --version]\r\n"
    "\r\n"
    "TALMIR Remote: one window that makes this computer reachable under its connection ID\r\n"
    "(the host) and connects to a partner's ID (a viewer window per connection).\r\n"
    "\r\n"
    "Environment: TLMREMOTE_HOST, TLMREMOTE_CONFIGDIR, TLMREMOTE_DEVICEKEY, COMPUTERNAME,\r\n"
    "TLMREMOTE_AUTOCONNECT, TLMREMOTE_AUTOPW, TLMREMOTE_IDFILE, TLMREMOTE_RESULTFILE,\r\n"
    "TLMREMOTE_LOGFILE (see the README).\r\n";

// The host agent's clipboard outside a session: the text goes on the clipboard as it is.
class TWinClipboardSetter final : public tlm::IClipboardSetter {
public:
  void SetClipboardText(const std::string& AText) override { tlm::WriteClipboardText(nullptr, tlm::W(AText)); }
};

// The local clipboard during a host session: the viewer's text is applied without echo, the
// local user's copies go to the viewer.
class TWinSessionClipboard final : public tlm::ISessionClipboard {
public:
  explicit TWinSessionClipboard(std::function<void(const std::string&)> AOnLocalCopy) {
    FSync.OnLocalCopy = std::move(AOnLocalCopy);
  }
  void ApplyRemote(const std::string& AText) override { FSync.ApplyRemote(AText); }

private:
  tlm::TWinClipboardSync FSync;
};

// The viewer windows: owned here, destroyed after the core; closed ones go when the next opens.
class TViewerWindows {
public:
  explicit TViewerWindows(tlm::IUiDispatcher& AUi) : FUi(AUi) {}
  // Where a window that waits for its partner tells how it goes (null: nowhere).
  void SetMainWindow(tlm::TWinClientMain* AMain) { FMain = AMain; }

  void Open(tlm::TClientApp& AApp, const tlm::TViewerRequest& ARequest) {
    std::erase_if(FWindows, [](const std::unique_ptr<tlm::TWinRemote>& AWindow) { return AWindow->Closed(); });
    tlm::TViewerParams params;
    params.Server = ARequest.Server;
    params.Port = ARequest.Port;
    params.Tls = ARequest.Tls;
    params.TargetID = ARequest.TargetID;
    params.MyName = ARequest.MyName;
    params.Proof = ARequest.Proof;
    params.Quality = ARequest.DefaultQuality;
    params.ResultFile = ARequest.ResultFile;
    params.DownloadDir = ARequest.DownloadDir;
    // End-to-end encryption as the core asks (it hands over the partners' keys).
    if (ARequest.Pins) {
      params.Security.Offer = true;
      params.Security.PasswordHash = ARequest.PasswordHash;
      params.Security.OwnId = ARequest.OwnID;
      params.Security.Pins = ARequest.Pins;
      params.Security.RequireEncryption = ARequest.RequireEncryption;
    }
    auto window = std::make_unique<tlm::TWinRemote>(FUi, params);
    window->SetKeepAspect(AApp.KeepAspect());
    window->OnKeepAspectChanged = [&AApp](bool AKeep) { AApp.SetKeepAspect(AKeep); };
    window->OnRelayRefusal = [&AApp, target = ARequest.TargetID](const std::string& AText) {
      AApp.ViewerRefused(target, tlm::ClassifyRelayRefusal(AText));
    };
    window->OnPasswordRefused = [&AApp, target = ARequest.TargetID, hash = ARequest.PasswordHash] {
      AApp.ViewerPasswordRefused(target, hash);
    };
    // The window shows itself once the partner admits us; until then the main window tells how
    // the attempt goes and why it ended, and can withdraw it.
    window->SetShowOnAdmission(true);
    const std::string shownID = tlm::FormatID(ARequest.TargetID) + ": ";
    tlm::TWinRemote* raw = window.get();
    window->OnPendingStatus = [this, shownID, raw](const std::string& AText) {
      if (FMain) FMain->ShowPending(shownID + AText, [this, raw] { CloseIfOpen(raw); });
    };
    window->OnEndedUnseen = [this, shownID](const std::string& AText) {
      if (FMain) FMain->EndPending(shownID + AText);
    };
    window->OnAdmitted = [this] {
      if (FMain) FMain->EndPending("");
    };
    window->StartConnect();
    FWindows.push_back(std::move(window));
  }

private:
  // A window of ours still open: the main window's "취소" may come after it ended.
  void CloseIfOpen(tlm::TWinRemote* AWindow) {
    for (const auto& window : FWindows)
      if (window.get() == AWindow && !window->Closed()) window->Close();
  }

  tlm::TWinClientMain* FMain = nullptr;
  tlm::IUiDispatcher& FUi;
  std::vector<std::unique_ptr<tlm::TWinRemote>> FWindows;
};

bool HasArgument(const wchar_t* AName) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  bool found = false;
  for (int i = 1; i < argc && !found; ++i) found = wcscmp(argv[i], AName) == 0;
  ::LocalFree(argv);
  return found;
}

// A program of the window subsystem has no console of its own: answers go to the one it was
// started from, if any.
void Say(const std::string& AText) {
  if (::AttachConsole(ATTACH_PARENT_PROCESS) || ::GetStdHandle(STD_OUTPUT_HANDLE)) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), AText.data(), DWORD(AText.size()), &written, nullptr);
  }
}

}  // namespace

int main() {
  if (HasArgument(L"--version")) {
    Say(std::string("TLMRemoteClient ") + tlm::ProgramVersion + "\r\n");
    return 0;
  }
  if (HasArgument(L"--help") || HasArgument(L"-h")) {
    Say(HelpText);
    return 0;
  }
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);

  const tlm::TEnvironment env = tlm::TEnvironment::FromProcess();
  tlm::SetUserFolders(env.Folders);
  tlm::TSingleInstance instance(env.ConfigFolder());
  if (!instance.Acquire()) return 0;

  tlm::TWinDispatcher ui;
  TWinClipboardSetter clipboard;
  std::unique_ptr<tlm::IInputInjector> input = tlm::CreateSystemInjector();
  TViewerWindows viewers(ui);  // destroyed after the core, as the design has it

  tlm::TClientApp* core = nullptr;
  tlm::TClientParts parts;
  parts.Services.Input = input.get();
  parts.Services.Clipboard = &clipboard;
  parts.Services.DownloadDir = env.DownloadFolder();
  parts.SessionClipboard = [](std::function<void(const std::string&)> AOnLocalCopy) {
    return std::make_unique<TWinSessionClipboard>(std::move(AOnLocalCopy));
  };
  parts.OpenViewer = [&core, &viewers](const tlm::TViewerRequest& ARequest) {
    if (core) viewers.Open(*core, ARequest);
  };

  int rc = 0;
  {
    tlm::TClientApp app(ui, env, std::move(parts));
    core = &app;
    tlm::TWinMainView view(app);
    app.AddView(&view);
    instance.OnActivate = [&view] { view.Window().BringToFront(); };
    viewers.SetMainWindow(&view.Window());
    view.OnQuit = [] { ::PostQuitMessage(0); };
    view.Window().Show();
    app.AddLog(std::string("글꼴: ") + tlm::U(tlm::UiFontFamily()));
    app.Start();

    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (view.PreTranslate(msg)) continue;
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    rc = int(msg.wParam);
    instance.OnActivate = nullptr;
    viewers.SetMainWindow(nullptr);
    app.RemoveView(&view);
    core = nullptr;
  }
  return rc;
}
