#include <gtest/gtest.h>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "tests/protocol/MemoryConnection.h"
#include "tests/support/PacketWrites.h"

namespace tlm {
namespace {

using test::TMemoryConnection;

TBytes Hex(std::initializer_list<int> AValues) {
  TBytes out;
  for (int v : AValues) out.push_back(uint8_t(v));
  return out;
}

TEST(PacketWrite, LayoutsAreByteExact) {
  struct TCase {
    const char* Name;
    std::function<void(IConnection&)> Write;
    TBytes Expected;
  };
  const std::vector<TCase> cases = {
      {"empty payload is the 8 header bytes", [](IConnection& c) { WriteEmptyPacket(c, MsgSessionStart, nullptr); },
       Hex({4, 0, 0, 0, 0, 0, 0, 0})},
      {"empty text sends length 0", [](IConnection& c) { WriteTextPacket(c, MsgChat, "", nullptr); },
       Hex({41, 0, 0, 0, 0, 0, 0, 0})},
      {"type and length are little-endian",
       [](IConnection& c) {
         TBytes p(0x0102, 0xAB);
         WritePacket(c, 0x11223344, p, nullptr);
       },
       [] {
         TBytes e = Hex({0x44, 0x33, 0x22, 0x11, 0x02, 0x01, 0, 0});
         e.insert(e.end(), 0x0102, 0xAB);
         return e;
       }()},
      {"text length counts UTF-8 bytes", [](IConnection& c) { WriteTextPacket(c, MsgChat, "안녕a", nullptr); },
       Hex({41, 0, 0, 0, 7, 0, 0, 0, 0xEC, 0x95, 0x88, 0xEB, 0x85, 0x95, 'a'})},
  };
  for (const auto& tc : cases) {
    TMemoryConnection conn;
    tc.Write(conn);
    EXPECT_EQ(conn.Written, tc.Expected) << tc.Name;
  }
}

TEST(PacketWrite, LockIsReleasedWhenTheWriteFails) {
  struct TFailing : IConnection {
    void WriteAll(const void*, size_t) override { throw TConnectionError("reset"); }
    void ReadExact(void*, size_t) override {}
    bool WaitReadable(int) override { return false; }
  } conn;
  std::mutex lock;
  EXPECT_THROW(WriteEmptyPacket(conn, MsgFrameAck, &lock), TConnectionError);
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(PacketRead, ReturnsTypeAndPayload) {
  TMemoryConnection conn;
  conn.Input = EncodePacket(0xFFFFFFF0u, BytesOf("xyz"));
  const TBytes empty = EncodePacket(MsgSessionEnd, {});
  conn.Input.insert(conn.Input.end(), empty.begin(), empty.end());

  TPacket first = ReadPacket(conn);
  EXPECT_EQ(first.Type, 0xFFFFFFF0u);  // unknown types pass through unchanged
  EXPECT_EQ(TextOf(first.Payload), "xyz");
  const int callsBefore = conn.ReadCalls;
  TPacket second = ReadPacket(conn);
  EXPECT_EQ(second.Type, MsgSessionEnd);
  EXPECT_TRUE(second.Payload.empty());
  EXPECT_EQ(conn.ReadCalls - callsBefore, 1) << "an empty payload needs no read after the header";
}

TEST(PacketRead, LengthLimit) {
  {
    TMemoryConnection conn;
    conn.Input = Hex({17, 0, 0, 0, 0, 0, 0, 4});  // exactly 67,108,864
    conn.Input.resize(8 + MaxPacketPayload, 0x5A);
    TPacket p = ReadPacket(conn);
    EXPECT_EQ(p.Payload.size(), MaxPacketPayload);
    EXPECT_EQ(p.Payload.back(), 0x5A);
  }
  {
    TMemoryConnection conn;
    conn.Input = Hex({17, 0, 0, 0, 1, 0, 0, 4, 1, 2, 3});  // 67,108,865
    try {
      ReadPacket(conn);
      FAIL() << "oversized packet accepted";
    } catch (const TConnectionError&) {
      FAIL() << "oversized packet must not look like a transport failure";
    } catch (const TError& e) {
      EXPECT_STREQ(e.what(), "Packet too large (67108865 bytes)");
    }
    EXPECT_EQ(conn.ReadPos, 8u) << "the payload is left unread";
  }
  {
    TMemoryConnection conn;
    conn.Input = Hex({17, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_THROW(ReadPacket(conn), TError);
  }
}

TEST(PacketRead, TruncatedStreamIsATransportError) {
  TMemoryConnection conn;
  conn.Input = EncodePacket(MsgChat, BytesOf("hello"));
  conn.Input.pop_back();
  EXPECT_THROW(ReadPacket(conn), TConnectionError);
}

TEST(InputRecords, MouseRecordWireLayout) {
  TMouseEventRec rec{-2, 0x01020304, 3, 4, -120};
  const TBytes wire = PackMouseEvent(rec);
  EXPECT_EQ(wire, Hex({0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01, 3, 4, 0x88, 0xFF}));
  TMouseEventRec back = UnpackMouseEvent(wire);
  EXPECT_EQ(back.X, -2);
  EXPECT_EQ(back.Y, 0x01020304);
  EXPECT_EQ(back.Button, 3);
  EXPECT_EQ(back.Action, 4);
  EXPECT_EQ(back.WheelDelta, -120);
}

TEST(InputRecords, KeyRecordWireLayout) {
  TKeyEventRec rec{0x2E, 0x53, 1, 1};
  const TBytes wire = PackKeyEvent(rec);
  EXPECT_EQ(wire, Hex({0x2E, 0, 0x53, 0, 1, 1}));
}

TEST(InputRecords, ShortPayloadsDecodeAsZerosLongOnesAreCut) {
  struct TCase {
    TBytes Payload;
    uint16_t Vk;
    uint8_t Extended;
  };
  const std::vector<TCase> cases = {
      {{}, 0, 0},
      {Hex({0x41, 0, 0x1E, 0, 0}), 0, 0},                // 5 bytes: all zero
      {Hex({0x41, 0, 0x1E, 0, 0, 1, 0xEE}), 0x41, 1},    // 7 bytes: first 6
  };
  for (const auto& tc : cases) {
    TKeyEventRec rec = UnpackKeyEvent(tc.Payload);
    EXPECT_EQ(rec.VirtualKey, tc.Vk) << tc.Payload.size();
    EXPECT_EQ(rec.Extended, tc.Extended) << tc.Payload.size();
  }
  TMouseEventRec m = UnpackMouseEvent(TBytes(11, 0x7F));
  EXPECT_EQ(m.X, 0);
  EXPECT_EQ(m.Y, 0);
  EXPECT_EQ(m.Button, 0);
  EXPECT_EQ(m.Action, 0);
}

}  // namespace
}  // namespace tlm
