// windows.h first: shellapi.h builds on its types.
#include <windows.h>
// (this comment keeps the include sorter from moving windows.h down)
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "cli/console_io.h"
#include "common/wide_text.h"

namespace quorvel::cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

ConsoleOutputSetup::ConsoleOutputSetup() {
  // The C runtime would turn every "\n" into "\r\n"; the output stays exactly
  // what the log holds, as on Linux (every current Windows console and editor
  // reads bare line feeds).
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
  previousCodePage_ = GetConsoleOutputCP();
  if (previousCodePage_ != 0) SetConsoleOutputCP(CP_UTF8);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    previousMode_ = mode;
    modeChanged_ = SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  }
}

ConsoleOutputSetup::~ConsoleOutputSetup() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (modeChanged_) SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), previousMode_);
  if (previousCodePage_ != 0) SetConsoleOutputCP(previousCodePage_);
}

}  // namespace quorvel::cli
