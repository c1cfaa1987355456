// The package update: checks one image header of a .pak against the meter,
// switches the meter to its update mode and sends every image in entry order.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>

#include "common/clock.h"
#include "common/operator_console.h"
#include "common/stoppable_wait.h"
#include "firmware/file_source.h"
#include "firmware/package.h"
#include "firmware/package_check.h"
#include "update/file_check.h"
#include "instrument/wire_format.h"
#include "update/transfer_failures.h"
#include "update/update_procedures.h"

namespace quorvel {

namespace {

constexpr int kModeSwitchPasses = 40;  // 40 x 100 ms for the meter to leave the bus
constexpr ViUInt32 kEndFrameReplySize = 64;

// Shows a warning and keeps its text in the report.
void ShowWarning(OperatorConsole& console, UpdateReport& report, std::string text,
                 std::string caption) {
  report.notice = text;
  console.ShowMessageBox({.text = std::move(text),
                          .caption = std::move(caption),
                          .icon = MessageIcon::kWarning,
                          .buttons = MessageButtons::kOk,
                          .owner = MessageOwner::kNone});
}

// Reads exactly buffer.size() bytes; false on a short read or an error, so that
// no frame ever carries bytes the file did not hold.
bool ReadWhole(FirmwareFile& file, std::span<std::uint8_t> buffer) {
  const FileRead read = file.Read(buffer);
  return !read.error && read.count == buffer.size();
}

// The meter flushes on this marker after a last chunk of these lengths.
bool NeedsFlushFrame(std::int64_t lastChunk) {
  return lastChunk == 52 || lastChunk == 116 || lastChunk == 180;
}

class PackageUpdate {
 public:
  PackageUpdate(Services& services, const std::string& packagePath,
                std::unique_ptr<FirmwareFile> file)
      : services_(services), console_(services.console), path_(packagePath),
        file_(std::move(file)) {}

  UpdateOutcome Run(const std::string& folderAndSerial);
  const UpdateReport& report() const { return report_; }

 private:
  // Each phase returns how the update ends, or nothing to go on.
  std::optional<UpdateOutcome> Prepare(const std::string& folderAndSerial);
  std::optional<UpdateOutcome> SwitchToUpdateMode();
  std::optional<UpdateOutcome> SendImage(int index);
  std::optional<UpdateOutcome> SendChunks(int index, std::int64_t length,
                                          std::int64_t& lastChunk);
  std::optional<UpdateOutcome> ExchangeVerdicts(int index);
  std::optional<UpdateOutcome> Write(std::span<const std::uint8_t> bytes, bool endFrame);
  bool Pause(Millis duration) { return WaitUnlessStopped(services_.clock, console_, duration); }

  UpdateOutcome Exit(UpdateOutcome outcome) {
    ProgressReport report;
    report.finished = true;
    console_.ReportProgress(report);
    file_.reset();
    CloseSessions(session_);
    report_.outcome = outcome;
    return outcome;
  }

  Services& services_;
  OperatorConsole& console_;
  const std::string& path_;
  // Held open, others kept from writing, from the whole-file check to the last
  // frame: the bytes sent are the bytes checked.
  std::unique_ptr<FirmwareFile> file_;
  PackageLayout layout_;
  InstrumentSession session_;  // the package's own connection; nothing of it outlives the call
  std::array<std::uint8_t, kMaxDataFrame> chunk_{};
  UpdateReport report_;
};

UpdateOutcome PackageUpdate::Run(const std::string& folderAndSerial) {
  if (const auto refused = Prepare(folderAndSerial)) return Exit(*refused);
  const int imageCount = layout_.directory.entryCount;
  report_.imageCount = imageCount;
  if (const auto lost = SwitchToUpdateMode()) {
    report_.step = TransferStep::kMeterLost;
    return Exit(*lost);
  }
  for (int index = 1; index <= imageCount; ++index) {
    report_.image = index;
    if (console_.StopRequested()) return Exit(UpdateOutcome::kStopped);
    if (const auto failed = SendImage(index)) return Exit(*failed);
  }
  return Exit(UpdateOutcome::kInstalled);
}

// Everything before the meter is told to switch: the meter is found and
// identified, the whole package is checked and one image header is judged.
std::optional<UpdateOutcome> PackageUpdate::Prepare(const std::string& folderAndSerial) {
  const bool found = ReconnectPackageSession(services_, session_);
  report_.notice = session_.notice;
  // Stopped before the switch: the meter is unchanged.
  if (console_.StopRequested()) return UpdateOutcome::kChooserCancelled;
  if (!found) return UpdateOutcome::kNoMeter;

  if (folderAndSerial.find('@') == std::string::npos) {
    ShowWarning(console_, report_, "DMM device serial no miss.", "Quorvel");
    return UpdateOutcome::kNoMeter;
  }
  ExchangeCommand(services_, session_, "cal:sec:serial?\n");

  if (!file_) file_ = services_.files.OpenForReading(path_, FileShare::kReadOnly);
  if (!file_) {
    ShowWarning(console_, report_, "The first bin file not found.", "Quorvel firmware");
    return UpdateOutcome::kFileNotOpened;
  }
  // A damaged package must never reach the meter.
  if (!CheckPackageFile(*file_, &layout_).ok()) {
    ShowWarning(console_, report_, std::string(kDamagedPackageText), "Quorvel");
    return UpdateOutcome::kFileRefused;
  }
  const MeterIdentity identity = ReadIdentity(services_, session_, /*waitAfterL0=*/false);
  if (!IsUsableIdentity(identity)) {
    ShowWarning(console_, report_, std::string(kNoIdentityText), "Quorvel");
    return UpdateOutcome::kNoMeter;
  }
  if (auto refusal = JudgeExaminedPackageHeader(*file_, identity.versions)) {
    ShowWarning(console_, report_, std::move(*refusal), "Quorvel");
    return UpdateOutcome::kFileRefused;
  }
  return std::nullopt;
}

std::optional<UpdateOutcome> PackageUpdate::SwitchToUpdateMode() {
  if (console_.StopRequested()) return UpdateOutcome::kChooserCancelled;
  ExchangeCommand(services_, session_, "system:update\n");
  // A meter that took no byte of the command was not switched.
  report_.switchedToUpdateMode = session_.count > 0;
  // The meter leaves the bus now; keep the window alive while it does.
  console_.ShowWaiting({MeterWait::kSwitching, kFrameGap * kModeSwitchPasses});
  for (int pass = 0; pass < kModeSwitchPasses; ++pass) {
    WaitPumping(services_.clock, console_, kFrameGap);
    if (console_.StopRequested()) {
      console_.ShowWaiting({});
      return UpdateOutcome::kStopped;
    }
  }
  CloseSessions(session_);
  // It restarts in update mode and is looked for again.
  console_.ShowWaiting({MeterWait::kReconnecting, Millis{0}});
  const bool found = ReconnectPackageSession(services_, session_);
  console_.ShowWaiting({});
  report_.notice = session_.notice;
  if (console_.StopRequested()) return UpdateOutcome::kStopped;
  if (!found) return UpdateOutcome::kNoMeter;
  return std::nullopt;
}

std::optional<UpdateOutcome> PackageUpdate::SendImage(int index) {
  // The entry is read again from the held file; it must be the one checked.
  PackageEntry entry;
  int recordsRead = 0;
  if (!ReadPackageEntry(*file_, entry, index, &recordsRead) || recordsRead < index ||
      !(entry == layout_.entries[static_cast<std::size_t>(index - 1)]) ||
      !file_->Seek(entry.imageOffset)) {
    report_.step = TransferStep::kFileRead;
    LogFileReadError(console_);
    return UpdateOutcome::kTransferFailed;
  }

  std::int64_t length = entry.imageSize;
  if (index == 1) {
    // Image 1's header was judged; it is not sent.
    std::array<std::uint8_t, kImageHeaderSize> header{};
    if (!ReadWhole(*file_, header)) {
      report_.step = TransferStep::kFileRead;
      LogFileReadError(console_);
      return UpdateOutcome::kTransferFailed;
    }
    if (!Pause(kFrameGap)) return UpdateOutcome::kStopped;
    length -= static_cast<std::int64_t>(kImageHeaderSize);
  }
  std::int64_t lastChunk = 0;
  if (const auto failed = SendChunks(index, length, lastChunk)) return failed;

  if (index == 1 && !Pause(kFrameGap)) return UpdateOutcome::kStopped;
  if (NeedsFlushFrame(lastChunk)) {
    if (!Pause(kFrameGap)) return UpdateOutcome::kStopped;
    if (const auto failed = Write(kFlushFrame, /*endFrame=*/false)) return failed;
  }
  if (index > 1 && !Pause(kShortFrameGap)) return UpdateOutcome::kStopped;
  return ExchangeVerdicts(index);
}

std::optional<UpdateOutcome> PackageUpdate::SendChunks(int index, std::int64_t length,
                                                       std::int64_t& lastChunk) {
  ProgressReport progress;
  progress.bytesTotal = length > 0 ? static_cast<std::uint64_t>(length) : 0;
  progress.image = index;
  progress.imageCount = layout_.directory.entryCount;

  for (std::int64_t remaining = length; remaining > 0;) {
    const auto size = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kMaxDataFrame), remaining));
    const bool last = remaining <= static_cast<std::int64_t>(kMaxDataFrame);
    const std::span<std::uint8_t> frame(chunk_.data(), size);
    if (!ReadWhole(*file_, frame)) {
      report_.step = TransferStep::kFileRead;
      LogFileReadError(console_);
      return UpdateOutcome::kTransferFailed;
    }
    // Images 2 onward get only the short wait before their last chunk.
    const Millis gap = last && index > 1 ? kShortFrameGap : kFrameGap;
    WaitPumping(services_.clock, console_, gap);
    if (console_.StopRequested()) return UpdateOutcome::kStopped;
    if (const auto failed = Write(frame, /*endFrame=*/false)) return failed;
    remaining -= static_cast<std::int64_t>(size);
    lastChunk = static_cast<std::int64_t>(size);
    progress.bytesSent += size;
    console_.ReportProgress(progress);
  }
  return std::nullopt;
}

// One frame to the meter. A write that fails or takes fewer bytes ends the
// image at once: pacing the rest into a dead session would only take minutes.
std::optional<UpdateOutcome> PackageUpdate::Write(std::span<const std::uint8_t> bytes,
                                                  bool endFrame) {
  const Transfer write = WriteToMeter(services_, session_, bytes);
  const auto failure = FrameWriteFailure(console_, write, bytes.size(), endFrame);
  if (!failure) return std::nullopt;
  report_.step = *failure;
  return UpdateOutcome::kTransferFailed;
}

// The meter's verdict on the image, the end frame, and its reply to that.
std::optional<UpdateOutcome> PackageUpdate::ExchangeVerdicts(int index) {
  const Transfer read = ReadFromMeter(services_, session_, std::span(chunk_).first(kReplyReadSize));
  const std::size_t delivered = std::min<std::size_t>(read.count, kReplyReadSize);
  const ImageVerdict first{StatusCharacter({chunk_.data(), delivered}), ViSucceeded(read.status)};
  if (!first.accepted()) {
    report_.step = TransferStep::kStatusRefused;
    report_.meterStatus = first.character;
    return UpdateOutcome::kTransferFailed;
  }

  if (!Pause(kFrameGap)) return UpdateOutcome::kStopped;
  if (const auto failed = Write(kEndFrame, /*endFrame=*/true)) return failed;
  if (!Pause(kFrameGap)) return UpdateOutcome::kStopped;

  std::array<std::uint8_t, kEndFrameReplySize> reply{};
  const Transfer replyRead = ReadFromMeter(services_, session_, reply);
  const std::size_t replyLength = std::min<std::size_t>(replyRead.count, reply.size());
  // A meter that answers nothing here has always been taken at its first
  // word; any reply it does send must accept the image. A read that failed
  // for another reason than the time-out (the meter is gone) is no answer:
  // the meter installs the image only once its reply is read.
  if (replyLength == 0 && !ViSucceeded(replyRead.status) && replyRead.status != VI_ERROR_TMO) {
    report_.step = TransferStep::kEndStatusNotRead;
    return UpdateOutcome::kTransferFailed;
  }
  if (replyLength == 0) {
    console_.AppendLog("Image " + std::to_string(index) +
                       ": no reply to the end frame; the first status stands.");
    return std::nullopt;
  }
  const std::uint8_t second = StatusCharacter({reply.data(), replyLength});
  if (second != kStatusAccepted || !ViSucceeded(replyRead.status)) {
    report_.step = TransferStep::kEndStatusRefused;
    report_.meterStatus = second;
    LogSecondStatusRefused(console_, second);
    return UpdateOutcome::kTransferFailed;
  }
  return std::nullopt;
}

}  // namespace

UpdateReport RunPackageUpdateReported(Services& services, const std::string& packagePath,
                                      const std::string& folderAndSerial,
                                      std::unique_ptr<FirmwareFile> openedPackage) {
  PackageUpdate update(services, packagePath, std::move(openedPackage));
  update.Run(folderAndSerial);
  UpdateReport report = update.report();
  report.package = true;
  return report;
}

}  // namespace quorvel
