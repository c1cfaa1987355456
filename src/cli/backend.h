#pragma once
// Choosing the VISA backend and the clock from the command line.
#include <optional>
#include <string>

#include "backends/open_backend.h"

namespace quorvel::cli {

struct BackendRequest {
  std::string name{kDefaultVisaBackend};
  std::optional<double> timeScale;  // --time-scale; only the simulated meter accepts one
  std::optional<std::string> traceFile;  // --trace or QUORVEL_TRACE: every VISA call goes there
};

using Backend = OpenedBackend;

// The backend with its clock, and the trace when asked for; Ctrl+C stops a
// replayed trace where the recorded run was stopped.
std::optional<Backend> OpenBackend(const BackendRequest& request, std::string* error);

}  // namespace quorvel::cli
