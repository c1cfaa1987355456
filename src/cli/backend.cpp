#include "cli/backend.h"

#include <sstream>

#include "cli/stop_signal.h"
#include "cli/stop_signal_platform.h"
#include "common/message_text.h"
#include "common/scaled_clock.h"
#include "common/utc_time.h"
#include "visa/tracing_visa.h"

namespace quorvel::cli {

namespace {

// The trace's first line: who wrote it, through which backend, and when (UTC),
// so that a trace sent to support explains itself.
std::string TraceHeading(const BackendRequest& request) {
  const std::string started = UtcNowText("%Y-%m-%d %H:%M:%S UTC");
  std::string heading = "quorvel-cli, backend \"" + ArgumentForMessage(request.name) +
                        "\", started " + started;
  if (request.timeScale) {
    std::ostringstream scale;
    scale << *request.timeScale;
    heading += ", time scale " + scale.str();
  }
  return heading;
}

}  // namespace

std::optional<Backend> OpenBackend(const BackendRequest& request, std::string* error) {
  Backend backend;
  if (request.timeScale) {
    if (!IsUsableTimeScale(*request.timeScale)) {
      *error = "--time-scale must lie between 0.001 and 1";
      return std::nullopt;
    }
    backend.clock = std::make_unique<ScaledClock>(*request.timeScale);
  } else {
    backend.clock = std::make_unique<SteadyClock>();
  }

  std::string backendError;
  // A replayed trace presses Ctrl+C where the recorded run had it pressed.
  backend.visa = MakeVisaLibrary(request.name, *backend.clock, &backendError,
                                 {.requestStop = HandleInterrupt});
  if (!backend.visa) {
    *error = "cannot use VISA backend \"" + ArgumentForMessage(request.name) + "\"" +
             (backendError.empty() ? std::string() : ": " + backendError);
    return std::nullopt;
  }
  // A real meter always gets the full waits: shortening them could break an
  // update. Only a backend that serves a simulated meter (sim, or a VISA
  // library that declares it is one) accepts a time scale.
  if (request.timeScale && !backend.visa->ServesSimulatedMeter()) {
    *error = "--time-scale works only with a simulated meter (--visa sim), not with \"" +
             ArgumentForMessage(request.name) + "\"";
    return std::nullopt;
  }
  if (request.traceFile) {
    backend.visa = TraceToFile(std::move(backend.visa), *backend.clock, *request.traceFile,
                               TraceHeading(request), error, StopWasRequested);
    if (!backend.visa) return std::nullopt;
  }
  return backend;
}

}  // namespace quorvel::cli
