#pragma once
// The four commands of quorvel-cli, apart from argument parsing.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/backend.h"
#include "cli/exit_status.h"

namespace quorvel::cli {

struct Streams {
  std::ostream& out;
  std::ostream& err;
  bool outIsTerminal = false;
};

ExitStatus RunList(const BackendRequest& backend, Streams streams);

ExitStatus RunIdentify(const BackendRequest& backend, const std::optional<std::string>& resource,
                       Streams streams);

ExitStatus RunInfo(const std::string& file, bool asJson, Streams streams);

struct UpdateRequest {
  BackendRequest backend;
  std::string file;
  std::vector<std::string> resources;  // --resource, repeatable
  bool all = false;                    // --all: every attached meter in normal mode
  bool verify = false;                 // --verify: check the versions after the restart
  bool asJson = false;
  bool answerYes = false;
};

// Runs the Select button's procedure with `file` as the chosen file, or for
// several meters, --verify or --json the fleet update. Installs the Ctrl+C
// handler for the duration of the program.
ExitStatus RunUpdate(const UpdateRequest& request, Streams streams);

}  // namespace quorvel::cli
