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
#include "history/attempt_witness.h"
#include "update/update_procedures.h"

namespace quorvel {

class FileSystem;

enum class Verification { kNotAsked, kVerified, kNotVerified, kDidNotComeBack };

struct MeterReport {
  std::string resource{};
  std::string serial{};
  std::string identityBefore{};  // the "*idn?" reply before the update
  std::string versionsBefore{};  // its last eleven characters, "01.20.05.12"
  std::string file{};            // the file's name
  UpdateOutcome outcome = UpdateOutcome::kNoMeter;
  bool skipped = false;  // found in update mode by --all and left alone
  std::string reason{};    // why it did not succeed; empty when it did
  Verification verification = Verification::kNotAsked;
  std::string verificationText{};  // "verified", "not verified: still 01.20", "did not come back"
  std::string identityAfter{};     // the "*idn?" reply after the restart, when it came back

  bool succeeded() const {
    return skipped || (outcome == UpdateOutcome::kInstalled &&
                       (verification == Verification::kNotAsked ||
                        verification == Verification::kVerified));
  }
};

// What the workers tell the front end as they go. Called from the worker
// threads, so implementations must be thread-safe.
class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  // A log line or message of meter `meter` (the index into the request's resources).
  virtual void Line(std::size_t meter, std::string_view text) = 0;
  virtual void Progress(std::size_t meter, const ProgressReport& report) = 0;
  virtual void Finished(std::size_t meter, const MeterReport& report) = 0;
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
std::vector<MeterReport> RunFleetUpdate(VisaLibrary& visa, Clock& clock, FileSystem& files,
                                        const FleetRequest& request, FleetObserver& observer);

// One meter's worker, on the calling thread.
MeterReport RunFleetWorker(VisaLibrary& visa, Clock& clock, FileSystem& files,
                           const FleetRequest& request, std::size_t meter,
                           FleetObserver& observer);

// "installed", "transfer failed", ...: the outcome as reports and the history name it.
std::string_view OutcomeName(const MeterReport& report);

}  // namespace quorvel
