#pragma once
// Choosing the VISA backend and the clock from the command line.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "backends/backends.h"

namespace quorvel::cli {

// The backend used when neither --visa nor QUORVEL_VISA names one.
using quorvel::kDefaultVisaBackend;
using quorvel::kVisaBackendVariable;

struct BackendRequest {
  std::string name{kDefaultVisaBackend};
  std::optional<double> timeScale;  // --time-scale; only the simulated meter accepts one
  std::optional<std::string> traceFile;  // --trace or QUORVEL_TRACE: every VISA call goes there
};

// The clock and the VISA library a command works with. The library may read
// the clock (the simulated meter does), so the clock is declared first and
// outlives it.
struct Backend {
  std::unique_ptr<Clock> clock;
  std::unique_ptr<VisaLibrary> visa;  // traced when a trace file was asked for
};

// Opens the backend with its clock, and the trace when asked for; nothing and a
// message in *error when the name, a knob, the time scale or the trace file is
// not usable.
std::optional<Backend> OpenBackend(const BackendRequest& request, std::string* error);

}  // namespace quorvel::cli
