// A scripted relay client for tests: connects to a relay, sends packets and expects
// answers with generous deadlines.
//
// Contract: one thread reads (Next, Expect, WaitClosed, QuietFor); any thread may send
// (sends are serialised by an internal lock). Keep-alives (MsgKeepAlive) are skipped by the
// readers unless asked for. Expect reports a mismatch as a GoogleTest failure and returns
// an empty packet, so a test goes on and shows every fault.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/Connection.h"
#include "protocol/Packet.h"

namespace tlm::test {

class TScriptedPeer {
public:
  // Connects at once; raises TConnectionError when it cannot.
  explicit TScriptedPeer(uint16_t APort, const std::string& AHost = "127.0.0.1");
  // The same over AConn (a TLS connection, say), not connected yet.
  TScriptedPeer(std::unique_ptr<IClientConnection> AConn, uint16_t APort, const std::string& AHost);

  void Send(uint32_t AType, std::span<const uint8_t> APayload = {});
  void SendText(uint32_t AType, std::string_view AText);
  // Bytes exactly as given (headers of any length, cut packets).
  void SendRaw(const void* AData, size_t ALen);

  // The next packet within ATimeoutMs (keep-alives skipped unless AKeepAlives); nullopt on
  // time-out. Raises TConnectionError when the connection closes.
  std::optional<TPacket> Next(int ATimeoutMs = 5000, bool AKeepAlives = false);
  // The next packet, which must be of type AType.
  TPacket Expect(uint32_t AType, int ATimeoutMs = 5000);
  std::string ExpectText(uint32_t AType, int ATimeoutMs = 5000);
  // True when the far side closes within ATimeoutMs; packets before the close are dropped.
  bool WaitClosed(int ATimeoutMs = 5000);
  // True when nothing but keep-alives arrives for AMs and the connection stays open.
  bool QuietFor(int AMs);

  // Host: MsgHostRegister with AKey, then the ID from MsgHostId ("" on failure).
  std::string Register(std::string_view AKey);
  // Viewer: MsgConnectRequest "id\tname\tproof\tcontrol".
  void RequestConnect(std::string_view AId, std::string_view AName = "viewer", std::string_view AProof = "");

  // Wakes a blocked read or write in another thread; later calls fail.
  void Abort() { FConn->Abort(); }
  IClientConnection& Connection() { return *FConn; }

private:
  std::unique_ptr<IClientConnection> FConn;
  std::mutex FWriteLock;
};

}  // namespace tlm::test
