#include "host/HostFiles.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "tests/host/HostTestSupport.h"

namespace tlm {
namespace {

using test::FileExists;
using test::ReadFile;
using test::TTempHome;
using test::WriteFile;

TEST(ReceivedNames, CutAtEverySeparatorAndRefuseWhatNamesNoFile) {
  struct TCase {
    std::string Raw;
    std::string Name;  // "" = refused
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"C:\\Users\\kim\\report.pdf", "report.pdf"},
      {"/etc/passwd", "passwd"},
      {"../../.bashrc", ".bashrc"},
      {"a:b", "b"},
      {"dir\\sub/x.txt", "x.txt"},
      {"한글 문서.hwp", "한글 문서.hwp"},
      {"", ""},
      {".", ""},
      {"..", ""},
      {"folder/", ""},
      {"C:", ""},
      {"x/..", ""},
      {std::string("a\0b", 3), ""},
  };
  for (const TCase& c : cases) {
    if (c.Name.empty()) {
      EXPECT_THROW(SafeReceivedName(c.Raw), TError) << c.Raw;
    } else {
      EXPECT_EQ(SafeReceivedName(c.Raw), c.Name);
    }
  }
}

TEST(ReceivedNames, NumberedCopies) {
  EXPECT_EQ(NumberedName("a.txt", 0), "a.txt");
  EXPECT_EQ(NumberedName("a.txt", 1), "a (1).txt");
  EXPECT_EQ(NumberedName("a.tar.gz", 2), "a.tar (2).gz");
  EXPECT_EQ(NumberedName("README", 3), "README (3)");
  EXPECT_EQ(NumberedName(".bashrc", 1), ".bashrc (1)");
}

class FileReceiverTest : public ::testing::Test {
protected:
  TTempHome Home;
  std::string Folder = Home.Sub("in/box");  // does not exist yet
  TFileReceiver Receiver;

  void Receive(const std::string& AName, const std::string& AContent, uint64_t AAnnounced) {
    Receiver.Begin(Folder, AName, AAnnounced);
    Receiver.Append(BytesOf(AContent));
  }
};

TEST_F(FileReceiverTest, CompleteFileGetsItsNameAndNeverReplacesAnother) {
  Receive("a.txt", "first", 5);
  EXPECT_TRUE(FileExists(Folder + "/a.txt.part"));
  EXPECT_FALSE(FileExists(Folder + "/a.txt"));
  auto r = Receiver.Finish();
  EXPECT_TRUE(r.Complete);
  EXPECT_EQ(r.Path, Folder + "/a.txt");
  EXPECT_EQ(ReadFile(Folder + "/a.txt"), "first");
  EXPECT_FALSE(FileExists(Folder + "/a.txt.part"));

  Receive("a.txt", "second", 6);
  r = Receiver.Finish();
  EXPECT_EQ(r.Path, Folder + "/a (1).txt");
  EXPECT_EQ(ReadFile(Folder + "/a.txt"), "first");
  EXPECT_EQ(ReadFile(Folder + "/a (1).txt"), "second");
  EXPECT_FALSE(Receiver.IsOpen());
}

TEST_F(FileReceiverTest, ShortLongAndAbandonedFilesKeepTheirTemporaryName) {
  Receive("short.bin", "abc", 10);
  auto r = Receiver.Finish();
  EXPECT_FALSE(r.Complete);
  EXPECT_EQ(r.Received, 3u);
  EXPECT_EQ(r.Expected, 10u);
  EXPECT_EQ(r.Path, Folder + "/short.bin.part");
  EXPECT_EQ(ReadFile(r.Path), "abc");
  EXPECT_FALSE(FileExists(Folder + "/short.bin"));

  // More than announced: the surplus is not written and the file is not named.
  Receive("long.bin", "abcdef", 4);
  Receiver.Append(BytesOf("ghij"));
  r = Receiver.Finish();
  EXPECT_FALSE(r.Complete);
  EXPECT_EQ(r.Received, 10u);
  EXPECT_EQ(ReadFile(Folder + "/long.bin.part"), "abcd");

  // A second temporary file of the same name does not disturb the first.
  Receive("short.bin", "xy", 3);
  Receiver.Abandon();
  EXPECT_EQ(ReadFile(Folder + "/short.bin.part"), "abc");
  EXPECT_EQ(ReadFile(Folder + "/short (1).bin.part"), "xy");
}

TEST_F(FileReceiverTest, EmptyFileAndUncreatableFolder) {
  Receiver.Begin(Folder, "empty", 0);
  auto r = Receiver.Finish();
  EXPECT_TRUE(r.Complete);
  EXPECT_EQ(ReadFile(Folder + "/empty"), "");

  WriteFile(Home.Sub("plainfile"), "x");
  EXPECT_THROW(Receiver.Begin(Home.Sub("plainfile/sub"), "a", 1), TError);
  EXPECT_FALSE(Receiver.IsOpen());
}

TEST(HostListing, RootsFoldersAndFailures) {
  TTempHome home;
  EXPECT_EQ(BuildHostListing(""), "#DRIVES\r\nD\t/\t0\r\nD\t" + home.Path() + "\t0\r\n");

  WriteFile(home.Sub("data/a.txt"), "12345");
  WriteFile(home.Sub("data/.hidden"), "");
  std::filesystem::create_directories(home.Sub("data/sub"));
  std::filesystem::create_symlink(home.Sub("data/sub"), home.Sub("data/link"));
  for (const std::string& request : {home.Sub("data"), home.Sub("data/"), home.Sub("data//")}) {
    auto listing = ParseDirListing(BuildHostListing(request));
    ASSERT_TRUE(listing.has_value());
    EXPECT_EQ(listing->Path, home.Sub("data"));
    std::map<std::string, std::pair<bool, std::string>> seen;
    for (const auto& e : listing->Entries) seen[e.Name] = {e.IsDir, e.SizeText};
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen["a.txt"], std::make_pair(false, std::string("5")));
    EXPECT_EQ(seen[".hidden"], std::make_pair(false, std::string("0")));
    EXPECT_EQ(seen["sub"], std::make_pair(true, std::string("0")));
    EXPECT_EQ(seen["link"], std::make_pair(true, std::string("0")));
  }

  std::filesystem::create_directories(home.Sub("empty"));
  EXPECT_EQ(BuildHostListing(home.Sub("empty")), home.Sub("empty") + "\r\n");
  EXPECT_EQ(BuildHostListing(home.Sub("missing/")), home.Sub("missing") + "\r\n");
  EXPECT_EQ(BuildHostListing(home.Sub("data/a.txt")), home.Sub("data/a.txt") + "\r\n");
  // The root keeps its slash; "~" is the configuration folder.
  EXPECT_EQ(BuildHostListing("/").substr(0, 3), "/\r\n");
  std::filesystem::create_directories(home.Sub(".config/TLMRemote"));
  EXPECT_EQ(BuildHostListing("~"), home.Sub(".config") + "\r\nD\tTLMRemote\t0\r\n");
}

}  // namespace
}  // namespace tlm

namespace tlm {
namespace {

// Files may grow to ALimit bytes while this lives (a full disk, as the process sees it).
class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t ALimit) {
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    rlimit lim = FOld;
    lim.rlim_cur = ALimit;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    std::signal(SIGXFSZ, FOldHandler);
  }

private:
  rlimit FOld{};
  void (*FOldHandler)(int) = nullptr;
};

TEST(FileReceiverFull, WriteFailureKeepsTheTemporaryName) {
  test::TTempHome home;
  const std::string folder = home.Sub("in");
  TFileReceiver receiver;
  {
    TFileSizeLimit limit(4096);
    receiver.Begin(folder, "big.bin", 100000);
    EXPECT_THROW(receiver.Append(TBytes(100000, 7)), TError);
    EXPECT_FALSE(receiver.IsOpen());
    // Small enough to sit in the stream's buffer: the failure shows when the file is closed.
    receiver.Begin(folder, "tail.bin", 5000);
    receiver.Append(TBytes(5000, 1));
    EXPECT_FALSE(receiver.Finish().Complete);
  }
  EXPECT_FALSE(test::FileExists(folder + "/big.bin"));
  EXPECT_TRUE(test::FileExists(folder + "/big.bin.part"));
  EXPECT_FALSE(test::FileExists(folder + "/tail.bin"));
  EXPECT_TRUE(test::FileExists(folder + "/tail.bin.part"));
}

}  // namespace
}  // namespace tlm
