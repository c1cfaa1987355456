#include "console_win32/program_options.h"

#include <cstdlib>
#include <string_view>

#include "backends/backends.h"
#include "visa/tracing_visa.h"

namespace quorvel::win32 {

std::optional<ProgramOptions> ParseProgramOptions(const std::vector<std::string>& arguments,
                                                  std::string* error) {
  ProgramOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h" || argument == "/?") {
      options.help = true;
      continue;
    }
    if (argument == "--version") {
      options.version = true;
      continue;
    }
    std::optional<std::string> timeScale;
    std::optional<std::string>* target = nullptr;
    std::string_view name = argument.substr(0, argument.find('='));
    if (name == "--visa") target = &options.visa;
    if (name == "--trace") target = &options.trace;
    if (name == "--time-scale") target = &timeScale;
    if (target == nullptr) {
      *error = (argument.starts_with("-") ? "unknown option: " : "unexpected argument: ") +
               std::string(argument);
      return std::nullopt;
    }
    if (name.size() < argument.size()) {
      *target = std::string(argument.substr(name.size() + 1));
    } else if (i + 1 < arguments.size()) {
      *target = arguments[++i];
    } else {
      *error = "missing value for " + std::string(name);
      return std::nullopt;
    }
    if ((*target)->empty()) {
      *error = "empty value for " + std::string(name);
      return std::nullopt;
    }
    if (timeScale) {
      char* end = nullptr;
      const double scale = std::strtod(timeScale->c_str(), &end);
      if (end != timeScale->c_str() + timeScale->size() || !(scale > 0.0 && scale <= 1.0)) {
        *error = "--time-scale must lie between 0.001 and 1";
        return std::nullopt;
      }
      options.timeScale = scale;
    }
  }
  return options;
}

std::string ProgramUsage() {
  return "Usage: quorvel.exe [--visa NAME] [--trace FILE] [--time-scale S]\n\n"
         "Updates the firmware of a USBTMC multimeter.\n\n"
         "--visa NAME   VISA backend: sim[:knob=value,...] for the simulated meter, or "
         "system[:path=FILE] for an installed VISA library. Default: the " +
         std::string(kVisaBackendVariable) + " environment variable, else " +
         std::string(kDefaultVisaBackend) +
         ".\n"
         "--trace FILE  Write every VISA call to FILE, with times and bytes, for support. "
         "Default: the " +
         std::string(kTraceEnvironmentVariable) + " environment variable, else no trace.\n"
         "--time-scale S  With a simulated meter only: its waits and the update's pass S times\n"
         "              as long (0.001 to 1), for demonstrations and tests.\n";
}

}  // namespace quorvel::win32
