// Reads packets from an arbitrary byte stream until it ends or a reader error: no crash, no
// allocation beyond the payload limit, every accepted payload exactly as announced.
#include <cstdlib>
#include <cstring>

#include "protocol/Error.h"
#include "protocol/Packet.h"

namespace {

class TByteStream final : public tlm::IConnection {
public:
  TByteStream(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize) {}
  void WriteAll(const void*, size_t) override {}
  void ReadExact(void* AOut, size_t ALen) override {
    if (FSize - FPos < ALen) throw tlm::TConnectionError("end of stream");
    std::memcpy(AOut, FData + FPos, ALen);
    FPos += ALen;
  }
  bool WaitReadable(int) override { return FPos < FSize; }
  size_t Pos() const { return FPos; }

private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  TByteStream stream(AData, ASize);
  for (;;) {
    const size_t start = stream.Pos();
    try {
      tlm::TPacket p = tlm::ReadPacket(stream);
      if (p.Payload.size() > tlm::MaxPacketPayload) std::abort();
      if (stream.Pos() - start != 8 + p.Payload.size()) std::abort();
    } catch (const tlm::TError&) {
      return 0;
    }
  }
}
