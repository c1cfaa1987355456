#include "cli/backend.h"

#include "cli/scaled_clock.h"
#include "common/message_text.h"

namespace quorvel::cli {

bool IsSimulatedBackend(std::string_view name) { return name == "sim" || name.starts_with("sim:"); }

std::optional<Backend> OpenBackend(const BackendRequest& request, std::string* error) {
  Backend backend;
  if (request.timeScale) {
    // A real meter always gets the full waits: shortening them could break an update.
    if (!IsSimulatedBackend(request.name)) {
      *error = "--time-scale works only with the simulated meter (--visa sim), not with \"" +
               ArgumentForMessage(request.name) + "\"";
      return std::nullopt;
    }
    if (!IsUsableTimeScale(*request.timeScale)) {
      *error = "--time-scale must lie between 0.001 and 1";
      return std::nullopt;
    }
    backend.clock = std::make_unique<ScaledClock>(*request.timeScale);
  } else {
    backend.clock = std::make_unique<SteadyClock>();
  }

  std::string backendError;
  backend.visa = MakeVisaLibrary(request.name, *backend.clock, &backendError);
  if (!backend.visa) {
    *error = "cannot use VISA backend \"" + ArgumentForMessage(request.name) + "\"" +
             (backendError.empty() ? std::string() : ": " + backendError);
    return std::nullopt;
  }
  return backend;
}

}  // namespace quorvel::cli
