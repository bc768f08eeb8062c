#include "tests/support/transfer/TransferRig.h"

#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/FileTransfer.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "tests/support/PacketWrites.h"

namespace tlm::test {

namespace {

constexpr const char* RigPassword = "rig-password";
constexpr int StepTimeoutMs = 10 * 60 * 1000;  // a multi-gigabyte file on a slow disk

bool StartsWith(const std::string& AText, std::string_view APrefix) { return AText.rfind(APrefix, 0) == 0; }

// The next packet other than a keep-alive, frame or monitor list.
TPacket NextOfInterest(TTcpConnection& AConn) {
  for (;;) {
    TPacket packet = ReadPacket(AConn);
    if (packet.Type != MsgKeepAlive && packet.Type != MsgFrame && packet.Type != MsgMonitorList) return packet;
  }
}

}  // namespace

TTransferRig::TTransferRig(uint16_t ARelayPort, std::string AHostDownloads,
                           std::function<std::unique_ptr<IHostCapturer>()> AMakeCapturer) {
  THostServices services;
  services.MakeCapturer = AMakeCapturer ? std::move(AMakeCapturer) : [] { return std::unique_ptr<IHostCapturer>(); };
  services.DownloadDir = std::move(AHostDownloads);
  FAgent = std::make_unique<THostAgent>(FUi, "127.0.0.1", ARelayPort, "transfer-rig-host", HashPassword(RigPassword),
                                        std::move(services));
  FAgent->OnLog = [this](const std::string& ALine) { FLogs.push_back(ALine); };
  FAgent->Start();
  Pump([this] { return !FAgent->ID().empty(); }, 10000, "the host's ID");
  const std::string id = FAgent->ID();

  FViewer = std::make_unique<TTcpConnection>();
  FViewer->SetReadTimeout(StepTimeoutMs);
  FViewer->Connect("127.0.0.1", ARelayPort, 5000);
  WriteTextPacket(*FViewer, MsgConnectRequest,
                  BuildConnectRequest(id, "transfer rig", MakeSessionProof(id, HashPassword(RigPassword))), nullptr);
  const TPacket start = NextOfInterest(*FViewer);
  if (start.Type != MsgSessionStart) throw TError("no session: packet " + std::to_string(start.Type));
  Pump([this] { return FAgent->InSession(); }, 10000, "the host's session");
}

TTransferRig::~TTransferRig() {
  if (FViewer) FViewer->Abort();
  if (FAgent) FAgent->Stop();
}

void TTransferRig::Pump(const std::function<bool()>& ADone, int ATimeoutMs, const char* AWhat) {
  if (!FUi.RunUntil(ADone, ATimeoutMs)) throw TError(std::string("timed out waiting for ") + AWhat);
}

std::string TTransferRig::Upload(const std::string& APath) {
  TFileSender sender(APath);
  const auto send = [this](uint32_t AType, std::span<const uint8_t> AData) { WritePacket(*FViewer, AType, AData, nullptr); };
  const size_t seen = FLogs.size();
  sender.SendBegin(send);
  if (!sender.SendBody(send)) throw TError(APath + ": the file changed while it was sent");
  std::string outcome;
  Pump(
      [&] {
        for (size_t i = seen; i < FLogs.size(); ++i)
          if (StartsWith(FLogs[i], "파일 수신 완료: ") || StartsWith(FLogs[i], "파일 수신 실패: ")) outcome = FLogs[i];
        return !outcome.empty();
      },
      StepTimeoutMs, "the host to store the upload");
  if (!StartsWith(outcome, "파일 수신 완료: ")) throw TError("upload failed: " + outcome);
  return outcome.substr(std::string_view("파일 수신 완료: ").size());
}

std::string TTransferRig::Download(const std::string& AHostPath, const std::string& AFolder) {
  WriteTextPacket(*FViewer, MsgFileGet, AHostPath, nullptr);
  TFileReceiver receiver(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
  for (;;) {
    const TPacket packet = NextOfInterest(*FViewer);
    switch (packet.Type) {
      case MsgFileBegin:
        if (receiver.Begin(AFolder, TextOf(packet.Payload))) WriteEmptyPacket(*FViewer, MsgFileReady, nullptr);
        break;
      case MsgFileChunk: receiver.Append(packet.Payload); break;
      case MsgFileEnd: {
        const auto result = receiver.Finish();
        if (!result || !result->Complete)
          throw TError("download incomplete: " + std::to_string(result ? result->Received : 0) + " bytes");
        return result->Path;
      }
      case MsgFileError: throw TError("download refused: " + TextOf(packet.Payload));
      default: break;
    }
  }
}

}  // namespace tlm::test
