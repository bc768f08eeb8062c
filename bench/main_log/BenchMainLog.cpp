// Prints how long one log entry takes in the main window (cut, trim to the newest lines, append)
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

#include "app/ClientMain.h"
#include "app/QtDispatcher.h"
#include "platform/fake/FakeScreen.h"
#include "tests/support/Loopback.h"

using namespace tlm;

namespace {

constexpr int Rounds = 5;

// Fills the log with wrapped entries, then times one entry of AText; the median of Rounds.
double EntryMs(TfrmClientMain& AForm, const QString& AText) {
  std::vector<double> times;
  for (int r = 0; r < Rounds; ++r) {
    for (int i = 0; i < 120; ++i) AForm.AddLog(QString("filler %1 ").arg(i + r * 1000).repeated(12));
    const auto start = std::chrono::steady_clock::now();
    AForm.AddLog(AText + QString::number(r));  // never a repeat of the previous entry
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
  ::setenv("TLMREMOTE_CONFIGDIR", dir.c_str(), 1);
  ::unsetenv("TLMREMOTE_LOGFILE");
  QApplication app(argc, argv);
  {
    TQtDispatcher ui;
    THostServices services;
    services.MakeScreen = [] { return std::make_shared<TFakeScreen>(64, 64); };
    uint16_t closedPort = 0;
    {
      test::TLoopbackListener gone;
      closedPort = gone.Port();
    }
    TMainDialogs dialogs;
    dialogs.Info = dialogs.Error = [](QWidget*, const QString&) {};
    TfrmClientMain form(ui, services, dialogs, nullptr, closedPort);
    form.show();

    const double base = EntryMs(form, QStringLiteral("짧은 한 줄"));
    std::printf("log entry, log full of wrapped entries (median of %d)\n", Rounds);
    std::printf("  %-16s %9.3f ms   1.0x (baseline)\n", "short line", base);
    for (const int kib : {64, 256, 1024}) {
      const QString chat = QStringLiteral("[채팅] 원격: ") + QString(kib * 1024, QChar('m'));
      const double ms = EntryMs(form, chat);
      std::printf("  %-16s %9.3f ms %6.1fx\n", (std::to_string(kib) + " KiB chat").c_str(), ms, ms / base);
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
