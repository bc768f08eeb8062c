// A scripted relay for the client's tests: it takes host registrations (one connection at a
// time, a new one replacing the last), answers each with the same ID and records what the host
// sends. No Qt.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/Connection.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "tests/support/Loopback.h"

namespace tlm::test {

class TScriptedRelay {
public:
  explicit TScriptedRelay(std::string AId) : FId(std::move(AId)) {
    FThread = std::thread([this] { Run(); });
  }
  ~TScriptedRelay() {
    {
      std::lock_guard<std::mutex> hold(FLock);
      FStop = true;
      if (FConn) FConn->Abort();
    }
    // A connection of our own ends a wait in Accept.
    try {
      TTcpConnection poke;
      poke.Connect("127.0.0.1", FListener.Port(), 2000);
    } catch (const std::exception&) {
    }
    FThread.join();
  }
  uint16_t Port() const { return FListener.Port(); }
  void Send(uint32_t AType, const std::string& AText) {
    std::lock_guard<std::mutex> hold(FLock);
    if (FConn) WriteTextPacket(*FConn, AType, AText, nullptr);
  }
  bool Saw(uint32_t AType) { return !Texts(AType).empty(); }
  std::vector<std::string> Texts(uint32_t AType) {
    std::lock_guard<std::mutex> hold(FLock);
    std::vector<std::string> out;
    for (const auto& [type, text] : FSeen)
      if (type == AType) out.push_back(text);
    return out;
  }
  // The device keys of every registration so far.
  std::vector<std::string> Registrations() {
    std::lock_guard<std::mutex> hold(FLock);
    return FKeys;
  }

private:
  void Run() {
    for (;;) {
      std::unique_ptr<TTcpConnection> conn;
      try {
        conn = FListener.Accept();
      } catch (const std::exception&) {
        return;
      }
      TTcpConnection* reading = nullptr;
      {
        std::lock_guard<std::mutex> hold(FLock);
        if (FStop) return;
        FConn = std::move(conn);
        reading = FConn.get();
      }
      try {
        TPacket reg = ReadPacket(*reading);
        {
          std::lock_guard<std::mutex> hold(FLock);
          FKeys.push_back(TextOf(reg.Payload));
        }
        Send(MsgHostId, FId);
        for (;;) {
          TPacket p = ReadPacket(*reading);
          if (p.Type == MsgKeepAlive) continue;
          std::lock_guard<std::mutex> hold(FLock);
          FSeen.push_back({p.Type, TextOf(p.Payload)});
        }
      } catch (const std::exception&) {
      }
      std::lock_guard<std::mutex> hold(FLock);
      if (FStop) return;
    }
  }

  std::string FId;
  TLoopbackListener FListener;
  std::mutex FLock;
  bool FStop = false;
  std::unique_ptr<TTcpConnection> FConn;
  std::vector<std::pair<uint32_t, std::string>> FSeen;
  std::vector<std::string> FKeys;
  std::thread FThread;
};

// A port nothing listens on.
inline uint16_t ClosedPort() {
  TLoopbackListener gone;
  return gone.Port();
}

}  // namespace tlm::test
