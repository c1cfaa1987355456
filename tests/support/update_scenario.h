#pragma once
// A bench for update scenarios: the simulated meter, a recording console and
// in-memory files, all in virtual time.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "common/clock.h"
#include "sim/sim_visa.h"
#include "sim/timeline.h"
#include "visa/forwarding_visa.h"
#include "support/firmware_builder.h"
#include "support/memory_file_system.h"
#include "support/recording_console.h"
#include "update/update_procedures.h"

namespace quorvel::testing {

// Passes every operation to the simulated meter's backend, except what a test
// chooses to break: a write the predicate picks transfers nothing, and a
// hidden meter is not found by searches.
class FaultyVisa : public ForwardingVisaLibrary {
 public:
  using ForwardingVisaLibrary::ForwardingVisaLibrary;

  std::function<bool(std::span<const std::uint8_t>)> dropWrite;
  // The status a read reports after delivering these bytes (VI_SUCCESS: as the meter said).
  std::function<ViStatus(std::span<const std::uint8_t>)> readStatus;
  bool hideMeter = false;
  // Writes attempted after one failed or fell short.
  int writesAfterAFailure = 0;

  ViStatus viFindRsrc(ViSession rm, const ViChar* expression, ViFindList* list, ViUInt32* count,
                      ViChar* descriptor) override {
    const ViStatus status = inner_.viFindRsrc(rm, expression, list, count, descriptor);
    if (!hideMeter) return status;
    *count = 0;
    return VI_ERROR_RSRC_NFOUND;
  }
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override {
    if (writeFailed_) ++writesAfterAFailure;
    ViStatus status = VI_ERROR_IO;
    if (dropWrite && dropWrite({buffer, count})) {
      *returnCount = 0;
    } else {
      status = inner_.viWrite(session, buffer, count, returnCount);
    }
    if (!ViSucceeded(status) || *returnCount != count) writeFailed_ = true;
    return status;
  }
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override {
    const ViStatus status = inner_.viRead(session, buffer, count, returnCount);
    if (!readStatus || !ViSucceeded(status)) return status;
    const ViStatus forced = readStatus({buffer, *returnCount});
    return forced == VI_SUCCESS ? status : forced;
  }

 private:
  bool writeFailed_ = false;
};

class UpdateScenario : public ::testing::Test {
 protected:
  // Attaches the simulated meter with the given knobs ("" for a healthy one).
  void AttachMeter(std::string_view knobs = "");
  // What the dialog does when it opens: discovery.
  void OpenDialog();
  void AttachMeterAndOpenDialog(std::string_view knobs = "") {
    AttachMeter(knobs);
    OpenDialog();
  }
  UpdateOutcome PressSelect() { return RunImageUpdate(*services, dialog); }

  // Puts a file at `path` and has the chooser answer with it.
  void ChooseFile(const std::string& path, std::span<const std::uint8_t> bytes);
  void ChooseMissingFile(const std::string& path) { console.chooserAnswers.push_back(path); }

  SimMeter& meter() { return sim->meter(0); }
  const std::vector<TimelineEvent>& timeline() { return meter().timeline(); }
  std::vector<TimelineEvent> dataFrames() { return DataFrames(timeline()); }
  // Texts of the writes the meter took, in order ("L0\n", "*idn?\n" ...).
  std::vector<std::string> textWrites();
  bool meterReceived(std::string_view text);
  std::vector<std::string> logLines() const { return console.LogLines(); }
  bool appended(std::string_view text) const;

  // Everything a finished attempt leaves: closed sessions and files, the
  // Continue/OK buttons and the three closing lines after `outcomeLines`.
  void ExpectFinished(const std::vector<std::string>& outcomeLines);

  std::string Timeline() { return DescribeTimeline(timeline()); }

  VirtualClock clock;
  std::unique_ptr<SimVisa> sim;
  std::unique_ptr<FaultyVisa> visa;
  RecordingConsole console;
  MemoryFileSystem files;
  DialogState dialog;
  std::unique_ptr<Services> services;
};

// The closing lines every finished attempt ends with, as the log shows them.
std::vector<std::string> ClosingLines();
std::vector<std::string> SuccessLines(const std::string& fileName);
std::vector<std::string> FailureLines(const std::string& fileName);

// `size` bytes whose last four are the CRC-32 of the others, as the meter checks.
ByteVector ImageWithCrc(std::size_t size, std::uint8_t seed = 0);

}  // namespace quorvel::testing
