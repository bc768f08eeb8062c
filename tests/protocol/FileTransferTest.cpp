// The shared file transfer: announcement parsing, stored names, and the sender feeding the
// receiver packet by packet, with both ends' policies for incomplete files.
#include "protocol/FileTransfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "protocol/Bytes.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "tests/support/TempFiles.h"

namespace tlm::test {
namespace {

namespace fs = std::filesystem;

TEST(FileAnnouncement, SizeFieldIsStrictDecimalWithin64Bits) {
  struct {
    std::string Text;
    std::optional<uint64_t> Size;
  } cases[] = {
      {"0", 0},
      {"65537", 65537},
      {"4831838208", 4831838208ull},  // 4.5 GiB: beyond 32 bits
      {"18446744073709551615", UINT64_MAX},
      {"00000000000000000012", 12},  // 20 digits, leading zeros
      {"18446744073709551616", std::nullopt},  // one past 64 bits
      {"99999999999999999999", std::nullopt},
      {"000000000000000000012", std::nullopt},  // 21 digits
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"5\r\n", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"12abc", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseFileSize(c.Text), c.Size) << '"' << c.Text << '"';
}

TEST(FileAnnouncement, StoredNamesAreBareAndNeverHidden) {
  struct {
    std::string Raw;
    std::string Name;  // "" = refused
  } cases[] = {
      {"report.txt", "report.txt"},
      {"C:\\Users\\kim\\보고서.txt", "보고서.txt"},
      {"..\\..\\x.exe", "x.exe"},
      {"/home/u/../../etc/passwd", "passwd"},
      {"d:name", "name"},
      {".bash_profile", "_bash_profile"},
      {"dir/.ssh", "_ssh"},
      {"..hidden", "_.hidden"},
      {"...", "_.."},
      {"a.b.c", "a.b.c"},
      {"dir\\sub/x.txt", "x.txt"},
      {"한글 문서.hwp", "한글 문서.hwp"},
      {"C:", ""},
      {"", ""},
      {".", ""},
      {"..", ""},
      {"x/", ""},
      {"x\\..", ""},
      {std::string("bad\0name", 8), ""},
  };
  for (const auto& c : cases) {
    if (c.Name.empty()) {
      EXPECT_THROW(ReceivedFileName(c.Raw), TError) << c.Raw;
    } else {
      EXPECT_EQ(ReceivedFileName(c.Raw), c.Name) << c.Raw;
    }
  }
}

TEST(FileAnnouncement, BeginTextNeedsTwoFieldsAndAUsableNameAndSize) {
  EXPECT_FALSE(ParseFileBegin("no-tab.txt"));
  EXPECT_FALSE(ParseFileBegin(""));
  auto a = ParseFileBegin("C:\\x\\.profile\t4831838208\textra");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Name, "_profile");
  EXPECT_EQ(a->Size, 4831838208ull);
  EXPECT_THROW(ParseFileBegin("a.txt\t"), TError);
  EXPECT_THROW(ParseFileBegin("a.txt\t-3"), TError);
  EXPECT_THROW(ParseFileBegin("..\t3"), TError);
}

// What a sender put on the wire.
struct TWire {
  std::vector<std::pair<uint32_t, TBytes>> Packets;
  TFileSender::TSend Sink() {
    return [this](uint32_t AType, std::span<const uint8_t> AData) { Packets.emplace_back(AType, TBytes(AData.begin(), AData.end())); };
  }
  std::vector<size_t> ChunkSizes() const {
    std::vector<size_t> sizes;
    for (const auto& [type, data] : Packets)
      if (type == MsgFileChunk) sizes.push_back(data.size());
    return sizes;
  }
};

std::string Pattern(size_t ASize) {
  std::string s(ASize, '\0');
  for (size_t i = 0; i < ASize; ++i) s[i] = char((i * 131 + i / 65536) & 0xFF);
  return s;
}

class FileSenderTest : public ::testing::Test {
protected:
  TTempHome Home;
  std::string Make(const std::string& AName, size_t ASize) {
    const std::string path = Home.Sub("out/" + AName);
    WriteFile(path, Pattern(ASize));
    return path;
  }
};

TEST_F(FileSenderTest, BeginChunksOf64KiBAndEnd) {
  struct {
    size_t Size;
    std::vector<size_t> Chunks;
  } cases[] = {
      {0, {}},
      {1, {1}},
      {65535, {65535}},
      {65536, {65536}},
      {65537, {65536, 1}},
      {3 * 65536 + 5, {65536, 65536, 65536, 5}},
  };
  for (const auto& c : cases) {
    const std::string path = Make("f" + std::to_string(c.Size) + ".bin", c.Size);
    TFileSender sender(path);
    TWire wire;
    std::vector<uint64_t> progress;
    sender.SendBegin(wire.Sink());
    EXPECT_TRUE(sender.SendBody(wire.Sink(), {}, [&](uint64_t ADone, uint64_t ATotal) {
      EXPECT_EQ(ATotal, c.Size);
      progress.push_back(ADone);
    }));
    ASSERT_GE(wire.Packets.size(), 2u);
    EXPECT_EQ(wire.Packets.front().first, MsgFileBegin);
    EXPECT_EQ(TextOf(wire.Packets.front().second), "f" + std::to_string(c.Size) + ".bin\t" + std::to_string(c.Size));
    EXPECT_EQ(wire.Packets.back().first, MsgFileEnd);
    EXPECT_TRUE(wire.Packets.back().second.empty());
    EXPECT_EQ(wire.ChunkSizes(), c.Chunks) << c.Size;
    std::string body;
    for (const auto& [type, data] : wire.Packets)
      if (type == MsgFileChunk) body += TextOf(data);
    EXPECT_EQ(body, Pattern(c.Size));
    ASSERT_EQ(progress.size(), c.Chunks.size());
    if (!progress.empty()) {
      EXPECT_EQ(progress.back(), c.Size);
    }
  }
}

TEST_F(FileSenderTest, RefusesWhatCannotBeSent) {
  EXPECT_THROW(TFileSender(Home.Sub("missing.bin")), TError);
  fs::create_directories(Home.Sub("folder"));
  EXPECT_THROW(TFileSender(Home.Sub("folder")), TError);

  // A FIFO is refused at once: opening it must not wait for a writer that may never come (the
  // sending thread would hang, and whoever waits for it).
  const std::string fifo = Home.Sub("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto refused = std::async(std::launch::async, [&] {
    try {
      TFileSender sender(fifo);
    } catch (const TError&) {
      return true;
    }
    return false;
  });
  if (refused.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
    ADD_FAILURE() << "opening a FIFO waited for a writer";
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // lets the open return
    refused.wait();
    if (writer >= 0) ::close(writer);
  }
  EXPECT_TRUE(refused.get());
}

TEST_F(FileSenderTest, StopAndGoOnEndTheBodyWithAnEnd) {
  const std::string path = Make("big.bin", 10 * 65536);
  {
    TFileSender sender(path);
    TWire wire;
    // Stopped from "another thread" after the second chunk went out.
    EXPECT_FALSE(sender.SendBody(wire.Sink(), {}, [&](uint64_t ADone, uint64_t) {
      if (ADone == 2 * 65536) sender.Stop();
    }));
    EXPECT_EQ(wire.ChunkSizes().size(), 2u);
    EXPECT_EQ(wire.Packets.back().first, MsgFileEnd);
    EXPECT_EQ(sender.Sent(), 2u * 65536);
    EXPECT_THROW(sender.SendBody(wire.Sink()), TError) << "the file was closed when the body returned";
  }
  {
    TFileSender sender(path);
    TWire wire;
    int turns = 0;
    EXPECT_FALSE(sender.SendBody(wire.Sink(), [&] { return ++turns <= 3; }));
    EXPECT_EQ(wire.ChunkSizes().size(), 3u);
    EXPECT_EQ(wire.Packets.back().first, MsgFileEnd);
  }
}

TEST_F(FileSenderTest, SendsTheAnnouncedSizeEvenWhenTheFileChanges) {
  const std::string path = Make("moving.bin", 100000);
  {
    TFileSender sender(path);
    ::truncate(path.c_str(), 300000);  // grew after the announcement
    TWire wire;
    EXPECT_TRUE(sender.SendBody(wire.Sink()));
    EXPECT_EQ(wire.ChunkSizes(), (std::vector<size_t>{65536, 100000 - 65536}));
  }
  {
    TFileSender sender(path);
    ::truncate(path.c_str(), 70000);  // shrank after the announcement
    TWire wire;
    EXPECT_FALSE(sender.SendBody(wire.Sink())) << "a short file is reported as not sent whole";
    EXPECT_EQ(wire.ChunkSizes(), (std::vector<size_t>{65536, 70000 - 65536}));
    EXPECT_EQ(wire.Packets.back().first, MsgFileEnd);
  }
}

// The sender's packets fed straight into a receiver, as the relay would pass them.
class TransferRoundTrip : public ::testing::Test {
protected:
  TTempHome Home;
  std::string In = Home.Sub("in");

  std::vector<std::string> Listing() {
    std::vector<std::string> names;
    if (fs::exists(In))
      for (const auto& e : fs::directory_iterator(In)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Delivers every packet of AWire to AReceiver; answers the Finish result of the end.
  static std::optional<TReceivedFile::TResult> Deliver(TFileReceiver& AReceiver, const std::string& AFolder,
                                                       const TWire& AWire) {
    std::optional<TReceivedFile::TResult> result;
    for (const auto& [type, data] : AWire.Packets) {
      if (type == MsgFileBegin) AReceiver.Begin(AFolder, TextOf(data));
      if (type == MsgFileChunk) AReceiver.Append(data);
      if (type == MsgFileEnd) result = AReceiver.Finish();
    }
    return result;
  }
};

TEST_F(TransferRoundTrip, WholeFilesArriveUnderTheirNameWithEitherPolicy) {
  const size_t sizes[] = {0, 1, 65536, 65537, 300001};
  for (auto incomplete : {TReceivedFile::EIncomplete::Keep, TReceivedFile::EIncomplete::Remove}) {
    TFileReceiver receiver(incomplete, incomplete == TReceivedFile::EIncomplete::Keep
                                           ? TReceivedFile::ETempName::BesideTarget
                                           : TReceivedFile::ETempName::Hidden);
    for (size_t size : sizes) {
      const std::string name = "k" + std::to_string(int(incomplete)) + "-" + std::to_string(size) + ".bin";
      WriteFile(Home.Sub("out/" + name), Pattern(size));
      TFileSender sender(Home.Sub("out/" + name));
      TWire wire;
      sender.SendBegin(wire.Sink());
      sender.SendBody(wire.Sink());
      auto result = Deliver(receiver, In, wire);
      ASSERT_TRUE(result);
      EXPECT_TRUE(result->Complete) << name;
      EXPECT_EQ(result->Path, In + "/" + name);
      EXPECT_EQ(ReadFile(In + "/" + name), Pattern(size)) << name;
    }
  }
  EXPECT_EQ(Listing().size(), 2 * std::size(sizes)) << "no temporary file is left behind";
}

TEST_F(TransferRoundTrip, CancelledUploadIsKeptOrRemovedByPolicy) {
  WriteFile(Home.Sub("out/.hidden.bin"), Pattern(5 * 65536));
  struct {
    TReceivedFile::EIncomplete Incomplete;
    TReceivedFile::ETempName Temp;
    std::vector<std::string> Left;
  } cases[] = {
      {TReceivedFile::EIncomplete::Keep, TReceivedFile::ETempName::BesideTarget, {"_hidden.bin.part"}},
      {TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden, {}},
  };
  for (const auto& c : cases) {
    fs::remove_all(In);
    TFileReceiver receiver(c.Incomplete, c.Temp);
    TFileSender sender(Home.Sub("out/.hidden.bin"));
    TWire wire;
    sender.SendBegin(wire.Sink());
    sender.SendBody(wire.Sink(), {}, [&](uint64_t ADone, uint64_t) {
      if (ADone >= 2 * 65536) sender.Stop();
    });
    auto result = Deliver(receiver, In, wire);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->Complete);
    EXPECT_EQ(result->Received, 2u * 65536);
    EXPECT_EQ(result->Expected, 5u * 65536);
    EXPECT_EQ(Listing(), c.Left);
    if (!c.Left.empty()) {
      EXPECT_EQ(ReadFile(In + "/" + c.Left[0]), Pattern(2 * 65536));
    }
  }
}

TEST_F(TransferRoundTrip, ReceiverRulesForBeginsChunksAndEnds) {
  TFileReceiver receiver(TReceivedFile::EIncomplete::Keep, TReceivedFile::ETempName::BesideTarget);
  // Ignored begin keeps nothing open; chunks and ends without a file do nothing.
  EXPECT_FALSE(receiver.Begin(In, "notab"));
  receiver.Append(BytesOf("stray"));
  EXPECT_FALSE(receiver.Finish());
  // A refused begin abandons the open file and leaves nothing open.
  ASSERT_TRUE(receiver.Begin(In, "first.txt\t10"));
  receiver.Append(BytesOf("abc"));
  EXPECT_THROW(receiver.Begin(In, "second.txt\tmany"), TError);
  EXPECT_FALSE(receiver.IsOpen());
  EXPECT_EQ(ReadFile(In + "/first.txt.part"), "abc");
  // The owner's refusal: nothing created.
  EXPECT_FALSE(receiver.Begin(In, "unwanted.exe\t3", [](const TFileAnnouncement& A) { return A.Name != "unwanted.exe"; }));
  EXPECT_FALSE(receiver.IsOpen());
  EXPECT_EQ(Listing(), std::vector<std::string>{"first.txt.part"});
  // Abandon answers the name it closed.
  ASSERT_TRUE(receiver.Begin(In, "x.txt\t1"));
  EXPECT_EQ(receiver.Abandon(), "x.txt");
  EXPECT_EQ(receiver.Abandon(), "");
}

TEST_F(TransferRoundTrip, FullDiskNeverNamesTheFile) {
  WriteFile(Home.Sub("out/big.bin"), Pattern(200000));
  TFileSender sender(Home.Sub("out/big.bin"));
  TWire wire;
  sender.SendBegin(wire.Sink());
  sender.SendBody(wire.Sink());
  for (auto incomplete : {TReceivedFile::EIncomplete::Keep, TReceivedFile::EIncomplete::Remove}) {
    fs::remove_all(In);
    TFileReceiver receiver(incomplete, TReceivedFile::ETempName::BesideTarget);
    bool failed = false;
    {
      TFileSizeLimit limit(100000);
      for (const auto& [type, data] : wire.Packets) {
        try {
          if (type == MsgFileBegin) receiver.Begin(In, TextOf(data));
          if (type == MsgFileChunk) receiver.Append(data);
        } catch (const TError&) {
          failed = true;
        }
        if (type == MsgFileEnd) {
          EXPECT_FALSE(receiver.Finish()) << "the failed file was closed already";
        }
      }
    }
    EXPECT_TRUE(failed);
    EXPECT_FALSE(FileExists(In + "/big.bin"));
    EXPECT_EQ(FileExists(In + "/big.bin.part"), incomplete == TReceivedFile::EIncomplete::Keep);
  }
}

TEST(RequestedFiles, OnlyWhatWasAskedForAndEachOnce) {
  TRequestedFiles asked;
  asked.Add("C:\\Users\\kim\\report.pdf");
  asked.Add("/home/kim/.profile");
  asked.Add("/home/kim/report.pdf");
  asked.Add("/home/kim/");  // names no file: never announced, never remembered
  EXPECT_EQ(asked.Size(), 3u);
  struct {
    std::string Announced;  // as TFileAnnouncement::Name
    bool Accepted;
  } steps[] = {
      {"report.pdf", true},
      {"_profile", true},         // the stored form of ".profile"
      {".bash_profile", false},   // never asked for
      {"_bash_profile", false},
      {"report.pdf", true},       // asked for twice
      {"report.pdf", false},      // but not three times
      {"_profile", false},
  };
  for (const auto& step : steps) EXPECT_EQ(asked.Take(step.Announced), step.Accepted) << step.Announced;
  EXPECT_EQ(asked.Size(), 0u);

  // Refused requests age out: the list stays bounded and the newest requests stay.
  for (size_t i = 0; i < TRequestedFiles::Limit + 10; ++i) asked.Add("/f" + std::to_string(i));
  EXPECT_EQ(asked.Size(), TRequestedFiles::Limit);
  EXPECT_FALSE(asked.Take("f0"));
  EXPECT_TRUE(asked.Take("f" + std::to_string(TRequestedFiles::Limit + 9)));
}

TEST(TransferProgress, AtMostOneSnapshotPerIntervalAndAlwaysTheLast) {
  TProgressThrottle throttle(1000);
  const uint64_t total = 10'000'000;
  struct {
    uint64_t Done;
    int64_t At;
    bool Snapshot;
    int Percent;
  } steps[] = {
      {65536, 1010, true, 0},  // the first report shows at once
      {131072, 1050, false, 0},
      {196608, 1109, false, 0},
      {2'000'000, 1110, true, 20},
      {5'000'000, 1150, false, 0},
      {total, 1160, true, 100},  // the end, however soon
  };
  for (const auto& step : steps) {
    auto snapshot = throttle.Offer(step.Done, total, step.At);
    ASSERT_EQ(snapshot.has_value(), step.Snapshot) << step.Done;
    if (snapshot) {
      EXPECT_EQ(snapshot->Percent, step.Percent) << step.Done;
    }
  }
  // Thousands of chunks in one second give at most ten updates.
  TProgressThrottle busy(0);
  int updates = 0;
  for (int i = 1; i <= 5000; ++i) updates += busy.Offer(uint64_t(i) * 65536, uint64_t(1) << 40, i / 5).has_value();
  EXPECT_LE(updates, 11);
  // Sizes past 2^57 overflow ADone * 100 in 64 bits; a double would show 100% one byte early.
  TProgressThrottle huge(0);
  EXPECT_EQ(huge.Offer(UINT64_MAX / 2, UINT64_MAX, 5)->Percent, 49);
  EXPECT_EQ(huge.Offer(UINT64_MAX - 1, UINT64_MAX, 500)->Percent, 99);
  EXPECT_EQ(huge.Offer(0, 0, 5)->Percent, 100);
}

TEST(TransferProgress, StatusText) {
  TTransferProgress p;
  p.Percent = 45;
  p.BytesPerSecond = 12'340'000;
  EXPECT_EQ(FormatProgress("a.bin", p), "a.bin 45% (12.3 MB/s)");
  p.BytesPerSecond = 512'000;
  EXPECT_EQ(FormatProgress("a.bin", p), "a.bin 45% (512 KB/s)");
  p.BytesPerSecond = 0;
  EXPECT_EQ(FormatProgress("a.bin", p), "a.bin 45%");
}

}  // namespace
}  // namespace tlm::test
