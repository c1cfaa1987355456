#pragma once
// `update --all`, `update` with several `--resource`, `update --verify`, and
// `history`: the commands for a bench of meters.
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "fleet/fleet_update.h"

namespace quorvel::cli {

// The exit status one meter's result stands for.
ExitStatus ExitStatusOf(const UpdateReport& report);
// The worse of two statuses, from mildest: 0, 3, 6, 4, 7, 1, 5, 130.
ExitStatus WorseExitStatus(ExitStatus a, ExitStatus b);
// The worst of them: 0 only when every meter succeeded.
ExitStatus WorstExitStatus(const std::vector<UpdateReport>& reports);

// The history file the programs use; a message in *problem when there is none.
std::unique_ptr<UpdateHistory> OpenHistory(std::string* problem);

ExitStatus RunFleet(const UpdateRequest& request, Streams streams);

struct HistoryRequest {
  bool asJson = false;
  std::optional<std::string> serial;
};
ExitStatus RunHistory(const HistoryRequest& request, Streams streams);

}  // namespace quorvel::cli
