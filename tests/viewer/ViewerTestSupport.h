// Helpers of the viewer tests: a scripted relay-and-host peer on a loopback listener, a
// Qt-pumping wait, and JPEG tiles made with libjpeg.
#pragma once

#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "protocol/Bytes.h"
#include "protocol/Error.h"
#include "protocol/Packet.h"
#include "tests/support/Loopback.h"
#include "tests/support/PacketWrites.h"

namespace tlm::test {

// Runs the Qt event loop until APred() holds or ATimeoutMs passed; answers APred().
inline bool WaitUntil(const std::function<bool()>& APred, int ATimeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  while (!APred()) {
    if (std::chrono::steady_clock::now() > deadline) return APred();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The far end of a viewer's relay connection: plays relay and host at once.
class TViewerPeer {
public:
  uint16_t Port() const { return FListener.Port(); }
  void Accept() {
    FConn = FListener.Accept();
    FConn->SetReadTimeout(10000);
  }
  TTcpConnection& Conn() { return *FConn; }
  void Send(uint32_t AType, const TBytes& APayload = {}) { WritePacket(*FConn, AType, APayload, nullptr); }
  void SendText(uint32_t AType, const std::string& AText) { WriteTextPacket(*FConn, AType, AText, nullptr); }
  // The next packet from the viewer; keeps the Qt event loop running while waiting.
  std::optional<TPacket> Read(int ATimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (FConn->WaitReadable(10)) return ReadPacket(*FConn);
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return std::nullopt;
  }
  // True when the viewer has sent nothing that is still unread.
  bool Quiet(int AMs = 150) { return !FConn->WaitReadable(AMs); }
  // True when the viewer closes the connection within ATimeoutMs; what it sent before is dropped.
  bool Closed(int ATimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      if (!FConn->WaitReadable(10)) continue;
      try {
        ReadPacket(*FConn);
      } catch (const TConnectionError&) {
        return true;
      }
    }
    return false;
  }

private:
  TLoopbackListener FListener;
  std::unique_ptr<TTcpConnection> FConn;
};

// A baseline JPEG of the picture AImage (any format), as the host's encoder makes them.
TBytes EncodeJpeg(const QImage& AImage, int AQuality = 95, bool AProgressive = false);
// A W x H JPEG of one colour.
TBytes SolidJpeg(int AW, int AH, QColor AColour);

// Colour distance that tolerates JPEG rounding.
inline bool Near(QColor A, QColor B, int ATolerance = 12) {
  return std::abs(A.red() - B.red()) <= ATolerance && std::abs(A.green() - B.green()) <= ATolerance &&
         std::abs(A.blue() - B.blue()) <= ATolerance;
}

}  // namespace tlm::test
