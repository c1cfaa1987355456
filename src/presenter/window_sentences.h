#pragma once
// What the window says in its own words: the meter line and the strip's
// sentences, each telling what happened and what to do next. Pure functions
// of the procedures' results, so every outcome's words can be checked alone.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/operator_console.h"
#include "fleet/verify_update.h"
#include "presenter/window_model.h"
#include "update/update_report.h"

namespace quorvel {

// The meter found at `resource` as its "*idn?" reply describes it
// ("NAVIR,Q1000,SN000123,01.20.05.12"); an empty reply leaves the model and
// the versions empty.
MeterSummary SummarizeMeter(std::string resource, std::string_view identity);

// "Q1000 · DSP 01.20 · Panel 05 · MSP 430 12 · simulated meter", led by the
// serial when `withSerial` (the chooser shows it otherwise).
std::string MeterLineText(const MeterSummary& meter, std::string_view backend, bool withSerial);

// What the strip says after a press of Select ended.
struct RunFacts {
  const UpdateReport& report;
  std::optional<ExpectedVersions> file{};  // what the chosen file carries
  std::optional<MeterSummary> meter{};     // the meter as identified last
  std::string accessHint{};                // why an attached meter may not open
  // The run before this one left the meter in update mode.
  bool leftInUpdateMode = false;
  bool meterReady = false;  // a search found the meter (for a press that searched again)
};
StripModel StripAfterRun(const RunFacts& facts);

// After a search for the meter: nothing to say when it is ready in its normal
// mode.
StripModel StripAfterSearch(bool ready, const std::optional<MeterSummary>& meter,
                            bool leftInUpdateMode, const std::string& accessHint);

// "Waiting for the meter to restart in update mode, about 12 s left."; empty
// once the wait is over.
std::string WaitingSentence(const WaitingReport& report);

// What a refusing status means: "the image's checksum does not match its data".
std::string StatusMeaning(std::uint8_t statusCharacter);

// Whether a run that ended so leaves the meter in update mode.
bool LeavesUpdateMode(const UpdateReport& report);

}  // namespace quorvel
