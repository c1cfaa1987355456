// quorvel: the desktop program that updates a multimeter's firmware.
#include <QApplication>
#include <QPalette>
#include <QStyleFactory>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "common/version.h"
#include "console/app_icon.h"
#include "console/console_texts.h"
#include "console/desktop_session.h"
#include "console/updater_app.h"

namespace {

// QUORVEL_COLOR_SCHEME=dark: a dark window where the desktop gives Qt no
// scheme of its own (and for the dark screenshots).
void ApplyColorScheme(QApplication& app) {
  if (qEnvironmentVariable("QUORVEL_COLOR_SCHEME") != QLatin1String("dark")) return;
  app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
  dark.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
  dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
  dark.setColor(QPalette::AlternateBase, QColor(0x2d, 0x2d, 0x2d));
  dark.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xe8));
  dark.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
  dark.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xe8));
  dark.setColor(QPalette::Highlight, QColor(0x3d, 0x6f, 0xa8));
  dark.setColor(QPalette::HighlightedText, QColor(0xff, 0xff, 0xff));
  dark.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3a));
  dark.setColor(QPalette::ToolTipText, QColor(0xe8, 0xe8, 0xe8));
  dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
  dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
  QApplication::setPalette(dark);
}

}  // namespace

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
  ApplyColorScheme(app);
  return quorvel::UpdaterApp().Run(QApplication::arguments());
}
