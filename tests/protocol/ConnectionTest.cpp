#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "tests/support/Loopback.h"
#include "tests/support/PacketWrites.h"

namespace tlm {
namespace {

using test::MakeLoopbackPair;

TEST(TcpConnection, TwoWritersUnderTheLockProduceTwoWholePackets) {
  auto pair = MakeLoopbackPair();
  std::mutex writeLock;
  const size_t size = 8 * 1024 * 1024;  // far beyond the socket buffers, so writes block midway
  auto writer = [&](uint32_t AType, uint8_t AFill) {
    TBytes payload(size, AFill);
    WritePacket(*pair.Client, AType, payload, &writeLock);
  };
  std::thread a(writer, MsgFrame, 0xAA);
  std::thread b(writer, MsgFileChunk, 0xBB);
  for (int i = 0; i < 2; ++i) {
    TPacket p = ReadPacket(*pair.Server);
    ASSERT_EQ(p.Payload.size(), size);
    const uint8_t fill = p.Type == MsgFrame ? 0xAA : 0xBB;
    ASSERT_TRUE(p.Type == MsgFrame || p.Type == MsgFileChunk);
    EXPECT_EQ(std::count(p.Payload.begin(), p.Payload.end(), fill), std::ptrdiff_t(size)) << "interleaved bytes";
  }
  a.join();
  b.join();
}

TEST(TcpConnection, PeerCloseAndWriteToClosedPeerAreErrorsNotSignals) {
  auto pair = MakeLoopbackPair();
  pair.Server->Close();
  uint8_t byte;
  EXPECT_THROW(pair.Client->ReadExact(&byte, 1), TConnectionError);
  // Without MSG_NOSIGNAL the second write would kill the process with SIGPIPE.
  TBytes big(1 << 20);
  EXPECT_THROW(
      {
        for (int i = 0; i < 16; ++i) pair.Client->WriteAll(big.data(), big.size());
      },
      TConnectionError);
}

TEST(TcpConnection, ReadTimeOutRaises) {
  auto pair = MakeLoopbackPair();
  pair.Client->SetReadTimeout(50);
  uint8_t byte;
  try {
    pair.Client->ReadExact(&byte, 1);
    FAIL() << "read without data returned";
  } catch (const TConnectionError& e) {
    EXPECT_STREQ(e.what(), "Read timed out");
  }
}

// A peer that stops reading fails the write after the stall limit; one that keeps reading,
// however slowly, never does: the limit restarts with every piece that goes out.
TEST(TcpConnection, WriteStallLimit) {
  auto stalled = MakeLoopbackPair();
  stalled.Client->SetWriteStallTimeout(200);
  TBytes big(8 << 20);
  try {
    stalled.Client->WriteAll(big.data(), big.size());
    FAIL() << "write to a peer that reads nothing returned";
  } catch (const TConnectionError& e) {
    EXPECT_STREQ(e.what(), "Write stalled");
  }

  // The slow reader takes a piece every 50 ms, far inside the 1 s limit, but the whole write
  // lasts well beyond it (16 MiB is more than the loopback buffers hold).
  auto slow = MakeLoopbackPair();
  slow.Client->SetWriteStallTimeout(1000);
  slow.Server->SetReadTimeout(5000);  // a failed write must not leave the reader waiting for ever
  TBytes large(16 << 20);
  std::atomic<size_t> got{0};
  std::thread reader([&] {
    TBytes piece(256 * 1024);
    try {
      while (got < large.size()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const size_t n = std::min(piece.size(), large.size() - got);
        slow.Server->ReadExact(piece.data(), n);
        got += n;
      }
    } catch (const TConnectionError&) {
    }
  });
  const auto start = std::chrono::steady_clock::now();
  try {
    slow.Client->WriteAll(large.data(), large.size());
  } catch (const TConnectionError& e) {
    ADD_FAILURE() << "a peer that keeps reading failed the write: " << e.what();
    slow.Client->Abort();
    slow.Client->Close();
  }
  const auto took = std::chrono::steady_clock::now() - start;
  reader.join();
  EXPECT_EQ(got.load(), large.size());
  EXPECT_GT(took, std::chrono::milliseconds(1000)) << "the write must outlast the limit to show anything";
}

TEST(TcpConnection, WaitReadableSeesDataAndAbortWakesABlockedRead) {
  auto pair = MakeLoopbackPair();
  EXPECT_FALSE(pair.Client->WaitReadable(0));
  WriteTextPacket(*pair.Server, MsgChat, "hi", nullptr);
  EXPECT_TRUE(pair.Client->WaitReadable(5000));
  EXPECT_EQ(TextOf(ReadPacket(*pair.Client).Payload), "hi");

  std::atomic<bool> failed{false};
  std::thread reader([&] {
    try {
      ReadPacket(*pair.Client);  // no read time-out: only Abort can end this
    } catch (const TConnectionError&) {
      failed = true;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  pair.Client->Abort();
  reader.join();
  EXPECT_TRUE(failed);
  EXPECT_THROW(pair.Client->WaitReadable(0), TConnectionError) << "abort is sticky";
}

TEST(TcpConnection, ConnectFailures) {
  TTcpConnection conn;
  uint16_t port;
  {
    test::TLoopbackListener closed;  // bound and then closed: nobody listens there any more
    port = closed.Port();
  }
  EXPECT_THROW(conn.Connect("127.0.0.1", port, 2000), TConnectionError);
  EXPECT_THROW(conn.Connect("no-such-host.invalid", 59000, 2000), TConnectionError);
  TTcpConnection aborted;
  aborted.Abort();
  test::TLoopbackListener open;
  EXPECT_THROW(aborted.Connect("127.0.0.1", open.Port(), 2000), TConnectionError);
}

}  // namespace
}  // namespace tlm
