// A real host agent and a scripted viewer in one session through a relay on loopback, moving
// files both ways with the shared transfer layer: what the big-file test and the transfer
// benchmark drive. The relay (in-process or the real executable) is started by the caller.
//
// Contract: create, use and destroy the rig on one thread; that thread plays the agent's
// user-interface thread (its waits run the agent's queued calls). Failures raise TError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/HostAgent.h"
#include "protocol/Connection.h"
#include "protocol/Marshal.h"
#include "relay/RelayServer.h"
#include "tests/support/QuietRelay.h"

namespace tlm::test {

class TTransferRig {
public:
  // Starts a host agent at 127.0.0.1:ARelayPort that stores received files in AHostDownloads,
  // and a viewer admitted to it by password. AMakeCapturer gives the agent a picture to stream;
  // without it the session carries files only.
  TTransferRig(uint16_t ARelayPort, std::string AHostDownloads,
               std::function<std::unique_ptr<IHostCapturer>()> AMakeCapturer = {});
  ~TTransferRig();
  TTransferRig(const TTransferRig&) = delete;
  TTransferRig& operator=(const TTransferRig&) = delete;

  // Viewer to host: sends the local file APath and waits until the host has stored it whole;
  // answers the host's path of it. TError when the host reports anything else.
  std::string Upload(const std::string& APath);
  // Host to viewer: asks the host for AHostPath and stores it in AFolder as the viewer does
  // (an incomplete file is removed); answers the stored path.
  std::string Download(const std::string& AHostPath, const std::string& AFolder);

  // The viewer's connection, for callers that read and answer it themselves.
  TTcpConnection& Viewer() { return *FViewer; }
  // Runs the agent's queued user-interface calls.
  void RunUiCalls() { FUi.RunPending(); }

private:
  void Pump(const std::function<bool()>& ADone, int ATimeoutMs, const char* AWhat);

  TQueueDispatcher FUi;
  std::unique_ptr<THostAgent> FAgent;
  std::unique_ptr<TTcpConnection> FViewer;
  std::vector<std::string> FLogs;  // the agent's log lines, in order
};

}  // namespace tlm::test
