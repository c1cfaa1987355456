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
#include <vector>

#include "fleet/meter_pipeline.h"

namespace quorvel {

// Runs one pipeline per meter and waits for all of them; the reports are in
// the order of `request.resources`.
std::vector<UpdateReport> RunFleetUpdate(VisaLibrary& visa, Clock& clock, FileSystem& files,
                                        const FleetRequest& request, FleetObserver& observer);

}  // namespace quorvel
