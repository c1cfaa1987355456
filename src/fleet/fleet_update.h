#pragma once
// Updating several meters at once: one worker per meter, each with its own
// sessions and its own view of the bus (its meter only), running the same
// procedure, texts and pacing as a single update. A worker that fails never
// stops or slows the others.
//
// A worker is find -> identify -> update -> verify -> record.
//
// Backends: workers share the VISA library, so it must be safe to use from
// several threads as long as each session stays with one thread. The sim and
// usbtmc backends are (a lock over their handle table; one libusb context
// with one device handle per session); an installed VISA library is by the
// VISA standard, which makes its sessions thread-safe.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/operator_console.h"
#include "history/attempt_record.h"
#include "update/update_procedures.h"

namespace quorvel {

class FileSystem;

// What the workers tell the front end as they go. Called from the worker
// threads, so implementations must be thread-safe.
class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  // A log line or message of meter `meter` (the index into the request's resources).
  virtual void Line(std::size_t meter, std::string_view text) = 0;
  virtual void Progress(std::size_t meter, const ProgressReport& report) = 0;
  virtual void Finished(std::size_t meter, const UpdateReport& report) = 0;
};

struct FleetRequest {
  std::string path{};                    // the firmware file, a full path
  std::vector<std::string> resources{};  // the meters, as the search named them
  bool leaveUpdateModeMeters = false;  // --all: a meter in update mode is skipped, not failed
  bool verify = false;
  bool answerYes = false;              // question boxes are answered OK
  std::function<bool()> stopRequested{};
  UpdateHistory* history = nullptr;    // where each attempt is recorded; may be null
  HistoryOrigin origin{};
};

// Runs one worker per meter and waits for all of them; the reports are in
// the order of `request.resources`.
std::vector<UpdateReport> RunFleetUpdate(VisaLibrary& visa, Clock& clock, FileSystem& files,
                                        const FleetRequest& request, FleetObserver& observer);

// One meter's worker, on the calling thread.
UpdateReport RunFleetWorker(VisaLibrary& visa, Clock& clock, FileSystem& files,
                           const FleetRequest& request, std::size_t meter,
                           FleetObserver& observer);

// "installed", "transfer failed", ...: the outcome as reports and the history name it.
std::string_view OutcomeName(const UpdateReport& report);

}  // namespace quorvel
