#pragma once
// What quorvel-cli shows while several meters are updated at once: one
// progress line per meter on a terminal, redrawn in place, or lines prefixed
// with the meter's serial otherwise; then the table of results.
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "common/clock.h"
#include "fleet/fleet_update.h"

namespace quorvel::cli {

class FleetDisplay final : public FleetObserver {
 public:
  // `labels`: one short name per meter (its serial) for prefixes and lines.
  FleetDisplay(std::ostream& out, bool terminal, const Clock& wallClock,
               std::vector<std::string> labels);

  void Line(std::size_t meter, std::string_view text) override;
  void Progress(std::size_t meter, const ProgressReport& report) override;
  void Waiting(std::size_t meter, const WaitingReport& report) override;
  void Finished(std::size_t meter, const UpdateReport& report) override;

 private:
  struct MeterLine {
    std::string label;
    std::string status;  // what the meter is doing, when no transfer is under way
    ProgressReport progress{};
    bool transferring = false;
    Millis imageStart{0};
    int shownPercent = -1;
    MeterWait wait = MeterWait::kNone;
  };

  void Redraw();  // terminal only; with the lock held

  std::mutex mutex_;
  std::ostream& out_;
  bool terminal_;
  const Clock& wallClock_;
  std::vector<MeterLine> meters_;
  bool drawn_ = false;
};

// The table after the run: resource, serial, versions before, file, outcome, reason.
std::string RenderFleetTable(const std::vector<UpdateReport>& reports);

// The whole report as JSON.
std::string RenderFleetJson(const std::vector<UpdateReport>& reports, int exitStatus);

}  // namespace quorvel::cli
