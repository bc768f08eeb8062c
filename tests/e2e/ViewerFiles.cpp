// tlm_e2e_files: the Linux viewer session, without its window, moving one file each way through
// a host that the end-to-end cases started (the Windows program under Wine, say). It offers the
// end-to-end handshake with the host's password, as the program's viewer does, sends UPLOAD
// into the host's download folder, asks for the host's file REMOTE and stores it in FOLDER.
//
//   tlm_e2e_files RELAY_PORT HOST_ID PASSWORD UPLOAD REMOTE FOLDER PINS
//
// Prints "encrypted <session code> <security code>" once the handshake holds, then
// "uploaded <name>" and "downloaded <path>"; exit 0 when both files went through whole, 1 with
// the reason on stderr otherwise (a session in clear counts as a failure).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "protocol/Credentials.h"
#include "protocol/Marshal.h"
#include "protocol/SecureStore.h"
#include "viewer/ViewerSession.h"

namespace {

constexpr int StepTimeoutMs = 60000;

int Fail(const std::string& AWhy) {
  std::fprintf(stderr, "tlm_e2e_files: %s\n", AWhy.c_str());
  return 1;
}

int Run(int argc, char** argv) {
  using namespace tlm;
  if (argc != 8) return Fail("usage: tlm_e2e_files RELAY_PORT HOST_ID PASSWORD UPLOAD REMOTE FOLDER PINS");
  TQueueDispatcher ui;
  TViewerParams params;
  params.Server = "127.0.0.1";
  params.Port = uint16_t(std::atoi(argv[1]));
  params.TargetID = argv[2];
  params.MyName = "FileViewer";
  params.DownloadDir = argv[6];
  params.Security.Offer = true;
  params.Security.PasswordHash = HashPassword(argv[3]);
  params.Security.Pins = std::make_shared<TPinFile>(argv[7]);
  params.Security.RequireEncryption = true;

  auto session = std::make_unique<TViewerSession>(ui, params);
  std::string status, ended, uploaded, downloaded;
  bool secured = false, uploadCut = false;
  session->OnStatus = [&](const std::string& AText) { status = AText; };
  session->OnSecured = [&](const TViewerSecureInfo& AInfo) {
    secured = true;
    std::printf("encrypted %s %s\n", AInfo.SessionCode.c_str(), AInfo.SecurityCode.c_str());
    std::fflush(stdout);
  };
  session->OnUploadDone = [&](const std::string& AName, bool AComplete) {
    uploaded = AName;
    uploadCut = !AComplete;
  };
  session->OnDownloaded = [&](const std::string& APath) { downloaded = APath; };
  session->OnConnectFailed = [&](const std::string& AText) { ended = AText; };
  session->OnRelayError = [&](const std::string& AText) { ended = AText; };
  session->OnEnded = [&](const std::string& AText) { ended = AText.empty() ? "the session ended" : AText; };
  session->Start();

  if (!ui.RunUntil([&] { return session->InSession() || !ended.empty(); }, StepTimeoutMs) || !session->InSession())
    return Fail("not admitted: " + (ended.empty() ? status : ended));
  if (!secured || !session->Encrypted()) return Fail("the session runs in clear");

  session->SendFile(argv[4]);
  if (!session->RequestFile(argv[5])) return Fail("the download request could not be sent");
  const bool done = ui.RunUntil([&] { return (!uploaded.empty() && !downloaded.empty()) || !ended.empty(); },
                                StepTimeoutMs);
  if (!ended.empty()) return Fail("the session ended during the transfers: " + ended);
  if (!done) return Fail("the transfers did not finish in time (uploaded '" + uploaded + "', downloaded '" +
                         downloaded + "')");
  if (uploadCut) return Fail("the upload of " + uploaded + " was cut short");
  std::printf("uploaded %s\ndownloaded %s\n", uploaded.c_str(), downloaded.c_str());
  std::fflush(stdout);
  session->Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
