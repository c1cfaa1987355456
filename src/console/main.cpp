// quorvel: the desktop program that updates a multimeter's firmware.
#include <QApplication>

#include "common/version.h"
#include "console/app_icon.h"
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
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quorvel"));
  QApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
  QApplication::setWindowIcon(quorvel::AppIcon());
  return quorvel::UpdaterApp().Run(QApplication::arguments());
}
