#include "cli/backend.h"

#include <sstream>

#include "cli/stop_signal.h"
#include "cli/stop_signal_platform.h"
#include "common/message_text.h"
#include "common/utc_time.h"

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
  return quorvel::OpenBackend({.name = request.name,
                               .timeScale = request.timeScale,
                               .traceFile = request.traceFile,
                               .traceHeading = TraceHeading(request),
                               .hooks = {.requestStop = HandleInterrupt},
                               .stopRequested = StopWasRequested},
                              error);
}

}  // namespace quorvel::cli
