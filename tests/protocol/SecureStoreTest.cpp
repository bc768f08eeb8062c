// The identity key file and the pin file: what survives a restart, what a damaged file turns
// into, and that both stay the owner's alone. Runs on Linux and, under Wine, on Windows.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <random>

#include "protocol/Error.h"
#include "protocol/LocalFiles.h"
#include "protocol/SecureStore.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;

// A fresh folder for one case, removed with what it holds afterwards.
class TScratch {
public:
  TScratch() : FPath((fs::temp_directory_path() / ("tlm-securestore-" + std::to_string(std::random_device()()))).string()) {
    fs::create_directories(FPath);
  }
  ~TScratch() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;
  std::string Sub(const std::string& ARel) const { return JoinPath(FPath, ARel); }

private:
  std::string FPath;
};

// POSIX: mode 0600. Windows has no mode bits to check: the files live in the user's profile
// folder, whose access list admits its owner (and the administrators) only.
void ExpectOwnerOnly(const std::string& APath) {
  EXPECT_TRUE(IsRegularFile(APath)) << APath;
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(::stat(APath.c_str(), &st), 0) << APath;
  EXPECT_EQ(st.st_mode & 0777, 0600u) << APath;
#endif
}

void Write(const std::string& APath, const std::string& AText) {
  std::ofstream(APath, std::ios::binary | std::ios::trunc) << AText;
}

TEST(SecureStore, TheIdentityKeyIsMadeOnceAndKeptPrivate) {
  struct TCase {
    const char* Name;
    std::optional<std::string> Stored;  // the file before the first load; nullopt: none
    bool Broken;
  } cases[] = {
      {"no file", std::nullopt, false},
      {"a file that is no key", std::string("tlm-identity-1 not hex at all\n"), true},
      {"an empty file", std::string(""), true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TScratch home;
    const std::string path = home.Sub(IdentityFileName);
    if (c.Stored) Write(path, *c.Stored);
    const TLoadedIdentity first = LoadOrCreateIdentity(path);
    EXPECT_TRUE(first.Created);
    ExpectOwnerOnly(path);
    EXPECT_EQ(first.Replaced.empty(), !c.Broken);
    if (c.Broken) {
      EXPECT_EQ(ReadFileText(first.Replaced), c.Stored);  // kept for whoever wants to look
      ExpectOwnerOnly(first.Replaced);
    }
    // The next start finds the same key: the 보안 코드 does not change from run to run.
    const TLoadedIdentity again = LoadOrCreateIdentity(path);
    EXPECT_FALSE(again.Created);
    EXPECT_EQ(again.Key.PublicKey(), first.Key.PublicKey());
  }
}

TEST(SecureStore, PinsSurviveARestartAndDamagedLinesPinNothing) {
  TScratch home;
  const std::string path = home.Sub(PinFileName);
  const TPublicKey a = TIdentityKey::Generate().PublicKey(), b = TIdentityKey::Generate().PublicKey();
  {
    TPinFile pins(path);
    EXPECT_FALSE(pins.Find("123456789"));
    pins.Save("123456789", a);
    pins.Save("987654321", a);
    pins.Save("123456789", b);  // the user confirmed a new code: it replaces the pin
    EXPECT_EQ(pins.Find("123456789"), b);
    EXPECT_EQ(pins.Find("123 456 789"), b) << "typed in groups, the same partner";
    EXPECT_THROW(pins.Save(" \t ", a), TError);
    EXPECT_THROW(pins.Save(std::string(TPinFile::MaxIdBytes + 1, '1'), a), TError);
    EXPECT_THROW(pins.Save("", a), TError);
  }
  ExpectOwnerOnly(path);
  // Hand-damaged lines next to good ones.
  std::string text = *ReadFileText(path);
  text += "555 zz\n" "nospace\n" "666 " + std::string(64, 'a') + "ff\n\r\n";
  Write(path, text);
  TPinFile reread(path);
  EXPECT_EQ(reread.Find("123456789"), b);
  EXPECT_EQ(reread.Find("987654321"), a);
  EXPECT_FALSE(reread.Find("555"));
  EXPECT_FALSE(reread.Find("666"));
  EXPECT_FALSE(reread.Find("nospace"));
}

TEST(SecureStore, APinThatCannotBeWrittenStillHoldsForThisRun) {
  TScratch home;
  TPinFile pins(home.Sub("no-such-folder/" + std::string(PinFileName)));
  const TPublicKey a = TIdentityKey::Generate().PublicKey();
  EXPECT_THROW(pins.Save("123456789", a), TError);
  EXPECT_EQ(pins.Find("123456789"), a);
}

}  // namespace
}  // namespace tlm
