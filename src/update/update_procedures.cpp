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

namespace quorvel {

namespace {

constexpr Millis kAfterModeSwitch{5000};
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

bool Wait(Services& services, Millis duration) {
  return WaitUnlessStopped(services.clock, services.console, duration);
}

// Waits until `deadline` while keeping the window alive. The waits before data
// frames pump too, so the window never freezes for the minutes a transfer takes;
// the frame still goes out no earlier than its deadline.
void WaitBeforeFrame(Services& services, Millis gap) {
  WaitPumping(services.clock, services.console, gap);
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

std::string ReplyText(const InstrumentSession& session) {
  const std::size_t delivered = std::min<std::size_t>(session.count, kReplyReadSize);
  const auto* bytes = reinterpret_cast<const char*>(session.replyBuffer.data());
  return std::string(bytes, std::find(bytes, bytes + delivered, '\0'));
}

enum class TransferResult { kInstalled, kFailed, kStopped };

// Reads one status reply into the session's reply buffer: the meter's verdict.
ImageVerdict ReadStatusReply(Services& services, InstrumentSession& session) {
  session.replyBuffer[0] = 0;
  const Transfer read =
      ReadFromMeter(services, session, std::span(session.replyBuffer).first(kReplyReadSize));
  session.count = read.count;
  session.ioStatus = read.status;
  session.lastReply = ReplyText(session);
  const auto* text = reinterpret_cast<const std::uint8_t*>(session.lastReply.data());
  const std::span<const std::uint8_t> reply(text, session.lastReply.size());
  return {StatusCharacter(reply), ViSucceeded(session.ioStatus)};
}

// The operator asked to stop; the meter stays in update mode.
TransferResult Stopped(OperatorConsole& console) {
  console.AppendLog(kStoppedLine);
  return TransferResult::kStopped;
}

TransferResult SendImagePayload(Services& services, DialogState& dialog, FirmwareFile& image) {
  OperatorConsole& console = services.console;
  InstrumentSession& session = dialog.session;
  UpdateReport& report = dialog.report;
  report.image = 1;
  report.imageCount = 1;
  std::array<std::uint8_t, kMaxDataFrame> frame{};

  const std::int64_t fileSize = image.Size();
  ProgressReport progress;
  progress.bytesTotal =
      fileSize > static_cast<std::int64_t>(kImageHeaderSize)
          ? static_cast<std::uint64_t>(fileSize) - kImageHeaderSize
          : 0;

  for (;;) {
    const FileRead read = image.Read(frame);
    if (read.error) {
      // Never send a frame the file did not fully supply.
      report.step = TransferStep::kFileRead;
      LogFileReadError(console);
      return TransferResult::kFailed;
    }
    if (read.count == 0) break;
    WaitBeforeFrame(services, kFrameGap);
    if (console.StopRequested()) return Stopped(console);
    const auto length = static_cast<ViUInt32>(read.count);
    const Transfer write = WriteToMeter(services, session, std::span(frame).first(length));
    session.count = write.count;
    if (const auto failure = FrameWriteFailure(console, write, length, /*endFrame=*/false)) {
      report.step = *failure;
      return TransferResult::kFailed;
    }
    progress.bytesSent += length;
    console.ReportProgress(progress);
  }

  // End of the payload: the meter states whether it took the image.
  if (!WaitInSlices(services, 10) || !Wait(services, kFrameGap)) return Stopped(console);
  const ImageVerdict first = ReadStatusReply(services, session);
  if (!first.accepted()) {
    report.step = TransferStep::kStatusRefused;
    report.meterStatus = first.character;
    LogFirstStatusRefused(console, first.character);
    return TransferResult::kFailed;
  }

  std::copy(kEndFrame.begin(), kEndFrame.end(), frame.begin());
  if (!Wait(services, kFrameGap)) return Stopped(console);
  const Transfer endWrite = WriteToMeter(services, session, kEndFrame);
  session.count = endWrite.count;
  if (const auto failure =
          FrameWriteFailure(console, endWrite, kEndFrame.size(), /*endFrame=*/true)) {
    report.step = *failure;
    return TransferResult::kFailed;
  }

  if (!WaitInSlices(services, 10) || !Wait(services, kFrameGap)) return Stopped(console);
  const ImageVerdict second = ReadStatusReply(services, session);
  if (!second.accepted()) {
    report.step = TransferStep::kEndStatusRefused;
    report.meterStatus = second.character;
    LogSecondStatusRefused(console, second.character);
    return TransferResult::kFailed;
  }
  return TransferResult::kInstalled;
}

// "system:update": the meter leaves the bus; the sessions are closed and the
// meter is looked for again. Something only when the operator asked to stop.
std::optional<TransferResult> SwitchToUpdateMode(Services& services, DialogState& dialog) {
  InstrumentSession& session = dialog.session;
  ExchangeCommand(services, session, "system:update\n");
  // A meter that took no byte of the command was not switched: one cut off
  // just before it is still in its normal mode.
  dialog.report.switchedToUpdateMode = session.count > 0;
  OperatorConsole& console = services.console;
  console.ShowWaiting({MeterWait::kSwitching, kFrameGap * 20});
  const bool waited = WaitInSlices(services, 20);
  CloseSessions(session);
  if (waited) console.ShowWaiting({MeterWait::kRestarting, kAfterModeSwitch});
  if (!waited || !Wait(services, kAfterModeSwitch)) {
    console.ShowWaiting({});
    return TransferResult::kStopped;
  }
  console.ShowWaiting({MeterWait::kReconnecting, Millis{0}});
  DiscoverInstrument(services, session, dialog.readyForUpdate);
  console.ShowWaiting({});
  dialog.report.notice = session.notice;
  Disable(services.console, ConsoleButton::kSelect);  // discovery enabled it; the run is not over
  if (services.console.StopRequested()) return TransferResult::kStopped;
  return std::nullopt;
}

// Opens the image and judges its header; the open image, or the outcome that
// ends the run here (the sessions stay open for another try).
std::variant<std::unique_ptr<FirmwareFile>, UpdateOutcome> OpenAndJudgeImage(
    Services& services, DialogState& dialog, const std::string& fullPath) {
  OperatorConsole& console = services.console;
  InstrumentSession& session = dialog.session;
  std::unique_ptr<FirmwareFile> image =
      services.files.OpenForReading(fullPath, FileShare::kReadOnly);
  if (!image) {
    console.ClearLog();
    console.AppendLog("Couldn't open source file.");
    Enable(console, ConsoleButton::kSelect);
    return UpdateOutcome::kFileNotOpened;
  }

  const ImageHeader header = ReadImageHeader(*image, 0);

  // The meter is asked once more who it is; the answer is not used further.
  // A meter that did not come back has no session to ask.
  if (!session.instrument.empty()) {
    std::array<ViChar, 1000> identification{};
    services.visa.viPrintf(session.instrument.get(), "*IDN?\n");
    session.lastStatus = services.visa.viScanf(session.instrument.get(), "%t",
                                               identification.data(), identification.size());
  }

  const HeaderVerdict verdict = JudgeImageHeader(header, dialog.versions);
  if (verdict != HeaderVerdict::kAccept) {
    const std::vector<std::string> lines = ImageRefusalLines(verdict, header.functionId());
    for (const std::string& line : lines) console.AppendLog(line);
    dialog.report.notice = lines.front();
    console.ShowButton(ConsoleButton::kSelect, false);
    // The refusal is told in log lines only; the report keeps its words for the history.
    dialog.report.reason =
        HeaderRefusalText(JudgeImageHeader(header, dialog.versions), header.functionId());
    return UpdateOutcome::kFileRefused;
  }
  return image;
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

// The single image: switch, open and judge, send, report.
UpdateOutcome RunImageBranch(Services& services, DialogState& dialog, const std::string& fullPath,
                             const std::string& fileName) {
  OperatorConsole& console = services.console;
  if (const auto stopped = SwitchToUpdateMode(services, dialog)) {
    console.AppendLog(kStoppedLine);
    return ReportImageResult(services, dialog, *stopped, fileName, /*meterCameBack=*/true);
  }
  const bool meterCameBack = dialog.readyForUpdate;

  auto opened = OpenAndJudgeImage(services, dialog, fullPath);
  if (const auto* refused = std::get_if<UpdateOutcome>(&opened)) return *refused;
  std::unique_ptr<FirmwareFile> image = std::move(std::get<std::unique_ptr<FirmwareFile>>(opened));

  Disable(console, ConsoleButton::kExit);
  console.Repaint();
  console.PumpMessages();
  const TransferResult result = WaitInSlices(services, 20)
                                    ? SendImagePayload(services, dialog, *image)
                                    : Stopped(console);
  image.reset();
  return ReportImageResult(services, dialog, result, fileName, meterCameBack);
}

// A damaged package is refused before the meter is touched, and the window
// stays ready for the next Select. Otherwise the package, still open and
// locked, goes to the package update.
UpdateOutcome RunPackageBranch(Services& services, DialogState& dialog, const std::string& fullPath,
                               const std::string& folder, const std::string& fileName,
                               const std::string& serialLine) {
  OperatorConsole& console = services.console;
  std::unique_ptr<FirmwareFile> package =
      services.files.OpenForReading(fullPath, FileShare::kReadOnly);
  if (package && !CheckPackageFile(*package).ok()) {
    package.reset();
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
  dialog.report = RunPackageUpdateReported(services, fullPath, folderAndSerial, std::move(package));
  const UpdateOutcome outcome = dialog.report.outcome;

  LogOutcome(console, outcome == UpdateOutcome::kInstalled, fileName);
  Finish(console, dialog);
  return outcome;
}

// The Select button's steps; RunImageUpdate records how they ended.
UpdateOutcome RunSelect(Services& services, DialogState& dialog) {
  OperatorConsole& console = services.console;
  if (!dialog.readyForUpdate) {
    DiscoverInstrument(services, dialog.session, dialog.readyForUpdate);
    dialog.report.notice = dialog.session.notice;
    return UpdateOutcome::kRediscovered;
  }

  console.ClearLog();
  Disable(console, ConsoleButton::kSelect);
  const MeterIdentity identity = ReadIdentity(services, dialog.session);
  dialog.versions = identity.versions;
  // Who the meter was before anything changed, for the report and the history.
  dialog.report.resource = dialog.session.resource;
  dialog.report.identityBefore = WithoutLineEnd(identity.reply);
  if (!IsUsableIdentity(identity)) return StopWithoutIdentity(services, dialog);
  if (IsWrongMode(dialog.versions)) {
    Enable(console, ConsoleButton::kSelect);
    console.AppendLog("Incorrect mode. Please recycle power on instrument and");
    console.AppendLog("click \"Select\" to try again.");
    return UpdateOutcome::kWrongMode;
  }

  const std::string serialLine = Format("Serial No: %s", ReadSerial(services, dialog.session));
  console.AppendLog(serialLine);
  console.AppendLog("Please wait ...");

  const std::optional<std::string> chosen = console.ChooseFile(kFirmwareFileFilter);
  if (!chosen) {
    console.ClearLog();
    console.AppendLog("User Abort...");
    Enable(console, ConsoleButton::kSelect);
    return UpdateOutcome::kChooserCancelled;
  }

  const std::string& fullPath = *chosen;
  const auto [folder, fileName] = SplitPath(fullPath);
  if (NamesPackage(fileName)) {
    return RunPackageBranch(services, dialog, fullPath, folder, fileName, serialLine);
  }
  return RunImageBranch(services, dialog, fullPath, fileName);
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

UpdateOutcome RunImageUpdate(Services& services, DialogState& dialog) {
  dialog.report = UpdateReport{};
  dialog.report.outcome = RunSelect(services, dialog);
  return dialog.report.outcome;
}

void CloseSessionsForExit(DialogState& dialog) { CloseSessions(dialog.session); }

}  // namespace quorvel
