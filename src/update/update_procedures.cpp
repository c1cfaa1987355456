// The Select button's single-image update and the package update.
//
// Both run on the caller's (GUI) thread and are paced only by waits through the
// clock: the meter needs at least 100 ms between data frames and takes seconds
// to come back after switching to its update mode.
#include "update/update_procedures.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <variant>

#include "common/clock.h"
#include "common/operator_console.h"
#include "common/stoppable_wait.h"
#include "firmware/file_source.h"
#include "firmware/package_check.h"
#include "instrument/wire_format.h"
#include "update/transfer_failures.h"
#include "update/update_steps.h"

namespace quorvel {

namespace {

constexpr ModeSwitchWait kImageModeSwitch{.passes = 20, .pumpAfterEachPass = true};
constexpr std::string_view kStoppedLine =
    "Transfer stopped by the operator; the meter is left in update mode.";

void Disable(OperatorConsole& console, ConsoleButton button) { console.EnableButton(button, false); }

// Shows a warning and keeps its text in the report: the front ends tell why
// the run ended from there, never from what the console was shown.
void Warn(OperatorConsole& console, UpdateReport& report, MessageBoxRequest box) {
  report.notice = box.text;
  console.ShowMessageBox(box);
}
void Enable(OperatorConsole& console, ConsoleButton button) { console.EnableButton(button, true); }

// `slices` times: wait one frame gap while the window processes its messages.
// False as soon as the operator asked to stop.
bool WaitInSlices(Services& services, int slices) {
  for (int i = 0; i < slices; ++i) {
    WaitPumping(services.clock, services.console, kFrameGap);
    services.console.PumpMessages();
    if (services.console.StopRequested()) return false;
  }
  return true;
}

std::string Format(const char* format, const std::string& value) {
  // The formats used here are fixed texts with one %s; build the line without printf.
  std::string text(format);
  const std::size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

void LogOutcome(OperatorConsole& console, bool installed, const std::string& fileName) {
  if (installed) {
    console.AppendLog(
        Format("\"%s\" update completed. Please recycle power on instrument", fileName));
    console.AppendLog("now.\r\n");
  } else {
    console.AppendLog(
        Format("\"%s\" firmware update failure! Please recycle power on", fileName));
    console.AppendLog("instrument now and Try again.\r\n");
  }
}

// The end of every attempt that reached the meter: the operator recycles power,
// then presses Continue (rediscover) or OK (leave).
void Finish(OperatorConsole& console, DialogState& dialog) {
  console.AppendLog("After instrument power is recycled, if you want to update another binary");
  console.AppendLog("file, please press the \"Continue\" button, otherwise press the \"OK\" button");
  console.AppendLog("to exit.");
  console.SetButtonCaption(ConsoleButton::kSelect, "Continue");
  console.SetButtonCaption(ConsoleButton::kExit, "OK");
  Enable(console, ConsoleButton::kExit);
  Enable(console, ConsoleButton::kSelect);
  dialog.readyForUpdate = false;
}

void ReportTransferOver(OperatorConsole& console) {
  ProgressReport report;
  report.finished = true;
  console.ReportProgress(report);
}

// The serial text inside "Serial No: <serial>": everything two characters after
// the first ':' (the colon and the blank that follows it).
std::string SerialFromLine(const std::string& serialLine) {
  const std::size_t colon = serialLine.find(':');
  if (colon == std::string::npos || colon + 2 > serialLine.size()) return {};
  return serialLine.substr(colon + 2);
}

// Firmware is judged against the meter's identity, so a meter that gave none
// is sent nothing. Its sessions may be dead (a pulled cable), so they are
// closed and the next Select looks for the meter again.
UpdateOutcome StopWithoutIdentity(Services& services, DialogState& dialog) {
  OperatorConsole& console = services.console;
  CloseSessions(dialog.session);
  dialog.readyForUpdate = false;
  Warn(console, dialog.report,
       {.text = std::string(kNoIdentityText),
        .caption = "Quorvel firmware",
        .icon = MessageIcon::kWarning,
        .buttons = MessageButtons::kOk,
        .owner = MessageOwner::kDialog});
  Enable(console, ConsoleButton::kSelect);
  return UpdateOutcome::kNoMeter;
}

// ---------------------------------------------------------------------------
// Single image: the data phase and the two status exchanges.

enum class TransferResult { kInstalled, kFailed, kStopped };

// The operator asked to stop; the meter stays in update mode.
TransferResult Stopped(OperatorConsole& console) {
  console.AppendLog(kStoppedLine);
  return TransferResult::kStopped;
}

TransferResult Failed(UpdateReport& report, TransferStep step) {
  report.step = step;
  return TransferResult::kFailed;
}

// The payload (everything after the header) in frames, then the meter's two verdicts.
TransferResult SendImage(Services& services, DialogState& dialog, const LoadedFirmware& image) {
  OperatorConsole& console = services.console;
  UpdateReport& report = dialog.report;
  report.image = 1;
  report.imageCount = 1;
  const std::span<const std::uint8_t> bytes(image.bytes);
  const auto payload = bytes.size() > kImageHeaderSize ? bytes.subspan(kImageHeaderSize)
                                                       : std::span<const std::uint8_t>();
  const TransferPacing pacing = SingleImagePacing();
  const ImageTransfer sent = TransferImage(services, dialog.session, payload, pacing, {});
  if (sent.stopped) return Stopped(console);
  if (!sent.ok()) return Failed(report, sent.failure);

  const Verdicts verdicts =
      ExchangeVerdicts(services, dialog.session, pacing, FirstRefusalLines::kLogged);
  report.meterStatus = verdicts.meterStatus;
  switch (verdicts.end) {
    case ImageEnd::kInstalled:
      report.imagesAccepted = 1;
      return TransferResult::kInstalled;
    case ImageEnd::kStopped:
      return Stopped(console);
    case ImageEnd::kUnconfirmed:
    case ImageEnd::kFailed:
      // A single image needs the meter's word after its end frame: silence fails it.
      if (verdicts.failure == TransferStep::kEndStatusNotRead) LogSecondStatusRefused(console, 0);
      break;
    case ImageEnd::kRefused:
      break;
  }
  return Failed(report, verdicts.failure);
}

// The meter is asked once more who it is; the answer is not used further.
// A meter that did not come back has no session to ask.
void AskIdentityAgain(Services& services, InstrumentSession& session) {
  if (session.instrument.empty()) return;
  std::array<ViChar, 1000> identification{};
  services.visa.viPrintf(session.instrument.get(), "*IDN?\n");
  session.lastStatus = services.visa.viScanf(session.instrument.get(), "%t",
                                             identification.data(), identification.size());
}

// The file could not be opened: the log holds only that, and Select tries
// again (the sessions stay open).
UpdateOutcome RefuseUnopenedFile(OperatorConsole& console) {
  console.ClearLog();
  console.AppendLog("Couldn't open source file.");
  Enable(console, ConsoleButton::kSelect);
  return UpdateOutcome::kFileNotOpened;
}

// The meter, already switched, is sent nothing: the refusal's lines stay in
// the log and only Exit remains.
UpdateOutcome RefuseImage(OperatorConsole& console, UpdateReport& report,
                          const std::vector<std::string>& lines, std::string reason) {
  for (const std::string& line : lines) console.AppendLog(line);
  report.notice = lines.front();
  console.ShowButton(ConsoleButton::kSelect, false);
  // The refusal is told in log lines only; the report keeps its words for the history.
  report.reason = std::move(reason);
  return UpdateOutcome::kFileRefused;
}

// The chosen file in memory: as the caller read it, else read here into
// `readHere`.
std::variant<const LoadedFirmware*, LoadFailure> ReadChosen(FileSystem& files,
                                                            const ChosenFirmware& chosen,
                                                            std::optional<LoadedFirmware>& readHere) {
  if (chosen.loaded != nullptr) return chosen.loaded;
  auto loaded = LoadFirmware(files, chosen.path);
  if (const auto* failure = std::get_if<LoadFailure>(&loaded)) return *failure;
  return &readHere.emplace(std::move(std::get<LoadedFirmware>(loaded)));
}

// Reads the image into memory and judges its header; the image, or the
// outcome that ends the run here (the sessions stay open for another try).
std::variant<const LoadedFirmware*, UpdateOutcome> LoadAndJudgeImage(
    Services& services, DialogState& dialog, const ChosenFirmware& chosen,
    std::optional<LoadedFirmware>& readHere) {
  OperatorConsole& console = services.console;
  const auto loaded = ReadChosen(services.files, chosen, readHere);
  if (const auto* failure = std::get_if<LoadFailure>(&loaded)) {
    switch (failure->problem) {
      case LoadProblem::kNotOpened:
        return RefuseUnopenedFile(console);
      case LoadProblem::kTooLarge:
        return RefuseImage(console, dialog.report, {LoadFailureText(*failure)},
                           LoadFailureText(*failure));
      case LoadProblem::kReadError:
        break;
    }
    // Nothing of a file that fails part of the way is sent.
    LogFileReadError(console);
    dialog.report.step = TransferStep::kFileRead;
    return UpdateOutcome::kTransferFailed;
  }
  const LoadedFirmware& image = *std::get<const LoadedFirmware*>(loaded);
  dialog.report.fileSha256 = image.Sha256Hex();
  dialog.report.fileSize = image.bytes.size();

  const ImageHeader header = ReadImageHeader(*image.Open(), 0);
  AskIdentityAgain(services, dialog.session);
  const HeaderVerdict verdict = JudgeImageHeader(header, dialog.versions);
  if (verdict != HeaderVerdict::kAccept) {
    return RefuseImage(console, dialog.report, ImageRefusalLines(verdict, header.functionId()),
                       HeaderRefusalText(verdict, header.functionId()));
  }
  return &image;
}

// The end of every attempt that went past the switch: the outcome lines, the
// sessions closed, Continue and OK.
UpdateOutcome ReportImageResult(Services& services, DialogState& dialog, TransferResult result,
                                const std::string& fileName, bool meterCameBack) {
  OperatorConsole& console = services.console;
  ReportTransferOver(console);
  console.ClearLog();
  LogOutcome(console, result == TransferResult::kInstalled, fileName);
  CloseSessions(dialog.session);
  Finish(console, dialog);
  switch (result) {
    case TransferResult::kInstalled: return UpdateOutcome::kInstalled;
    case TransferResult::kStopped: return UpdateOutcome::kStopped;
    case TransferResult::kFailed: break;
  }
  // Frames to a meter that never came back after the switch reach no meter.
  if (meterCameBack) return UpdateOutcome::kTransferFailed;
  dialog.report.step = TransferStep::kMeterLost;
  return UpdateOutcome::kNoMeter;
}

// "system:update", then the meter is looked for again. Something only when
// the operator asked to stop.
std::optional<TransferResult> SwitchAndReconnect(Services& services, DialogState& dialog,
                                                 MeterWaitNotice& waiting) {
  const ModeSwitch switched =
      SwitchToUpdateMode(services, dialog.session, kImageModeSwitch, waiting);
  dialog.report.switchedToUpdateMode = switched.switched;
  if (switched.stopped) return TransferResult::kStopped;
  const Reconnection back = Reconnect(services, dialog.session, Rediscovery::kDialog, waiting);
  dialog.readyForUpdate = back.found;
  dialog.report.notice = back.notice;
  if (back.stopped) return TransferResult::kStopped;
  Disable(services.console, ConsoleButton::kSelect);  // discovery enabled it; the run is not over
  return std::nullopt;
}

// The single image: switch, reconnect, read and judge, send, report.
UpdateOutcome RunImageBranch(Services& services, DialogState& dialog, const ChosenFirmware& chosen,
                             const std::string& fileName) {
  OperatorConsole& console = services.console;
  MeterWaitNotice waiting(console);
  if (const auto stopped = SwitchAndReconnect(services, dialog, waiting)) {
    waiting.End();
    console.AppendLog(kStoppedLine);
    return ReportImageResult(services, dialog, *stopped, fileName, /*meterCameBack=*/true);
  }
  const bool meterCameBack = dialog.readyForUpdate;

  std::optional<LoadedFirmware> readHere;
  const auto judged = LoadAndJudgeImage(services, dialog, chosen, readHere);
  if (const auto* ended = std::get_if<UpdateOutcome>(&judged)) {
    waiting.End();
    if (*ended != UpdateOutcome::kTransferFailed) return *ended;
    return ReportImageResult(services, dialog, TransferResult::kFailed, fileName, meterCameBack);
  }
  const LoadedFirmware& image = *std::get<const LoadedFirmware*>(judged);

  Disable(console, ConsoleButton::kExit);
  console.Repaint();
  console.PumpMessages();
  const bool paused = WaitInSlices(services, 20);
  waiting.End();
  const TransferResult result = paused ? SendImage(services, dialog, image) : Stopped(console);
  return ReportImageResult(services, dialog, result, fileName, meterCameBack);
}

// A damaged package is refused before the meter is touched, and the window
// stays ready for the next Select. Otherwise the package, as read into memory
// here, goes to the package update.
UpdateOutcome RunPackageBranch(Services& services, DialogState& dialog, const ChosenFirmware& chosen,
                               const std::string& folder, const std::string& fileName,
                               const std::string& serialLine) {
  OperatorConsole& console = services.console;
  std::optional<LoadedFirmware> readHere;
  const auto loaded = ReadChosen(services.files, chosen, readHere);
  const auto* failure = std::get_if<LoadFailure>(&loaded);
  // A package that cannot be opened is the package update's to report.
  const bool opened = !failure || failure->problem != LoadProblem::kNotOpened;
  if (opened &&
      (failure || !CheckPackageFile(*std::get<const LoadedFirmware*>(loaded)->Open()).ok())) {
    Warn(console, dialog.report,
         {.text = std::string(kDamagedPackageText),
          .caption = "Quorvel",
          .icon = MessageIcon::kWarning,
          .buttons = MessageButtons::kOk,
          .owner = MessageOwner::kNone});
    console.ClearLog();
    LogReadyInstructions(console);
    Enable(console, ConsoleButton::kSelect);
    return UpdateOutcome::kFileRefused;
  }

  CloseSessions(dialog.session);
  Disable(console, ConsoleButton::kSelect);
  Disable(console, ConsoleButton::kExit);

  const std::string folderAndSerial = folder + "@" + SerialFromLine(serialLine);
  const LoadedFirmware* package = failure ? nullptr : std::get<const LoadedFirmware*>(loaded);
  const UpdateReport run = RunPackageUpdate(services, chosen.path, folderAndSerial, package);
  dialog.report.TakeProcedureFacts(run);
  const UpdateOutcome outcome = run.outcome;

  // The meter's silence after an end frame is taken as the package path
  // always took it; the report keeps that nothing confirmed it.
  LogOutcome(console, outcome == UpdateOutcome::kInstalled || outcome == UpdateOutcome::kUnconfirmed,
             fileName);
  Finish(console, dialog);
  return outcome;
}

// The Select button's steps; RunImageUpdate records how they ended.
UpdateOutcome RunSelect(Services& services, DialogState& dialog, const ChooseFirmware& choose) {
  OperatorConsole& console = services.console;
  if (!dialog.readyForUpdate) {
    DiscoverInstrument(services, dialog.session, dialog.readyForUpdate);
    dialog.report.notice = dialog.session.notice;
    return UpdateOutcome::kRediscovered;
  }

  console.ClearLog();
  Disable(console, ConsoleButton::kSelect);
  const Identification identified = Identify(services, dialog.session);
  dialog.versions = identified.identity.versions;
  // Who the meter was before anything changed, for the report and the history.
  dialog.report.resource = dialog.session.resource;
  dialog.report.identityBefore = WithoutLineEnd(identified.identity.reply);
  if (identified.refusal == UpdateOutcome::kNoMeter) return StopWithoutIdentity(services, dialog);
  if (identified.refusal == UpdateOutcome::kWrongMode) {
    Enable(console, ConsoleButton::kSelect);
    console.AppendLog("Incorrect mode. Please recycle power on instrument and");
    console.AppendLog("click \"Select\" to try again.");
    return UpdateOutcome::kWrongMode;
  }

  const std::string serialLine = Format("Serial No: %s", ReadSerial(services, dialog.session));
  console.AppendLog(serialLine);
  console.AppendLog("Please wait ...");

  std::optional<ChosenFirmware> chosen;
  if (choose) {
    chosen = choose();
  } else if (auto path = console.ChooseFile(kFirmwareFileFilter)) {
    chosen = ChosenFirmware{std::move(*path)};
  }
  if (!chosen) {
    console.ClearLog();
    console.AppendLog("User Abort...");
    Enable(console, ConsoleButton::kSelect);
    return UpdateOutcome::kChooserCancelled;
  }

  const auto [folder, fileName] = SplitPath(chosen->path);
  if (NamesPackage(fileName)) {
    return RunPackageBranch(services, dialog, *chosen, folder, fileName, serialLine);
  }
  return RunImageBranch(services, dialog, *chosen, fileName);
}

}  // namespace

std::pair<std::string, std::string> SplitPath(std::string_view path) {
#ifdef _WIN32
  constexpr std::string_view kSeparators = "\\/";
#else
  constexpr std::string_view kSeparators = "/";
#endif
  const std::size_t last = path.find_last_of(kSeparators);
  if (last == std::string_view::npos) return {std::string(), std::string(path)};
  return {std::string(path.substr(0, last + 1)), std::string(path.substr(last + 1))};
}

UpdateOutcome RunImageUpdate(Services& services, DialogState& dialog,
                             const ChooseFirmware& choose) {
  dialog.report = UpdateReport{};
  dialog.report.outcome = RunSelect(services, dialog, choose);
  return dialog.report.outcome;
}

void CloseSessionsForExit(DialogState& dialog) { CloseSessions(dialog.session); }

}  // namespace quorvel
