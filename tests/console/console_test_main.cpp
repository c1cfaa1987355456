// Runs the console tests inside one QApplication, offscreen unless a platform
// was chosen explicitly.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <QStandardPaths>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
  }
  // Settings the window remembers (the chooser's folder) go to a test folder.
  QStandardPaths::setTestModeEnabled(true);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
