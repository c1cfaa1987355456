#pragma once
// Where quorvel-cli meets the operating system's command line and terminal.
// Inside, every text is UTF-8; Windows hands arguments over as UTF-16 and
// prints to its console in a code page, so the conversion happens here.
#include <string>
#include <vector>

namespace quorvel::cli {

// The program's arguments in UTF-8 (on Windows read from the wide command
// line, since argv holds them in the ANSI code page, which loses characters).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// True when standard output is an interactive terminal (progress bar) rather
// than a pipe or file (one line per percent).
bool StandardOutputIsTerminal();

// Makes the terminal show UTF-8 and the progress bar's escape codes, and
// keeps output byte for byte as written. Undone when the object goes.
class ConsoleOutputSetup {
 public:
  ConsoleOutputSetup();
  ~ConsoleOutputSetup();
  ConsoleOutputSetup(const ConsoleOutputSetup&) = delete;
  ConsoleOutputSetup& operator=(const ConsoleOutputSetup&) = delete;

 private:
  // What the Windows console had before; a POSIX terminal needs no setting up.
  [[maybe_unused]] unsigned int previousCodePage_ = 0;
  [[maybe_unused]] unsigned long previousMode_ = 0;
  [[maybe_unused]] bool modeChanged_ = false;
};

}  // namespace quorvel::cli
