#pragma once
// `update --all`, `update` with several `--resource`, `update --verify`, and
// `history`: the commands for a bench of meters.
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "fleet/fleet_update.h"

namespace quorvel::cli {

// The history file the programs use; a message in *problem when there is none.
std::unique_ptr<UpdateHistory> OpenHistory(std::string* problem);

ExitStatus RunFleet(const UpdateRequest& request, Streams streams);

struct HistoryRequest {
  bool asJson = false;
  std::optional<std::string> serial;
};
ExitStatus RunHistory(const HistoryRequest& request, Streams streams);

}  // namespace quorvel::cli
