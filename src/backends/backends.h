#pragma once
// The composition root of the VISA layer: the one place that knows every
// backend. The front ends choose a backend by name here; the backends
// themselves know nothing of each other.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "visa/visa_library.h"

namespace quorvel {

// The backend both programs use when told nothing. On Windows the usbtmc
// backend is not built (no libusb there): the meter is reached through the
// VISA library installed with the vendor's software.
#ifdef _WIN32
inline constexpr std::string_view kDefaultVisaBackend = "system";
#else
inline constexpr std::string_view kDefaultVisaBackend = "usbtmc";
#endif
// The environment variable that names the backend for both programs.
inline constexpr const char* kVisaBackendVariable = "QUORVEL_VISA";

// Why "usbtmc" cannot be chosen on Windows.
inline constexpr std::string_view kUsbtmcLinuxOnly =
    "the usbtmc backend is built for Linux only (it needs libusb); on Windows use \"system\", "
    "the VISA library installed with the meter's software";

// What a front end lends the backends: a replayed trace presses Ctrl+C
// through `requestStop` where the recorded run had it pressed.
struct BackendHooks {
  std::function<void()> requestStop;
};

// Creates a backend by name: "sim[:key=value,...]" (the simulated meter with
// its knobs), "usbtmc" (USBTMC over libusb), "system[:path=FILE]" (an
// installed VISA library) or "replay:FILE" (a trace served as the meter). On
// failure returns null and puts a message naming the problem into *error.
std::unique_ptr<VisaLibrary> MakeVisaLibrary(std::string_view name, Clock& clock,
                                             std::string* error, const BackendHooks& hooks = {});

// True when `name` ("name" or "name:options") names one of the backends.
bool IsVisaBackendName(std::string_view name);

// Why a meter that is attached may still not be found with this backend (on
// USB: this user may not open it, and how to change that); empty when there
// is nothing to add to "not found".
std::string MeterAccessHint(std::string_view backendName);

}  // namespace quorvel
