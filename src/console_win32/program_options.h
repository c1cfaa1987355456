#pragma once
// The Windows window's command line: --visa, --trace, --time-scale, --help
// and --version.
#include <optional>
#include <string>
#include <vector>

namespace quorvel::win32 {

struct ProgramOptions {
  std::optional<std::string> visa;   // else QUORVEL_VISA, else the default backend
  std::optional<std::string> trace;  // else QUORVEL_TRACE, else no trace
  std::optional<double> timeScale;   // a simulated meter's time runs this much faster
  bool help = false;
  bool version = false;
};

// `arguments` without the program's name. Options take their value as the
// next argument or after '='. Nullopt, with the reason in *error, for an
// unknown option, a missing value or a stray argument.
std::optional<ProgramOptions> ParseProgramOptions(const std::vector<std::string>& arguments,
                                                  std::string* error);

// What --help shows.
std::string ProgramUsage();

}  // namespace quorvel::win32
