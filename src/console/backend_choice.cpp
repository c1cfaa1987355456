#include "console/backend_choice.h"

namespace quorvel {

std::string ChooseVisaBackend(const std::optional<std::string>& commandLine,
                              const char* environment) {
  if (commandLine) return *commandLine;
  if (environment != nullptr && *environment != '\0') return environment;
  return std::string(kDefaultVisaBackend);
}

}  // namespace quorvel
