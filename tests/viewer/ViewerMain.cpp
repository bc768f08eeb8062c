// One QApplication for all window tests, on the offscreen platform, with a private home
// folder (downloads land there) and a locale whose thousands separator is a comma.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/Folders.h"

// The offscreen platform warns about every top-level window it cannot size-hint.
static void QuietMessages(QtMsgType AType, const QMessageLogContext& AContext, const QString& AText) {
  if (AText.contains(QLatin1String("propagateSizeHints"))) return;
  fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(AType, AContext, AText)));
}

int main(int argc, char** argv) {
  qInstallMessageHandler(QuietMessages);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
#ifdef TLM_TEST_SCALE_FACTOR
  ::setenv("QT_SCALE_FACTOR", TLM_TEST_SCALE_FACTOR, 1);  // a display with more device pixels
#endif
  ::setenv("LC_ALL", "en_US.UTF-8", 1);
  ::unsetenv("TLMREMOTE_RESULTFILE");
  ::unsetenv("XDG_CONFIG_HOME");
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("tlm-viewer-home-" + std::to_string(::getpid()));
  std::filesystem::create_directories(home);
  ::setenv("HOME", home.c_str(), 1);
  tlm::SetUserFolders({home.string(), ""});
  ::testing::InitGoogleTest(&argc, argv);
  int result = 0;
  {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    result = RUN_ALL_TESTS();
  }
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return result;
}
