#pragma once
// Updating several meters at once: one pipeline per meter on a thread of its
// own, each with its own sessions and its own view of the bus (its meter
// only), running the same procedure, texts and pacing as a single update. A
// meter that fails never stops or slows the others.
//
// Backends: the pipelines share the VISA library, so it must be safe to use
// from several threads as long as each session stays with one thread. The sim
// and usbtmc backends are (a lock over their handle table; one libusb context
// with one device handle per session); an installed VISA library is by the
// VISA standard, which makes its sessions thread-safe.
#include <string>
#include <vector>

#include "fleet/meter_pipeline.h"

namespace quorvel {

// The meters a run updates: those named; with `all` every meter attached;
// otherwise the one attached, never a guess among several. One meter named
// twice would get two workers, so that is refused too.
enum class FleetChoiceProblem { kNone, kNoResourceManager, kNoMeter, kSeveralMeters, kNamedTwice };
struct FleetMeters {
  std::vector<std::string> resources;
  FleetChoiceProblem problem = FleetChoiceProblem::kNone;
};
FleetMeters ChooseFleetMeters(VisaLibrary& visa, const std::vector<std::string>& named, bool all);

// Runs one pipeline per meter and waits for all of them; the reports are in
// the order of `request.resources`.
std::vector<UpdateReport> RunFleetUpdate(VisaLibrary& visa, Clock& clock, FileSystem& files,
                                        const FleetRequest& request, FleetObserver& observer);

}  // namespace quorvel
