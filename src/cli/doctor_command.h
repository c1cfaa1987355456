#pragma once
// `doctor`: the diagnosis of why the meter cannot be reached, printed as one
// line per check or as JSON.
#include "cli/backend.h"
#include "cli/commands.h"

namespace quorvel::cli {

// 0 when the backend in use reaches a meter, 4 when it finds none, 2 when the
// check cannot run (an unknown backend or time scale).
ExitStatus RunDoctorCommand(const BackendRequest& backend, bool asJson, Streams streams);

}  // namespace quorvel::cli
