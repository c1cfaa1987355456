#pragma once
// Which VISA backend the desktop program talks through.
#include <optional>
#include <string>
#include <string_view>

#include "backends/backends.h"

namespace quorvel {

// The command line wins, then a non-empty environment variable, then the default.
std::string ChooseVisaBackend(const std::optional<std::string>& commandLine,
                              const char* environment);

}  // namespace quorvel
