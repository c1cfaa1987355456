#pragma once
// The update of one meter, the same for `update FILE` (a fleet of one) and
// for every worker of `update --all`:
//
//   find -> identify -> check the file against the meter -> update -> verify -> record
//
// Each step says how it went in the report; the front end learns everything
// through one observer and the report, never from log text.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/operator_console.h"
#include "history/attempt_record.h"
#include "instrument/meter_query.h"
#include "update/file_check.h"
#include "update/update_procedures.h"

namespace quorvel {

class FileSystem;

// What a run tells the front end as it goes, per meter (the index into the
// request's resources). A fleet calls it from its worker threads, so
// implementations must be thread-safe.
class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  // A line of the update's log, as the window would append it.
  virtual void Line(std::size_t meter, std::string_view text) = 0;
  // A message box of the update, and how the run answered it.
  virtual void Message(std::size_t meter, const MessageBoxRequest& box, MessageResult answer) {
    (void)answer;
    Line(meter, box.caption + ": " + box.text);
  }
  // The file was refused before the meter was switched. By default in the
  // update's own words: its log lines, or its message box.
  virtual void Refused(std::size_t meter, const FileRefusal& refusal) {
    for (const std::string& line : refusal.logLines) Line(meter, line);
    if (refusal.logLines.empty()) {
      Message(meter, {.text = refusal.text, .caption = "Quorvel", .owner = MessageOwner::kNone},
              MessageResult::kOk);
    }
  }
  // Who the meter said it is, before anything is changed on it.
  virtual void Identified(std::size_t /*meter*/, const MeterRecord& /*record*/) {}
  // The file passed its check against the identified meter: the meter is
  // about to be switched to update mode.
  virtual void FileAccepted(std::size_t /*meter*/) {}
  virtual void Progress(std::size_t meter, const ProgressReport& report) = 0;
  // What the run waits for between the switch and the first frame.
  virtual void Waiting(std::size_t /*meter*/, const WaitingReport& /*report*/) {}
  // The attempt could not be added to the history.
  virtual void HistoryNotWritten(std::size_t meter, std::string_view problem) {
    Line(meter, "The update history was not written: " + std::string(problem));
  }
  virtual void Finished(std::size_t meter, const UpdateReport& report) = 0;
};

struct FleetRequest {
  std::string path{};  // the firmware file, a full path (see ResolveFirmwarePath)
  // The meters, as the search named them. An empty name stands for the one
  // meter attached, found by a search in the run's own view of the bus.
  std::vector<std::string> resources{};
  bool leaveUpdateModeMeters = false;  // --all: a meter in update mode is skipped, not failed
  // A fleet of one as the window would run it: a meter that is not found,
  // does not open or is in update mode is left to the update procedure,
  // which says so in the window's words.
  bool procedureSpeaksForMeter = false;
  bool verify = false;
  bool answerYes = false;  // question boxes are answered OK
  std::function<bool()> stopRequested{};
  UpdateHistory* history = nullptr;  // where each attempt is recorded; may be null
  HistoryOrigin origin{};
};

// The whole pipeline for meter `meter` of the request, on the calling
// thread; `visa` is narrowed to that meter when its name carries a serial.
// Tells the observer Finished before it returns the report.
UpdateReport RunMeterPipeline(VisaLibrary& visa, Clock& clock, FileSystem& files,
                              const FleetRequest& request, std::size_t meter,
                              FleetObserver& observer);

// "installed", "transfer failed", "skipped", ...: the outcome as reports and
// the history name it.
std::string_view OutcomeName(const UpdateReport& report);

}  // namespace quorvel
