// Receiving files, sending files and folder listings through the agent.
#include "tests/host/HostAgentFixture.h"

#include <filesystem>
#include <fstream>
#include <thread>

namespace tlm::test {
namespace {

using HostFileReceive = HostAgentFixture;
using HostFileSend = HostAgentFixture;
using HostListDir = HostAgentFixture;

std::string Downloads(const TTempHome& AHome, const std::string& AName = "") {
  return AHome.Sub("Downloads") + (AName.empty() ? "" : "/" + AName);
}

// A file of ASize bytes (a multiple of 1 MiB) of one repeated byte.
void MakeFile(const std::string& APath, size_t ASize, char AByte) {
  std::ofstream out(APath, std::ios::binary);
  const std::string block(1 << 20, AByte);
  for (size_t i = 0; i < ASize; i += block.size()) out << block;
}

TEST_F(HostFileReceive, StoredUnderItsLastNameComponent) {
  auto end = StartInSession();
  end->SendText(MsgFileBegin, "C:\\Users\\kim\\보고서.txt\t11");
  EXPECT_EQ(end->NextOf(MsgFileReady).Payload.size(), 0u);
  EXPECT_TRUE(WaitFor([&] { return Has(Statuses, "파일 수신 중: 보고서.txt"); }));
  end->SendText(MsgFileChunk, "hello ");
  end->Send(MsgFileChunk);  // empty chunk: ignored
  end->SendText(MsgFileChunk, "world");
  end->Send(MsgFileEnd);
  EXPECT_TRUE(WaitFor([&] { return Has(Statuses, "파일 수신 완료: 보고서.txt"); }));
  EXPECT_EQ(ReadFile(Downloads(Home, "보고서.txt")), "hello world");
  EXPECT_FALSE(FileExists(Downloads(Home, "보고서.txt.part")));
}

TEST_F(HostFileReceive, RefusedNamesAnswerWithAnErrorAndKeepTheConnection) {
  auto end = StartInSession();
  const std::string names[] = {"", ".", "..", "dir/", "C:", "a\\..", std::string("bad\0name", 8)};
  for (const std::string& name : names) {
    end->SendText(MsgFileBegin, name + "\t3");
    TPacket answer = end->NextOf(MsgFileError);
    EXPECT_EQ(TextOf(answer.Payload).rfind("파일 생성 실패: ", 0), 0u) << TextOf(answer.Payload);
    end->SendText(MsgFileChunk, "abc");  // belongs to the refused file: dropped
    end->Send(MsgFileEnd);
  }
  EXPECT_FALSE(FileExists(Downloads(Home, "..")) && std::filesystem::is_regular_file(Downloads(Home, "..")));
  // A size that is not a number is refused the same way.
  end->SendText(MsgFileBegin, "a.txt\tlots");
  EXPECT_EQ(TextOf(end->NextOf(MsgFileError).Payload).rfind("파일 생성 실패: ", 0), 0u);
  Probe(*end);
  EXPECT_TRUE(Agent->Connected());
  EXPECT_TRUE(!FileExists(Downloads(Home)) || std::filesystem::is_empty(Downloads(Home)));
}

TEST_F(HostFileReceive, HiddenNamesLandVisibleAndTheLogShowsStartAndEnd) {
  auto end = StartInSession();
  end->SendText(MsgFileBegin, "../.bash_profile\t4");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "evil");
  end->Send(MsgFileEnd);
  Probe(*end);
  EXPECT_FALSE(FileExists(Downloads(Home, ".bash_profile")));
  EXPECT_EQ(ReadFile(Downloads(Home, "_bash_profile")), "evil");
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "파일 수신 완료: " + Downloads(Home, "_bash_profile")); }));
  EXPECT_TRUE(Has(Logs, "파일 수신 시작: _bash_profile (4 바이트)"));
}

TEST_F(HostFileReceive, IgnoredWithoutTabOrWithoutBegin) {
  auto end = StartInSession();
  end->SendText(MsgFileChunk, "stray");
  end->Send(MsgFileEnd);
  end->SendText(MsgFileBegin, "noTab.txt");
  Probe(*end);  // nothing came before the listing
  EXPECT_FALSE(FileExists(Downloads(Home, "noTab.txt")));
  EXPECT_FALSE(FileExists(Downloads(Home, "noTab.txt.part")));
}

TEST_F(HostFileReceive, NeverReplacesAnExistingFile) {
  WriteFile(Downloads(Home, "a.txt"), "precious");
  auto end = StartInSession();
  for (const char* content : {"one", "two"}) {
    end->SendText(MsgFileBegin, "a.txt\t3");
    end->NextOf(MsgFileReady);
    end->SendText(MsgFileChunk, content);
    end->Send(MsgFileEnd);
  }
  Probe(*end);
  EXPECT_EQ(ReadFile(Downloads(Home, "a.txt")), "precious");
  EXPECT_EQ(ReadFile(Downloads(Home, "a (1).txt")), "one");
  EXPECT_EQ(ReadFile(Downloads(Home, "a (2).txt")), "two");
}

TEST_F(HostFileReceive, IncompleteFilesKeepTheirTemporaryName) {
  auto end = StartInSessionScripted();
  // Short.
  end->SendText(MsgFileBegin, "short.bin\t10");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "abc");
  end->Send(MsgFileEnd);
  TPacket err = end->NextOf(MsgFileError);
  EXPECT_EQ(TextOf(err.Payload).rfind("파일 수신 실패: short.bin", 0), 0u) << TextOf(err.Payload);
  EXPECT_TRUE(WaitFor([&] { return HasPrefix(Statuses, "파일 수신 실패: short.bin"); }));
  EXPECT_FALSE(HasPrefix(Statuses, "파일 수신 완료: "));
  EXPECT_EQ(ReadFile(Downloads(Home, "short.bin.part")), "abc");
  EXPECT_FALSE(FileExists(Downloads(Home, "short.bin")));

  // Longer than announced: not named, the surplus not written.
  end->SendText(MsgFileBegin, "long.bin\t2");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "abcd");
  end->Send(MsgFileEnd);
  end->NextOf(MsgFileError);
  EXPECT_EQ(ReadFile(Downloads(Home, "long.bin.part")), "ab");
  EXPECT_FALSE(FileExists(Downloads(Home, "long.bin")));

  // A second announcement ends the first file where it was; only the second gets what follows.
  end->SendText(MsgFileBegin, "first.txt\t6");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "fir");
  end->SendText(MsgFileBegin, "second.txt\t6");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "second");
  end->Send(MsgFileEnd);
  Probe(*end);
  EXPECT_EQ(ReadFile(Downloads(Home, "first.txt.part")), "fir");
  EXPECT_FALSE(FileExists(Downloads(Home, "first.txt")));
  EXPECT_EQ(ReadFile(Downloads(Home, "second.txt")), "second");

  // The session ends in the middle of a file.
  end->SendText(MsgFileBegin, "cut.txt\t10");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "12345");
  end->Send(MsgSessionEnd);
  end->SendText(MsgFileChunk, "67890");
  end->Send(MsgFileEnd);
  Probe(*end);
  EXPECT_EQ(ReadFile(Downloads(Home, "cut.txt.part")), "12345");
  EXPECT_FALSE(FileExists(Downloads(Home, "cut.txt")));
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "파일 수신 중단: cut.txt"); }));
}

// The viewer's cancel (a cancel without a file number) removes what arrived of the file it is
// sending, and nothing else: not a download's cancel, not a file already ended.
TEST_F(HostFileReceive, AViewersCancelRemovesOnlyTheFileItIsSending) {
  auto end = StartInSessionScripted();
  end->SendText(MsgFileBegin, "gone.bin\t10");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "abc");
  end->Send(MsgFileCancel);
  end->SendText(MsgFileChunk, "def");  // already on its way: finds nothing open
  end->Send(MsgFileEnd);
  Probe(*end);  // fails on a MsgFileError: the viewer asked for this, nothing to report
  EXPECT_FALSE(FileExists(Downloads(Home, "gone.bin.part")));
  EXPECT_FALSE(FileExists(Downloads(Home, "gone.bin")));
  EXPECT_TRUE(WaitFor([&] { return Has(Statuses, "파일 수신 취소됨: gone.bin"); }));
  EXPECT_TRUE(Has(Logs, "파일 수신 취소됨: gone.bin"));

  // A download's cancel carries a number and leaves the upload alone.
  end->SendText(MsgFileBegin, "kept.txt\t4");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "ab");
  end->Send(MsgFileCancel, {1, 0, 0, 0});
  end->SendText(MsgFileChunk, "cd");
  end->Send(MsgFileEnd);
  // A short file kept earlier, then a cancel too late for anything: both files stay.
  end->SendText(MsgFileBegin, "short.bin\t10");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "x");
  end->Send(MsgFileEnd);
  end->NextOf(MsgFileError);
  end->Send(MsgFileCancel);
  Probe(*end);
  EXPECT_EQ(ReadFile(Downloads(Home, "kept.txt")), "abcd");
  EXPECT_EQ(ReadFile(Downloads(Home, "short.bin.part")), "x");
}

TEST_F(HostFileReceive, DownloadFolderFromTheUserDirsFile) {
  WriteFile(Home.Sub(".config/user-dirs.dirs"), "XDG_DOWNLOAD_DIR=\"$HOME/받은 파일\"\n");
  THostServices services;
  services.MakeCapturer = [this] { return std::make_unique<TFakeCapturer>(Monitors); };
  Agent = std::make_unique<THostAgent>(Ui, "127.0.0.1", Relay.Port(), DeviceKey, "", std::move(services));
  Agent->Start();
  auto end = Relay.AcceptRegistered(DeviceKey, "1");
  end->SendText(MsgFileBegin, "x.txt\t1");
  end->NextOf(MsgFileReady);
  end->SendText(MsgFileChunk, "x");
  end->Send(MsgFileEnd);
  Probe(*end);
  EXPECT_EQ(ReadFile(Home.Sub("받은 파일/x.txt")), "x");
}

TEST_F(HostFileSend, MissingFilesAndFolders) {
  auto end = StartInSession();
  for (const std::string& path : {Home.Sub("nope.txt"), Home.Path(), std::string()}) {
    end->SendText(MsgFileGet, path);
    EXPECT_EQ(TextOf(end->NextOf(MsgFileError).Payload), "파일을 찾을 수 없습니다") << path;
  }
}

TEST_F(HostFileSend, ChunksOf64KiB) {
  std::string big(65537, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + 3);
  WriteFile(Home.Sub("data/big.bin"), big);
  WriteFile(Home.Sub("data/empty.txt"), "");
  auto end = StartInSession();

  end->SendText(MsgFileGet, Home.Sub("data/big.bin"));
  EXPECT_EQ(TextOf(end->NextOf(MsgFileBegin).Payload), "big.bin\t65537");
  TPacket c1 = end->NextOf(MsgFileChunk);
  TPacket c2 = end->NextOf(MsgFileChunk);
  EXPECT_EQ(c1.Payload.size(), 65536u);
  EXPECT_EQ(c2.Payload.size(), 1u);
  EXPECT_EQ(TextOf(c1.Payload) + TextOf(c2.Payload), big);
  EXPECT_EQ(end->NextOf(MsgFileEnd).Payload.size(), 0u);

  end->SendText(MsgFileGet, Home.Sub("data/empty.txt"));
  EXPECT_EQ(TextOf(end->NextOf(MsgFileBegin).Payload), "empty.txt\t0");
  EXPECT_EQ(end->NextOf(MsgFileEnd).Type, MsgFileEnd);
  // One log line as each transfer starts, one as it ends.
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "파일 송신 완료: empty.txt"); }));
  std::vector<std::string> sends;
  for (const std::string& line : Logs)
    if (line.rfind("파일 송신", 0) == 0) sends.push_back(line);
  EXPECT_EQ(sends, (std::vector<std::string>{"파일 송신 시작: big.bin (65537 바이트)", "파일 송신 완료: big.bin",
                                             "파일 송신 시작: empty.txt (0 바이트)", "파일 송신 완료: empty.txt"}));
}

// Packets carry no transfer number: requests must be served one after another, each file whole.
TEST_F(HostFileSend, RequestsRunOneAtATimeInRequestOrder) {
  const std::string a(3 << 20, 'a'), b(700000, 'b');
  WriteFile(Home.Sub("a.bin"), a);
  WriteFile(Home.Sub("b.bin"), b);
  auto end = StartInSession();
  const std::vector<std::string> order = {"a.bin", "a.bin", "b.bin", "a.bin", "b.bin", "a.bin", "a.bin", "b.bin"};
  for (const std::string& name : order) end->SendText(MsgFileGet, Home.Sub(name));
  for (const std::string& name : order) {
    const std::string& content = name == "a.bin" ? a : b;
    TPacket begin = end->NextOf(MsgFileBegin, 20000);
    ASSERT_EQ(TextOf(begin.Payload), name + "\t" + std::to_string(content.size()));
    std::string got;
    for (;;) {
      TPacket p = end->Next(20000);
      if (p.Type == MsgFrame) continue;
      if (p.Type != MsgFileChunk) {
        EXPECT_EQ(p.Type, MsgFileEnd);
        break;
      }
      got += TextOf(p.Payload);
    }
    ASSERT_EQ(got.size(), content.size()) << name;
    EXPECT_TRUE(got == content) << name << " arrived mixed with another file";
  }
}

TEST_F(HostFileSend, WaitingRequestsAreBoundedAndDroppedAtSessionEnd) {
  const size_t size = 48u << 20;
  MakeFile(Home.Sub("huge.bin"), size, 'h');
  auto end = StartInSession();
  // The first send runs (its begin is on the wire) before the rest arrive, so that exactly 16
  // of them wait and 4 are refused, however slowly the sender thread gets going.
  end->SendText(MsgFileGet, Home.Sub("huge.bin"));
  end->NextOf(MsgFileBegin, 20000);
  int refused = 0, begins = 1;
  for (int i = 0; i < 16 + 4; ++i) end->SendText(MsgFileGet, Home.Sub("huge.bin"));
  while (refused < 4) {
    TPacket p = end->Next(20000);
    if (p.Type == 0xFFFFFFFF) break;
    if (p.Type == MsgFileBegin) ++begins;
    if (p.Type == MsgFileError) {
      EXPECT_EQ(TextOf(p.Payload), "보낼 파일이 너무 많이 밀려 있습니다: huge.bin");
      ++refused;
    }
  }
  EXPECT_EQ(refused, 4);
  end.reset();  // the viewer leaves: the waiting requests go, the running one stops
  EXPECT_TRUE(WaitFor([&] { return HasPrefix(Logs, "파일 송신 중단: huge.bin") && SessionEnds == 1; }, 20000));
  EXPECT_LE(begins, 1);
  std::vector<std::string> started;
  for (const std::string& line : Logs)
    if (line.rfind("파일 송신 시작", 0) == 0) started.push_back(line);
  EXPECT_EQ(started.size(), 1u) << "the queued requests were dropped, not sent";
}

TEST_F(HostFileSend, SessionEndStopsATransferWhichStillEnds) {
  const size_t size = 48u << 20;
  MakeFile(Home.Sub("huge.bin"), size, 'z');
  auto end = StartInSessionScripted();
  end->SendText(MsgFileGet, Home.Sub("huge.bin"));
  EXPECT_EQ(TextOf(end->NextOf(MsgFileBegin).Payload), "huge.bin\t" + std::to_string(size));
  size_t got = 0;
  for (int i = 0; i < 3; ++i) got += end->NextOf(MsgFileChunk).Payload.size();
  end->Send(MsgSessionEnd);
  for (;;) {
    TPacket p = end->Next();
    if (p.Type == MsgFileChunk) {
      got += p.Payload.size();
      continue;
    }
    if (p.Type == MsgFrame || p.Type == MsgMonitorList) continue;
    EXPECT_EQ(p.Type, MsgFileEnd);
    break;
  }
  EXPECT_LT(got, size);
  EXPECT_TRUE(WaitFor([&] { return SessionEnds == 1; }));
}

TEST_F(HostFileSend, AgentDestroyedDuringATransfer) {
  const size_t size = 48u << 20;
  MakeFile(Home.Sub("huge.bin"), size, 'q');
  auto end = StartInSession();
  end->SendText(MsgFileGet, Home.Sub("huge.bin"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Agent.reset();  // the blocked sender must end before the agent's memory goes
  // The sender may be inside a chunk or waiting between chunks when the agent goes.
  EXPECT_TRUE(end->WaitSessionGone(10000));
}

TEST_F(HostListDir, DrivesFoldersAndTheConfigFolder) {
  WriteFile(Home.Sub("docs/a.txt"), "123");
  std::filesystem::create_directories(Home.Sub("docs/sub"));
  std::filesystem::create_directories(Home.Sub(".config/TLMRemote"));
  auto end = StartInSession();
  struct TCase {
    std::string Request, Reply;
  } cases[] = {
      {"", "#DRIVES\r\nD\t/\t0\r\nD\t" + Home.Path() + "\t0\r\n"},
      {"~", Home.Sub(".config") + "\r\nD\tTLMRemote\t0\r\n"},
      {Home.Sub("docs/sub/"), Home.Sub("docs/sub") + "\r\n"},
      {Home.Sub("missing"), Home.Sub("missing") + "\r\n"},
  };
  for (const TCase& c : cases) {
    end->SendText(MsgListDir, c.Request);
    EXPECT_EQ(TextOf(end->NextOf(MsgDirListing).Payload), c.Reply) << c.Request;
  }
  end->SendText(MsgListDir, Home.Sub("docs"));
  auto listing = ParseDirListing(TextOf(end->NextOf(MsgDirListing).Payload));
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->Path, Home.Sub("docs"));
  ASSERT_EQ(listing->Entries.size(), 2u);
  for (const auto& e : listing->Entries) {
    EXPECT_EQ(e.IsDir, e.Name == "sub");
    EXPECT_EQ(e.SizeText, e.IsDir ? "0" : "3");
  }
}

}  // namespace
}  // namespace tlm::test

namespace tlm::test {
namespace {

TEST_F(HostFileReceive, FullDiskAnswersWithAnErrorAndKeepsTheConnection) {
  auto end = StartInSession();
  end->SendText(MsgFileBegin, "big.bin\t200000");
  end->NextOf(MsgFileReady);
  TPacket err;
  {
    TFileSizeLimit limit(8192);
    end->Send(MsgFileChunk, TBytes(100000, 5));
    err = end->NextOf(MsgFileError);
  }
  EXPECT_EQ(TextOf(err.Payload).rfind("파일 쓰기 실패: big.bin", 0), 0u) << TextOf(err.Payload);
  end->Send(MsgFileChunk, TBytes(100000, 5));  // the rest of the failed file is ignored
  end->Send(MsgFileEnd);
  Probe(*end);
  EXPECT_TRUE(Agent->Connected());
  EXPECT_TRUE(Agent->InSession());
  EXPECT_FALSE(FileExists(Downloads(Home, "big.bin")));
  EXPECT_TRUE(FileExists(Downloads(Home, "big.bin.part")));
  EXPECT_TRUE(WaitFor([&] { return HasPrefix(Statuses, "파일 수신 실패: big.bin"); }));
}

}  // namespace
}  // namespace tlm::test
