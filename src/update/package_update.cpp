// The package update: checks one image header of a .pak against the meter,
// switches the meter to its update mode and sends every image in entry order.
#include <memory>
#include <optional>
#include <variant>

#include "common/operator_console.h"
#include "common/stoppable_wait.h"
#include "firmware/package.h"
#include "firmware/package_check.h"
#include "instrument/wire_format.h"
#include "update/file_check.h"
#include "update/transfer_failures.h"
#include "update/update_procedures.h"
#include "update/update_steps.h"

namespace quorvel {

namespace {

constexpr ModeSwitchWait kPackageModeSwitch{.passes = 40, .pumpAfterEachPass = false};

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

class PackageUpdate {
 public:
  PackageUpdate(Services& services, const std::string& packagePath, const LoadedFirmware* loaded)
      : services_(services), console_(services.console), path_(packagePath), loaded_(loaded),
        waiting_(services.console) {}

  UpdateOutcome Run(const std::string& folderAndSerial);
  const UpdateReport& report() const { return report_; }

 private:
  // Each phase returns how the update ends, or nothing to go on.
  std::optional<UpdateOutcome> Prepare(const std::string& folderAndSerial);
  std::optional<UpdateOutcome> Load();
  std::optional<UpdateOutcome> SwitchAndReconnect();
  std::optional<UpdateOutcome> SendImage(int index);

  UpdateOutcome Exit(UpdateOutcome outcome) {
    waiting_.End();
    ProgressReport progress;
    progress.finished = true;
    console_.ReportProgress(progress);
    CloseSessions(session_);
    if (outcome == UpdateOutcome::kInstalled && !report_.imagesUnconfirmed.empty()) {
      outcome = UpdateOutcome::kUnconfirmed;
    }
    report_.outcome = outcome;
    return outcome;
  }
  std::optional<UpdateOutcome> Failed(TransferStep step) {
    report_.step = step;
    return UpdateOutcome::kTransferFailed;
  }

  Services& services_;
  OperatorConsole& console_;
  const std::string& path_;
  // The package as read into memory when it was checked: the bytes sent are
  // the bytes checked, whatever happens to the file meanwhile.
  const LoadedFirmware* loaded_;
  std::optional<LoadedFirmware> ownCopy_;
  PackageLayout layout_;
  InstrumentSession session_;  // the package's own connection; nothing of it outlives the call
  MeterWaitNotice waiting_;
  UpdateReport report_;
};

UpdateOutcome PackageUpdate::Run(const std::string& folderAndSerial) {
  if (const auto refused = Prepare(folderAndSerial)) return Exit(*refused);
  const int imageCount = layout_.directory.entryCount;
  report_.imageCount = imageCount;
  if (const auto ended = SwitchAndReconnect()) return Exit(*ended);
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

  if (const auto refused = Load()) return refused;
  // A damaged package must never reach the meter.
  const std::unique_ptr<FirmwareFile> package = loaded_->Open();
  if (!CheckPackageFile(*package, &layout_).ok()) {
    ShowWarning(console_, report_, std::string(kDamagedPackageText), "Quorvel");
    return UpdateOutcome::kFileRefused;
  }
  const Identification identified = Identify(services_, session_, /*waitAfterL0=*/false);
  if (!IsUsableIdentity(identified.identity)) {
    ShowWarning(console_, report_, std::string(kNoIdentityText), "Quorvel");
    return UpdateOutcome::kNoMeter;
  }
  if (auto refusal = JudgeExaminedPackageHeader(*package, identified.identity.versions)) {
    ShowWarning(console_, report_, std::move(*refusal), "Quorvel");
    return UpdateOutcome::kFileRefused;
  }
  return std::nullopt;
}

// The package in memory: the caller's, or read here once.
std::optional<UpdateOutcome> PackageUpdate::Load() {
  if (!loaded_) {
    auto loaded = LoadFirmware(services_.files, path_);
    if (const auto* failure = std::get_if<LoadFailure>(&loaded)) {
      if (failure->problem == LoadProblem::kNotOpened) {
        ShowWarning(console_, report_, "The first bin file not found.", "Quorvel firmware");
        return UpdateOutcome::kFileNotOpened;
      }
      // Unreadable or far too large: nothing the meter could take.
      ShowWarning(console_, report_, std::string(kDamagedPackageText), "Quorvel");
      return UpdateOutcome::kFileRefused;
    }
    loaded_ = &ownCopy_.emplace(std::move(std::get<LoadedFirmware>(loaded)));
  }
  report_.fileSha256 = loaded_->Sha256Hex();
  report_.fileSize = loaded_->bytes.size();
  return std::nullopt;
}

std::optional<UpdateOutcome> PackageUpdate::SwitchAndReconnect() {
  if (console_.StopRequested()) return UpdateOutcome::kChooserCancelled;
  const ModeSwitch switched = SwitchToUpdateMode(services_, session_, kPackageModeSwitch, waiting_);
  report_.switchedToUpdateMode = switched.switched;
  if (switched.stopped) return UpdateOutcome::kStopped;
  const Reconnection back = Reconnect(services_, session_, Rediscovery::kPackage, waiting_);
  report_.notice = back.notice;
  if (back.stopped) return UpdateOutcome::kStopped;
  if (!back.found) {
    report_.step = TransferStep::kMeterLost;
    return UpdateOutcome::kNoMeter;
  }
  return std::nullopt;
}

std::optional<UpdateOutcome> PackageUpdate::SendImage(int index) {
  const PackageEntry& entry = layout_.entries[static_cast<std::size_t>(index - 1)];
  // The whole-package check bounded every entry by the file's size.
  std::span<const std::uint8_t> image = std::span(loaded_->bytes).subspan(
      static_cast<std::size_t>(entry.imageOffset), static_cast<std::size_t>(entry.imageSize));
  if (index == 1) {
    // Image 1's header was judged; it is not sent.
    image = image.subspan(kImageHeaderSize);
    if (!WaitUnlessStopped(services_.clock, console_, kFrameGap)) return UpdateOutcome::kStopped;
  }
  waiting_.End();

  const TransferPacing pacing = PackageImagePacing(index);
  const ImageTransfer sent = TransferImage(
      services_, session_, image, pacing, {.image = index, .imageCount = report_.imageCount});
  if (sent.stopped) return UpdateOutcome::kStopped;
  if (!sent.ok()) return Failed(sent.failure);

  const Verdicts verdicts = ExchangeVerdicts(services_, session_, pacing, FirstRefusalLines::kSilent);
  report_.meterStatus = verdicts.meterStatus;
  switch (verdicts.end) {
    case ImageEnd::kInstalled:
      report_.imagesAccepted = index;
      return std::nullopt;
    case ImageEnd::kUnconfirmed:
      // The package goes on, as meters expect; the outcome says what is not known.
      console_.AppendLog("Image " + std::to_string(index) + ": no reply to the end frame.");
      report_.imagesAccepted = index;
      report_.imagesUnconfirmed.push_back(index);
      return std::nullopt;
    case ImageEnd::kStopped:
      return UpdateOutcome::kStopped;
    case ImageEnd::kRefused:
    case ImageEnd::kFailed:
      break;
  }
  return Failed(verdicts.failure);
}

}  // namespace

UpdateReport RunPackageUpdate(Services& services, const std::string& packagePath,
                              const std::string& folderAndSerial, const LoadedFirmware* package) {
  PackageUpdate update(services, packagePath, package);
  update.Run(folderAndSerial);
  UpdateReport report = update.report();
  report.package = true;
  return report;
}

}  // namespace quorvel
