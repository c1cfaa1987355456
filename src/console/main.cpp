// quorvel: the desktop program that updates a multimeter's firmware.
#include <QApplication>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "common/version.h"
#include "console/app_icon.h"
#include "console/console_texts.h"
#include "console/desktop_session.h"
#include "console/updater_app.h"

int main(int argc, char** argv) {
  {
    // --help and --version work without a display.
    const QCoreApplication textOnly(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel"));
    if (const auto answered =
            quorvel::UpdaterApp::AnswerInfoRequest(QCoreApplication::arguments())) {
      return *answered;
    }
  }
  const std::vector<std::string> arguments(argv, argv + argc);
  if (!quorvel::HasDesktopSession(arguments, [](const char* name) { return std::getenv(name); })) {
    std::cerr << quorvel::kNeedsDesktopSession << "\n";
    return quorvel::kExitNoDesktop;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quorvel"));
  QApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
  QApplication::setWindowIcon(quorvel::AppIcon());
  return quorvel::UpdaterApp().Run(QApplication::arguments());
}
