// TClipboardSync against another X client (xclip) that owns the clipboard selection.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "qtui/ClipboardSync.h"

extern char** environ;

namespace tlm {
namespace {

bool WaitUntil(const std::function<bool()>& APred, int ATimeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
  while (!APred()) {
    if (std::chrono::steady_clock::now() > deadline) return APred();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Another program that copies: xclip owning the clipboard until it is stopped or replaced.
class TOtherProgram {
public:
  ~TOtherProgram() { Stop(); }
  void Copy(const std::string& AData, const char* AMimeType = "UTF8_STRING") {
    Stop();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"xclip", "-quiet", "-selection", "clipboard", "-t", AMimeType, "-i", nullptr};
    ASSERT_EQ(posix_spawnp(&FPid, "xclip", &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    ASSERT_EQ(::write(fds[1], AData.data(), AData.size()), static_cast<ssize_t>(AData.size()));
    ::close(fds[1]);
  }
  // The owner goes away: the clipboard is empty.
  void Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
  }

private:
  pid_t FPid = -1;
};

// What another program reads from the clipboard now. Our own process may be the owner, so
// the Qt event loop keeps running to answer the request while xclip waits.
std::string PasteElsewhere() {
  std::string out;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    FILE* p = ::popen("xclip -selection clipboard -o 2>/dev/null", "r");
    if (p) {
      char buf[256];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      ::pclose(p);
    } else {
      out = "<popen failed>";
    }
    done = true;
  });
  WaitUntil([&] { return done.load(); }, 20000);
  reader.join();
  return out;
}

class ClipboardSyncTest : public ::testing::Test {
protected:
  void AttachReports(TClipboardSync& ASync) {
    ASync.OnLocalCopy = [this](const QString& AText) { FReports << AText; };
  }
  // Another copy, reported once it arrives: everything before it has been seen by then.
  void CopyAndWait(const std::string& AText) {
    FOther.Copy(AText);
    ASSERT_TRUE(WaitUntil([&] { return !FReports.isEmpty() && FReports.back() == QString::fromStdString(AText); }))
        << AText;
  }
  TOtherProgram FOther;
  QStringList FReports;
};

TEST_F(ClipboardSyncTest, LocalCopiesAreReportedOnceAndNeverTwice) {
  FOther.Copy("already there");
  ASSERT_TRUE(WaitUntil([] { return QGuiApplication::clipboard()->text() == "already there"; }));
  TClipboardSync sync;
  AttachReports(sync);
  EXPECT_EQ(sync.Last(), "already there");

  CopyAndWait("hello");
  FOther.Copy("hello");  // the same text again
  FOther.Copy("\x89PNG fake picture", "image/png");  // no text form
  EXPECT_EQ(sync.Last(), "hello");
  FOther.Copy("hello");
  FOther.Stop();  // emptied
  CopyAndWait("world");
  EXPECT_EQ(FReports, (QStringList{"hello", "world"}));
}

TEST_F(ClipboardSyncTest, RemoteTextIsAppliedWithoutBeingReportedBack) {
  TClipboardSync sync;
  AttachReports(sync);
  CopyAndWait("local");

  sync.ApplyRemote("local");  // equal to the last text: nothing happens
  EXPECT_EQ(PasteElsewhere(), "local");

  sync.ApplyRemote(QString::fromUtf8("원격에서 온 글"));
  EXPECT_EQ(sync.Last(), QString::fromUtf8("원격에서 온 글"));
  ASSERT_TRUE(WaitUntil([] { return PasteElsewhere() == "원격에서 온 글"; }));
  // Exactly the one echo is consumed: the next real copy is reported, nothing before it.
  CopyAndWait("after");
  EXPECT_EQ(FReports, (QStringList{"local", "after"}));

  sync.ApplyRemote(QString());
  EXPECT_EQ(sync.Last(), QString());
  ASSERT_TRUE(WaitUntil([] { return PasteElsewhere().empty(); }));
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(data, nullptr);
  EXPECT_TRUE(data->hasText());
  CopyAndWait("last");
  EXPECT_EQ(FReports, (QStringList{"local", "after", "last"}));
}

TEST_F(ClipboardSyncTest, NothingIsReportedAfterDestruction) {
  bool reported = false;
  {
    TClipboardSync sync;
    sync.OnLocalCopy = [&](const QString&) { reported = true; };
  }
  TClipboardSync witness;
  AttachReports(witness);
  CopyAndWait("later");
  EXPECT_FALSE(reported);
}

}  // namespace
}  // namespace tlm
