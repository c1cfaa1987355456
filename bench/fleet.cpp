// Fleet benchmark: 1, 2, 4 and 8 simulated meters updated side by side in
// real time from one .pak. Run by hand:
//   build/release/bench/fleet
// Prints each run's wall time against the single meter's and the CPU time
// over wall time (the workers spend nearly all of it waiting, which must
// never spin). Target: 8 meters within 1.05 times one, CPU under 5 % of a core.
#include <cstdio>
#include <string>
#include <vector>

#include "common/clock.h"
#include "firmware/file_source.h"
#include "fleet/fleet_update.h"
#include "sim/sim_visa.h"
#include "process_times.h"
#include "support/firmware_builder.h"

namespace quorvel {
namespace {

using bench::CpuSeconds;
using bench::WallSeconds;

class QuietObserver final : public FleetObserver {
 public:
  void Line(std::size_t, std::string_view) override {}
  void Progress(std::size_t, const ProgressReport&) override {}
  void Finished(std::size_t, const UpdateReport&) override {}
};

struct Run {
  double wall = 0;
  double cpu = 0;
  bool allInstalled = false;
};

Run UpdateMeters(std::size_t meters, const std::string& path) {
  std::string error;
  const auto config = SimConfig::Parse("meters=" + std::to_string(meters), &error);
  SteadyClock clock;
  SimVisa sim(*config, clock);
  DiskFileSystem files;
  QuietObserver observer;
  FleetRequest request{.path = path};
  for (std::size_t i = 0; i < meters; ++i) request.resources.push_back(sim.meter(i).resourceName());

  const double wallStart = WallSeconds();
  const double cpuStart = CpuSeconds();
  const std::vector<UpdateReport> reports = RunFleetUpdate(sim, clock, files, request, observer);
  Run run{.wall = WallSeconds() - wallStart, .cpu = CpuSeconds() - cpuStart};
  run.allInstalled = true;
  for (const UpdateReport& report : reports) {
    run.allInstalled = run.allInstalled && report.outcome == UpdateOutcome::kInstalled;
  }
  return run;
}

}  // namespace
}  // namespace quorvel

int main() {
  using namespace quorvel;
  testing::TempDir dir;
  // Three images of a few frames each: the waits, not the bytes, make the time.
  const std::string path = dir.Write(
      "bench.pak",
      testing::PakBuilder()
          .AddImage(testing::BinBuilder().Version("01.30").Payload(1000).WithCrc(), "dsp.bin")
          .AddImage(testing::BinBuilder().Target(1).Version("06.00").Payload(700).WithCrc(),
                    "panel.bin")
          .AddImage(testing::BinBuilder().Version("01.30").Payload(400).WithCrc(), "dsp-check.bin")
                       .Bytes());
  std::printf("%-7s %10s %8s %8s  %s\n", "meters", "wall ms", "ratio", "cpu %", "outcome");
  double single = 0;
  double ratio = 0;
  double cpuPercent = 0;
  bool allGood = true;
  for (const std::size_t meters : {1u, 2u, 4u, 8u}) {
    const Run run = UpdateMeters(meters, path);
    if (meters == 1) single = run.wall;
    ratio = run.wall / single;
    cpuPercent = 100.0 * run.cpu / run.wall;
    allGood = allGood && run.allInstalled;
    std::printf("%-7zu %10.0f %8.4f %8.2f  %s\n", meters, run.wall * 1000, ratio, cpuPercent,
                run.allInstalled ? "all installed" : "FAILED");
  }
  std::printf("fleet: 8 meters ratio %.4f cpu %.2f%%\n", ratio, cpuPercent);
  return allGood ? 0 : 1;
}
