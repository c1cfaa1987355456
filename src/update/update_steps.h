#pragma once
// The steps an update is made of, in the order the meter needs them:
//   Identify -> CheckFirmware -> SwitchToUpdateMode -> Reconnect
//            -> TransferImage (for each image) -> ExchangeVerdicts.
// Each step says what happened; the procedures, the window and the fleet
// compose them and decide what the operator is shown.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/clock.h"
#include "common/operator_console.h"
#include "firmware/loaded_firmware.h"
#include "instrument/identity.h"
#include "instrument/instrument_session.h"
#include "instrument/wire_format.h"
#include "update/file_check.h"
#include "update/update_report.h"

namespace quorvel {

// Who the meter is. `refusal` is kNoMeter when it gave no identity firmware
// could be judged against, kWrongMode when it is already in update mode.
struct Identification {
  MeterIdentity identity;
  std::optional<UpdateOutcome> refusal;
};
Identification Identify(Services& services, InstrumentSession& session, bool waitAfterL0 = true);

// CheckFirmware (update/file_check.h) judges the file against the meter.

// How long the meter takes to leave the bus after "system:update": so many
// passes of kFrameGap, the window kept alive meanwhile.
struct ModeSwitchWait {
  int passes = 20;
  bool pumpAfterEachPass = true;  // the single image pumps once more after every pass
};

struct ModeSwitch {
  bool switched = false;  // "system:update" went out: the meter needs a power cycle
  bool stopped = false;   // the operator asked to stop during the wait
};
class MeterWaitNotice;
// Sends "system:update", waits for the meter to leave the bus and closes the
// sessions it had.
ModeSwitch SwitchToUpdateMode(Services& services, InstrumentSession& session, ModeSwitchWait wait,
                              MeterWaitNotice& waiting);

enum class Rediscovery {
  kDialog,   // the window's discovery after a further 5 s: its lines and buttons
  kPackage,  // the package's own search, with its "Meter not found." box
};
struct Reconnection {
  bool found = false;
  bool stopped = false;
  std::string notice;  // the warning the search showed; empty when it found the meter
};
// Looks for the meter again once it restarted in update mode.
Reconnection Reconnect(Services& services, InstrumentSession& session, Rediscovery way,
                       MeterWaitNotice& waiting);

// How one image goes out. The meter needs kFrameGap before every frame; a
// package's later images get a shorter wait before their last frame and
// their status read, and a package adds the flush marker after some lengths.
struct TransferPacing {
  Millis beforeFrame = kFrameGap;
  Millis beforeLastFrame = kFrameGap;
  Millis afterLastFrame{0};
  bool flushAfterShortLastFrame = false;
  // Before the first status read, while the meter checks the image; taken in
  // kFrameGap slices with the window pumped after each when `pumpWhileMeterChecks`.
  Millis beforeStatus{1100};
  bool pumpWhileMeterChecks = true;
  Millis beforeEndReply{1100};
  ViUInt32 endReplySize = kReplyReadSize;
};
// The single image's pace, and a package's for image `index` (1-based).
TransferPacing SingleImagePacing();
TransferPacing PackageImagePacing(int index);

struct ImageTransfer {
  TransferStep failure = TransferStep::kNone;
  bool stopped = false;
  bool ok() const { return failure == TransferStep::kNone && !stopped; }
};
// Sends `payload` in frames of at most kMaxDataFrame bytes at the given pace,
// then the package's flush marker where it needs one. A frame the meter did
// not take whole ends the image at once (its lines are logged).
ImageTransfer TransferImage(Services& services, const InstrumentSession& session,
                            std::span<const std::uint8_t> payload, const TransferPacing& pacing,
                            ProgressReport progress);

// How the meter judged one image.
enum class ImageEnd {
  kInstalled,    // '0' after the data and '0' after the end frame
  kUnconfirmed,  // '0' after the data; no reply at all to the end frame
  kRefused,      // a status other than '0', or no reply where one is needed
  kFailed,       // the end frame did not go out, or its reply could not be read
  kStopped,
};
struct Verdicts {
  ImageEnd end = ImageEnd::kFailed;
  TransferStep failure = TransferStep::kNone;
  std::optional<std::uint8_t> meterStatus;  // the character refused with; none for no reply
};
enum class FirstRefusalLines { kLogged, kSilent };  // the package logs no first refusal
// The first status read, the end frame and the reply to it. A refusal after
// the end frame is logged here; where a meter answers nothing to the end
// frame, the caller decides what that means.
Verdicts ExchangeVerdicts(Services& services, InstrumentSession& session,
                          const TransferPacing& pacing, FirstRefusalLines lines);

// Shows the operator what the run waits for while the meter switches,
// restarts and is looked for again; ends the wait when frames start or, at
// the latest, when the run ends.
class MeterWaitNotice {
 public:
  explicit MeterWaitNotice(OperatorConsole& console) : console_(console) {}
  ~MeterWaitNotice() { End(); }
  MeterWaitNotice(const MeterWaitNotice&) = delete;
  MeterWaitNotice& operator=(const MeterWaitNotice&) = delete;

  void Show(MeterWait what, Millis left);
  void End();

 private:
  OperatorConsole& console_;
  bool shown_ = false;
};

}  // namespace quorvel
