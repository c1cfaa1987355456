#include "backends/open_backend.h"

#include "common/message_text.h"
#include "common/scaled_clock.h"
#include "visa/system/system_visa.h"
#include "visa/tracing_visa.h"

namespace quorvel {

std::string ChooseVisaBackend(const std::optional<std::string>& commandLine,
                              const char* environment) {
  if (commandLine) return *commandLine;
  if (environment != nullptr && *environment != '\0') return environment;
  return std::string(kDefaultVisaBackend);
}

std::optional<OpenedBackend> OpenBackend(const BackendSetup& setup, std::string* error) {
  OpenedBackend backend;
  if (setup.timeScale) {
    if (!IsUsableTimeScale(*setup.timeScale)) {
      *error = "--time-scale must lie between 0.001 and 1";
      return std::nullopt;
    }
    backend.clock = std::make_unique<ScaledClock>(*setup.timeScale);
  } else {
    backend.clock = std::make_unique<SteadyClock>();
  }

  std::string backendError;
  backend.visa = MakeVisaLibrary(setup.name, *backend.clock, &backendError, setup.hooks);
  if (!backend.visa) {
    *error = "cannot use VISA backend \"" + ArgumentForMessage(setup.name) + "\"" +
             (backendError.empty() ? std::string() : ": " + backendError);
    return std::nullopt;
  }
  // A real meter always gets the full waits: shortening them could break an
  // update. Only a backend that serves a simulated meter (sim, or a VISA
  // library that declares it is one) accepts a time scale.
  if (setup.timeScale && !backend.visa->ServesSimulatedMeter()) {
    *error = "--time-scale works only with a simulated meter (--visa sim), not with \"" +
             ArgumentForMessage(setup.name) + "\"";
    return std::nullopt;
  }
  if (const auto* system = dynamic_cast<const SystemVisa*>(backend.visa.get())) {
    backend.loadedLibrary = system->file();
  }
  if (setup.traceFile) {
    backend.visa = TraceToFile(std::move(backend.visa), *backend.clock, *setup.traceFile,
                               setup.traceHeading, error, setup.stopRequested);
    if (!backend.visa) return std::nullopt;
  }
  return backend;
}

}  // namespace quorvel
