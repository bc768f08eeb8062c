// Prints how long one log entry takes from the client core to the main window (cut, trim to the
// newest lines, append)
// for a short line and for long chat lines, each into a log already full of wrapped entries, and
// each long line's time as a multiple of the short line's, measured in the same run.
// Figures only: nothing here passes or fails.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/ClientApp.h"
#include "app/ClientMain.h"
#include "qtui/QtDispatcher.h"
#include "platform/fake/FakeScreen.h"
#include "tests/support/Loopback.h"

using namespace tlm;

namespace {

constexpr int Rounds = 5;

// Fills the log with wrapped entries, then times one entry of AText; the median of Rounds.
double EntryMs(TClientApp& ACore, const std::string& AText) {
  std::vector<double> times;
  for (int r = 0; r < Rounds; ++r) {
    for (int i = 0; i < 120; ++i) ACore.AddLog(QString("filler %1 ").arg(i + r * 1000).repeated(12).toStdString());
    const auto start = std::chrono::steady_clock::now();
    ACore.AddLog(AText + std::to_string(r));  // never a repeat of the previous entry
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tlm-bench-log-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  QApplication app(argc, argv);
  {
    TQtDispatcher ui;
    TEnvironment env;
    env.ConfigDir = dir.string();
    TClientParts parts;
    parts.Services.MakeScreen = [] { return std::make_shared<TFakeScreen>(64, 64); };
    {
      test::TLoopbackListener gone;
      parts.RelayPort = gone.Port();
    }
    TClientApp core(ui, env, std::move(parts));
    TMainDialogs dialogs;
    dialogs.Info = dialogs.Error = [](QWidget*, const QString&) {};
    TfrmClientMain form(core, dialogs);
    core.Start();
    form.show();

    const double base = EntryMs(core, "짧은 한 줄");
    std::printf("log entry, log full of wrapped entries (median of %d)\n", Rounds);
    std::printf("  %-16s %9.3f ms   1.0x (baseline)\n", "short line", base);
    for (const int kib : {64, 256, 1024}) {
      const std::string chat = "[채팅] 원격: " + std::string(size_t(kib) * 1024, 'm');
      const double ms = EntryMs(core, chat);
      std::printf("  %-16s %9.3f ms %6.1fx\n", (std::to_string(kib) + " KiB chat").c_str(), ms, ms / base);
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
