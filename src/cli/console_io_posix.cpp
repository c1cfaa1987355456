#include <unistd.h>

#include "cli/console_io.h"

namespace quorvel::cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

// A POSIX terminal takes UTF-8 and escape codes as they come.
ConsoleOutputSetup::ConsoleOutputSetup() = default;
ConsoleOutputSetup::~ConsoleOutputSetup() = default;

}  // namespace quorvel::cli
