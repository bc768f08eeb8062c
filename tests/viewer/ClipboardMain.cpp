// The clipboard tests need a real selection owner in another process, so they run on the
// xcb platform against a private Xvfb started before the QApplication.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <cstring>
#include <memory>

#include "tests/support/XvfbServer.h"

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) listing = true;
  ::testing::InitGoogleTest(&argc, argv);
  if (listing) return RUN_ALL_TESTS();
  tlm::test::TXvfbServer xvfb(640, 480, 24);
  if (!xvfb.Running()) {
    fprintf(stderr, "no Xvfb: %s\n", xvfb.Error().c_str());
    return 1;
  }
  xvfb.ExportDisplay();
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
