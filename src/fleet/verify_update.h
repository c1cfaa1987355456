#pragma once
// After an accepted update: wait for the meter to come back in normal mode
// after its power cycle, read who it is now and check that it runs the
// versions the file carried.
#include <optional>
#include <string>

#include "common/clock.h"
#include "firmware/loaded_firmware.h"
#include "fleet/fleet_update.h"
#include "instrument/instrument_session.h"

namespace quorvel {

// The versions a file puts on the meter, per processor, as the identity shows
// them ("01.21" for the DSP, "06" for the Panel); unset for a processor the
// file does not touch.
struct ExpectedVersions {
  std::optional<std::string> dsp{};
  std::optional<std::string> panel{};
  std::optional<std::string> msp430{};
};

// From a .bin's header, or from every image header of a package (a later
// image for the same processor wins, as it is installed last), counting only
// headers signed by the maker. Nothing when the file cannot be read or names
// no processor.
std::optional<ExpectedVersions> ExpectedVersionsOf(FileSystem& files, const std::string& path);
// The same from the bytes an update sent.
std::optional<ExpectedVersions> ExpectedVersionsOf(const LoadedFirmware& firmware);

// How long the operator has to recycle the meter's power before the check
// gives up: long enough for a person, short enough that a line does not stall.
inline constexpr Millis kComeBackDeadline{120000};
// How often the bus is searched meanwhile; a search does not touch the meter.
inline constexpr Millis kComeBackPoll{250};

struct VerifyResult {
  Verification verification = Verification::kDidNotComeBack;
  std::string text{};           // "verified", "not verified: still 01.20", "did not come back"
  std::string identityAfter{};  // the identity it came back with
};

// `services.visa` must find the one meter being checked (a worker's view).
VerifyResult VerifyAfterRestart(Services& services, const ExpectedVersions& expected,
                                Millis deadline = kComeBackDeadline);

// The verdict on an identity the meter came back with.
VerifyResult JudgeIdentityAfter(const std::string& identity, const ExpectedVersions& expected);

}  // namespace quorvel
