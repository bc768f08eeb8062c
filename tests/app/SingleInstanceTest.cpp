// One copy of the program per configuration folder: the lock and the call to the running copy
// in process, then the real program started twice.
#include <gtest/gtest.h>

#include <fstream>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/SingleInstance.h"
#include "tests/app/QtWait.h"

extern char** environ;

namespace tlm {
namespace {

namespace fs = std::filesystem;

fs::path FreshFolder(const char* ATag) {
  const fs::path dir = fs::temp_directory_path() / ("tlmone-" + std::to_string(::getpid()) + "-" + ATag);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(SingleInstance, SecondClaimFailsAndCallsTheFirst) {
  const fs::path dir = FreshFolder("inproc");
  const fs::path other = FreshFolder("other");
  int activations = 0;
  {
    TSingleInstance first(QString::fromStdString(dir.string()));
    ASSERT_TRUE(first.Acquire());
    first.OnActivate = [&] { ++activations; };
    TSingleInstance second(QString::fromStdString(dir.string()));
    EXPECT_FALSE(second.Acquire());
    EXPECT_TRUE(WaitFor([&] { return activations == 1; }));
    TSingleInstance elsewhere(QString::fromStdString(other.string()));
    EXPECT_TRUE(elsewhere.Acquire()) << "another configuration folder is another program";
  }
  TSingleInstance later(QString::fromStdString(dir.string()));
  EXPECT_TRUE(later.Acquire()) << "the lock goes with its owner";
  fs::remove_all(dir);
  fs::remove_all(other);
}

// The real program, started twice on one configuration folder (offscreen, inside the test's
// own network namespace when ctest gives it one, so no relay is ever reached).
class ProgramRun {
public:
  explicit ProgramRun(const fs::path& AConfig) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("TLMREMOTE_", 0) != 0) env.push_back(*e);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("TLMREMOTE_HOST=127.0.0.1");
    env.push_back("TLMREMOTE_CONFIGDIR=" + AConfig.string());
    env.push_back("TLMREMOTE_LOGFILE=" + (AConfig / "log.txt").string());
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string path = TLM_CLIENT_PATH;
    char* argv[] = {path.data(), nullptr};
    EXPECT_EQ(::posix_spawn(&FPid, path.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  }
  ~ProgramRun() {
    if (FPid > 0 && !FDone) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  // The exit status, or -1 when still running after AMs.
  int ExitWithin(int AMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
    for (;;) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FDone = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void Kill() {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
    FDone = true;
  }

private:
  pid_t FPid = -1;
  bool FDone = false;
};

TEST(SingleInstance, SecondStartOfTheProgramEndsAndTheFirstRuns) {
  // A first start ever: the configuration folder does not exist yet.
  const fs::path parent = FreshFolder("program");
  const fs::path dir = parent / "TLMRemote";
  ProgramRun first(dir);
  // The first copy is up once it wrote its device key.
  ASSERT_TRUE(WaitFor([&] { return fs::exists(dir / "config.ini") && fs::exists(dir / "instance.lock"); }, 20000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ProgramRun second(dir);
  EXPECT_EQ(second.ExitWithin(20000), 0);
  EXPECT_EQ(first.ExitWithin(500), -1) << "the first copy keeps running";
  first.Kill();  // dies without clean-up: its lock is stale
  ProgramRun third(dir);
  EXPECT_EQ(third.ExitWithin(2000), -1) << "a dead copy's lock does not keep the program out";
  third.Kill();
  fs::remove_all(parent);
}

// --help answers without a display, with the options and every variable the README lists.
TEST(ProgramHelp, ListsOptionsAndEveryEnvironmentVariable) {
  const std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY ") + TLM_CLIENT_PATH + " --help";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_TRUE(pipe);
  std::string out;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const char* option : {"--help", "--version"}) EXPECT_NE(out.find(option), std::string::npos) << option;
  std::ifstream readme(TLM_README_PATH);
  std::string line;
  bool inTable = false;
  int variables = 0;
  while (std::getline(readme, line)) {
    if (line.starts_with("## ")) inTable = line == "## Environment variables";
    if (!inTable || !line.starts_with("| `")) continue;
    const std::string name = line.substr(3, line.find('`', 3) - 3);
    ++variables;
    EXPECT_NE(out.find("  " + name + " "), std::string::npos) << name;
  }
  EXPECT_GT(variables, 5);
}

}  // namespace
}  // namespace tlm

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
