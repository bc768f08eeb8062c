// The file service alone, answering on a writer over a memory connection: requests outside a
// session or of an ended one, and file chunks held back while the frame flow says the line is full.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/HostFileService.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "protocol/PacketWriter.h"
#include "tests/protocol/MemoryConnection.h"
#include "tests/support/TempFiles.h"

namespace tlm::test {
namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class HostFileServicePart : public ::testing::Test {
protected:
  TTempHome Home;
  TMemoryConnection Conn;
  TPacketWriter Writer{Conn};
  TFrameFlow Flow;
  std::vector<std::string> Logs;  // written by the send worker; read after WaitIdle
  THostFileService Service{Home.Sub("Downloads"), Home.Sub("config"), Flow,
                           THostFileNotes{[this](const std::string& AText) { Logs.push_back(AText); },
                                          [](const std::string&) {}}};

  HostFileServicePart() { Writer.Start(); }
  ~HostFileServicePart() override { Writer.Stop(); }

  THostSessionRef NewSession() {
    return std::make_shared<THostSession>(std::shared_ptr<TPacketWriter>(std::shared_ptr<TPacketWriter>(), &Writer));
  }

  // Every packet written so far, once the writer has drained (and the service is idle).
  std::vector<TPacket> Sent() {
    Service.WaitIdle();
    EXPECT_TRUE(Writer.Flush(5000));
    std::vector<TPacket> packets;
    TMemoryConnection replay;
    replay.Input = Conn.Written;
    while (replay.ReadPos < replay.Input.size()) packets.push_back(ReadPacket(replay));
    return packets;
  }
  static std::vector<uint32_t> Types(const std::vector<TPacket>& APackets) {
    std::vector<uint32_t> types;
    for (const TPacket& p : APackets) types.push_back(p.Type);
    return types;
  }
};

TEST_F(HostFileServicePart, RequestsOutsideOrAfterASessionSendNoFile) {
  WriteFile(Home.Sub("a.txt"), "abc");
  Service.Request(Home.Sub("missing.txt"), Writer, nullptr);  // answered even without a session
  Service.Request(Home.Sub("a.txt"), Writer, nullptr);        // nobody to receive it
  THostSessionRef ended = NewSession();
  ended->Close();
  Service.Request(Home.Sub("a.txt"), Writer, ended);  // queued, dropped when it comes up
  Service.Request(Home.Path(), Writer, NewSession());  // a folder is no file
  const std::vector<TPacket> sent = Sent();
  ASSERT_EQ(Types(sent), (std::vector<uint32_t>{MsgFileError, MsgFileError}));
  EXPECT_EQ(TextOf(sent[0].Payload), "파일을 찾을 수 없습니다");
  EXPECT_TRUE(Logs.empty());
}

TEST_F(HostFileServicePart, ChunksWaitWhileFramesAreSlowToComeBack) {
  constexpr size_t Chunks = 3;
  WriteFile(Home.Sub("big.bin"), std::string(Chunks * FileChunkSize, 'x'));
  // Quick round trips so far, and a frame outstanding for 200 ms: the line counts as full
  // until that frame is taken for stalled, two seconds after it was sent.
  const int64_t now = NowMs();
  Flow.FrameSent(now - 250);
  Flow.FrameAcked(now - 249);
  Flow.FrameSent(now - 200);
  ASSERT_TRUE(Flow.Congested(now));

  THostSessionRef session = NewSession();
  Service.Request(Home.Sub("big.bin"), Writer, session);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  session->Close();
  const std::vector<TPacket> held = Sent();
  ASSERT_FALSE(held.empty());
  EXPECT_EQ(held[0].Type, MsgFileBegin);
  EXPECT_LT(held.size(), 1 + Chunks) << "without the pacing every chunk would have gone at once";
  ASSERT_FALSE(Logs.empty());
  EXPECT_EQ(Logs.back().rfind("파일 송신 중단: big.bin", 0), 0u) << Logs.back();

  // The line drained (the outstanding frame came back long ago): the whole file goes at once.
  Flow.Reset();
  Conn.Written.clear();
  Logs.clear();
  Service.Request(Home.Sub("big.bin"), Writer, NewSession());
  EXPECT_EQ(Types(Sent()), (std::vector<uint32_t>{MsgFileBegin, MsgFileChunk, MsgFileChunk, MsgFileChunk, MsgFileEnd}));
  EXPECT_EQ(Logs.back(), "파일 송신 완료: big.bin");
}

// The viewer gives up a download: the running file stops at once (its end still goes, so the
// viewer closes it), and the request waiting behind it follows without waiting for the rest. A
// cancel names the file by its number in the session: one for a file already done is ignored.
TEST_F(HostFileServicePart, ACancelStopsTheRunningSendAndTheNextFollows) {
  constexpr size_t Chunks = 3;
  WriteFile(Home.Sub("big.bin"), std::string(Chunks * FileChunkSize, 'x'));
  WriteFile(Home.Sub("small.txt"), "abc");
  THostSessionRef session = NewSession();
  const auto lineFull = [&] {  // chunks are held back, so a file is still running when a cancel comes
    const int64_t now = NowMs();
    Flow.FrameSent(now - 250);
    Flow.FrameAcked(now - 249);
    Flow.FrameSent(now - 200);
  };
  const auto sentTypes = [&] {
    const std::vector<uint32_t> types = Types(Sent());
    Conn.Written.clear();
    return types;
  };
  const std::vector<uint32_t> whole{MsgFileBegin, MsgFileChunk, MsgFileChunk, MsgFileChunk, MsgFileEnd};

  Service.CancelSend(1);  // nothing is being sent: no effect on the next file
  Service.Request(Home.Sub("small.txt"), Writer, session);  // file 1
  EXPECT_EQ(sentTypes(), (std::vector<uint32_t>{MsgFileBegin, MsgFileChunk, MsgFileEnd}));

  lineFull();
  Service.Request(Home.Sub("big.bin"), Writer, session);  // file 2
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Service.CancelSend(1);  // meant for the file before
  Flow.Reset();
  EXPECT_EQ(sentTypes(), whole);

  Logs.clear();
  lineFull();
  Service.Request(Home.Sub("big.bin"), Writer, session);    // file 3
  Service.Request(Home.Sub("small.txt"), Writer, session);  // file 4
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Service.CancelSend(3);
  Flow.Reset();  // the small file need not wait for the line
  const std::vector<uint32_t> types = sentTypes();
  ASSERT_GE(types.size(), 5u);
  EXPECT_EQ(types.front(), MsgFileBegin);
  EXPECT_LT(types.size(), whole.size() + 3) << "the big file went out whole";
  EXPECT_EQ(std::vector<uint32_t>(types.end() - 4, types.end()),
            (std::vector<uint32_t>{MsgFileEnd, MsgFileBegin, MsgFileChunk, MsgFileEnd}));
  ASSERT_EQ(Logs.size(), 4u);
  EXPECT_EQ(Logs[1].rfind("파일 송신 취소됨: big.bin (", 0), 0u) << Logs[1];
  EXPECT_EQ(Logs[3], "파일 송신 완료: small.txt");
}

TEST_F(HostFileServicePart, ListingOfTheConfigFolder) {
  WriteFile(Home.Sub("config/settings.ini"), "x");
  Service.List("~", Writer);
  const std::vector<TPacket> sent = Sent();
  ASSERT_EQ(Types(sent), (std::vector<uint32_t>{MsgDirListing}));
  EXPECT_EQ(TextOf(sent[0].Payload).rfind(Home.Sub("config") + "\r\n", 0), 0u) << TextOf(sent[0].Payload);
  EXPECT_NE(TextOf(sent[0].Payload).find("settings.ini"), std::string::npos);
}

}  // namespace
}  // namespace tlm::test
