#pragma once
// The desktop program: reads its options, opens the VISA backend and runs the
// main window until the operator leaves through Exit.
#include <QStringList>
#include <optional>

#include "console/update_dialog.h"

namespace quorvel {

inline constexpr int kExitBadArguments = 2;  // unknown option or unusable VISA backend

class UpdaterApp {
 public:
  // Hooks for the window's questions; empty members use the real dialogs.
  explicit UpdaterApp(ConsoleHooks hooks = {});

  // --help and --version need no window system: answered with only a
  // QCoreApplication, before the GUI starts. Nothing for other arguments.
  static std::optional<int> AnswerInfoRequest(const QStringList& arguments);

  // Needs a QApplication. Returns the process's exit status.
  int Run(const QStringList& arguments);

 private:
  void ReportStartupError(const std::string& message);

  ConsoleHooks hooks_;
};

}  // namespace quorvel
