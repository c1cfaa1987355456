#pragma once
// How the update of one meter ended, as facts rather than log lines: who the
// meter was, which image and which step, what the meter answered and, when
// asked, what it runs after its restart. The procedures fill in how they
// ended; the CLI and the fleet's workers add the meter and the verification.
// A single update is reported exactly as a fleet of one, so the CLI's outcome
// line, its table and its JSON, and the window's status strip all read from
// this, never from the log.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// How one press of Select ended; the dialog ignores it, the CLI maps it to its
// exit status.
enum class UpdateOutcome {
  kRediscovered,  // not ready: discovery ran; readyForUpdate tells whether it found the meter
  kWrongMode,     // the meter is not in its normal mode
  kChooserCancelled,
  kFileNotOpened,
  kFileRefused,  // a header or package check refused the file; nothing was sent
  kNoMeter,      // the meter was not found where the procedure needed it
  kInstalled,    // the meter accepted every image
  // The meter accepted every image's data, but some image's end frame got no
  // reply: only the versions after its restart tell whether it installed them.
  kUnconfirmed,
  kTransferFailed,
  kStopped,  // the operator stopped the transfer between frames
};

// Where a transfer that reached the meter went wrong.
enum class TransferStep {
  kNone,
  kFileRead,            // the firmware file could not supply a frame
  kFrameNotWritten,     // no byte of a data frame went out
  kFramePartlyWritten,  // a data frame went out only in part
  kStatusRefused,       // the meter's status after the image's data was not "accepted"
  kStatusNotRead,       // the meter gave no reply after the image's data
  kEndFrameNotWritten,
  kEndStatusRefused,  // the meter's status after the end frame was not "accepted"
  kEndStatusNotRead,  // the meter gave no reply to the end frame
  kMeterLost,         // the meter did not come back after its switch to update mode, or
                      // was gone before the switch went out
};

enum class Verification { kNotAsked, kVerified, kNotVerified, kDidNotComeBack };

struct UpdateReport {
  // The meter and the file.
  std::string resource{};
  std::string serial{};
  std::string identityBefore{};  // the "*idn?" reply before the update
  std::string versionsBefore{};  // its last eleven characters, "01.20.05.12"
  std::string file{};            // the file's name
  // The bytes that went to the meter, as the procedure read them into memory;
  // empty until the file was read.
  std::string fileSha256{};
  std::uint64_t fileSize = 0;

  // How the procedure ended.
  UpdateOutcome outcome = UpdateOutcome::kNoMeter;
  bool package = false;
  bool switchedToUpdateMode = false;  // "system:update" went out: the meter needs a power cycle
  int image = 0;  // 1-based: the image being sent when the run ended; 0 before any was
  int imageCount = 0;
  TransferStep step = TransferStep::kNone;
  // Images the meter accepted ('0' after the data, then '0' or no reply after
  // the end frame), in order: 1 .. imagesAccepted.
  int imagesAccepted = 0;
  // Of those, the images whose end frame got no reply: no final verdict.
  std::vector<int> imagesUnconfirmed{};
  // The status character the meter refused with (kStatusRefused, kEndStatusRefused).
  std::optional<std::uint8_t> meterStatus{};
  // The warning the procedure ended with, as the operator saw it: a message
  // box's text, or the first line of a refusal in the log. Empty when none.
  std::string notice{};

  bool skipped = false;  // found in update mode by --all and left alone
  std::string reason{};  // why it did not succeed; empty when it did

  Verification verification = Verification::kNotAsked;
  std::string verificationText{};  // "verified", "not verified: still 01.20", "did not come back"
  std::string identityAfter{};     // the "*idn?" reply after the restart, when it came back

  bool succeeded() const {
    if (skipped) return true;
    // Without a final verdict only the versions after the restart confirm it.
    if (outcome == UpdateOutcome::kUnconfirmed) return verification == Verification::kVerified;
    return outcome == UpdateOutcome::kInstalled &&
           (verification == Verification::kNotAsked || verification == Verification::kVerified);
  }

  // "CHECKSUM_ERROR" for a named status; "status 0x3F" for another byte; empty
  // when the meter refused nothing.
  std::string MeterStatusText() const;

  // Takes the procedure's part (outcome, image, step, meter status, notice) of `run`.
  void TakeProcedureFacts(const UpdateReport& run);
};

// Why a transfer that reached the meter failed, in words: "the meter reported
// CHECKSUM_ERROR for image 2 of 3", or which images got no final verdict;
// empty when the report names neither.
std::string TransferFailureText(const UpdateReport& report);

// "images 2 and 3 got no reply to their end frame; ...": why an unconfirmed
// update is not called installed; empty when every image got its verdict.
std::string UnconfirmedText(const UpdateReport& report);

// "the meter accepted images 1 and 2 of 3": for a run that ended after some
// images of a package went in; empty when none did.
std::string AcceptedImagesText(const UpdateReport& report);

// Stable names for scripts: "statusRefused", ...; empty for kNone.
std::string_view StepName(TransferStep step);

}  // namespace quorvel
