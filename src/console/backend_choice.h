#pragma once
// Which VISA backend the desktop program talks through.
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// Until the USB backend is ready the program starts on the simulated meter.
inline constexpr std::string_view kDefaultVisaBackend = "usbtmc";
inline constexpr const char* kVisaBackendVariable = "QUORVEL_VISA";

// The command line wins, then a non-empty environment variable, then the default.
std::string ChooseVisaBackend(const std::optional<std::string>& commandLine,
                              const char* environment);

}  // namespace quorvel
