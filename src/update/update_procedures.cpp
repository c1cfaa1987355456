// The Select button's single-image update and the package update.
//
// Both run on the caller's (GUI) thread and are paced only by waits through the
// clock: the meter needs at least 100 ms between data frames and takes seconds
// to come back after switching to its update mode.
#include "update/update_procedures.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/clock.h"
#include "common/operator_console.h"
#include "firmware/file_source.h"
#include "update/frames.h"

namespace quorvel {

namespace {

constexpr Millis kSlice{100};        // one pumped wait slice between phases
constexpr Millis kFrameGap{100};     // the meter needs this long between data frames
constexpr Millis kAfterModeSwitch{5000};

void Disable(OperatorConsole& console, ConsoleButton button) { console.EnableButton(button, false); }
void Enable(OperatorConsole& console, ConsoleButton button) { console.EnableButton(button, true); }

// `slices` times: wait 100 ms, then let the window process its messages.
void WaitInSlices(Services& services, int slices) {
  for (int i = 0; i < slices; ++i) {
    services.clock.Sleep(kSlice);
    services.console.PumpMessages();
  }
}

// Waits until `deadline` while keeping the window alive. The waits before data
// frames pump too, so the window never freezes for the minutes a transfer takes;
// the frame still goes out no earlier than its deadline.
void WaitBeforeFrame(Services& services, Millis gap) {
  services.clock.PumpedWait(gap, [&services] { services.console.PumpMessages(); });
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

bool NamesPackage(const std::string& fileName) { return fileName.ends_with(".pak"); }

// Firmware is judged against the meter's identity, so a meter that gave none
// is sent nothing. Its sessions may be dead (a pulled cable), so they are
// closed and the next Select looks for the meter again.
UpdateOutcome StopWithoutIdentity(Services& services, DialogState& dialog) {
  OperatorConsole& console = services.console;
  CloseSessions(services, dialog.session, /*clearAfterwards=*/true);
  dialog.readyForUpdate = false;
  console.ShowMessageBox({.text = std::string(kNoIdentityText),
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

// Reads one status reply into the session's reply buffer; its status character.
std::uint8_t ReadStatusReply(Services& services, InstrumentSession& session) {
  session.replyBuffer[0] = 0;
  session.count = 0;
  services.visa.viRead(session.instrument, session.replyBuffer.data(), kReplyReadSize,
                       &session.count);
  session.lastReply = ReplyText(session);
  const auto* text = reinterpret_cast<const std::uint8_t*>(session.lastReply.data());
  return StatusCharacter({text, session.lastReply.size()});
}

enum class TransferResult { kInstalled, kFailed, kStopped };

TransferResult SendImagePayload(Services& services, DialogState& dialog, FirmwareFile& image) {
  OperatorConsole& console = services.console;
  InstrumentSession& session = dialog.session;
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
      console.AppendLog("Read error in the firmware file.");
      return TransferResult::kFailed;
    }
    if (read.count == 0) break;
    WaitBeforeFrame(services, kFrameGap);
    if (console.StopRequested()) {
      console.AppendLog("Transfer stopped by the operator; the meter is left in update mode.");
      return TransferResult::kStopped;
    }
    const auto length = static_cast<ViUInt32>(read.count);
    session.count = 0;
    services.visa.viWrite(session.instrument, frame.data(), length, &session.count);
    if (session.count == 0) {
      console.AppendLog("the 1st error -- in writing progress.");
      console.AppendLog("\r\nUpgrade failure....Please restart DMM and try again.");
      return TransferResult::kFailed;
    }
    if (session.count != length) {
      console.AppendLog("the 1-1st Error -- in writing progress.");
      console.AppendLog("\r\nUpgrade failure....during writing progress.");
      return TransferResult::kFailed;
    }
    progress.bytesSent += length;
    console.ReportProgress(progress);
  }

  // End of the payload: the meter states whether it took the image.
  WaitInSlices(services, 10);
  services.clock.Sleep(kSlice);
  const std::uint8_t first = ReadStatusReply(services, session);
  if (first != kStatusAccepted) {
    console.AppendLog("the 3nd error -- Checksum error.");
    ReportStatusCode(console, first);
    return TransferResult::kFailed;
  }

  std::copy(kEndFrame.begin(), kEndFrame.end(), frame.begin());
  services.clock.Sleep(kSlice);
  session.count = 0;
  services.visa.viWrite(session.instrument, frame.data(), static_cast<ViUInt32>(kEndFrame.size()),
                        &session.count);
  if (session.count == 0) {
    console.AppendLog("the 2nd error -- send EOF.");
    console.AppendLog("Upgrade failure...Please restart DMM and try again.");
    return TransferResult::kFailed;
  }

  WaitInSlices(services, 10);
  services.clock.Sleep(kSlice);
  const std::uint8_t second = ReadStatusReply(services, session);
  if (second != kStatusAccepted) {
    console.AppendLog("the 2nd error -- check EOF.");
    console.AppendLog("Upgrade failure...Please restart DMM and try again.");
    ReportStatusCode(console, second);
    return TransferResult::kFailed;
  }
  return TransferResult::kInstalled;
}

UpdateOutcome RunImageBranch(Services& services, DialogState& dialog, const std::string& fullPath,
                             const std::string& fileName) {
  OperatorConsole& console = services.console;
  InstrumentSession& session = dialog.session;

  ExchangeCommand(services, session, "system:update\n");
  WaitInSlices(services, 20);
  CloseSessions(services, session, /*clearAfterwards=*/true);
  services.clock.Sleep(kAfterModeSwitch);
  DiscoverInstrument(services, session, dialog.readyForUpdate);
  Disable(console, ConsoleButton::kSelect);  // discovery enabled it; the run is not over

  std::unique_ptr<FirmwareFile> image = services.files.OpenForReading(fullPath, FileShare::kReadOnly);
  if (!image) {
    console.ClearLog();
    console.AppendLog("Couldn't open source file.");
    Enable(console, ConsoleButton::kSelect);
    return UpdateOutcome::kFileNotOpened;
  }

  const ImageHeader header = ReadImageHeader(*image, 0);

  // The meter is asked once more who it is; the answer is not used further.
  std::array<ViChar, 1000> identification{};
  services.visa.viPrintf(session.instrument, "*IDN?\n");
  session.lastStatus = services.visa.viScanf(session.instrument, "%t", identification.data(),
                                             identification.size());

  if (!CheckImageHeader(header, dialog.versions, console)) {
    image.reset();
    console.ShowButton(ConsoleButton::kSelect, false);
    return UpdateOutcome::kFileRefused;
  }

  Disable(console, ConsoleButton::kExit);
  console.Repaint();
  console.PumpMessages();
  WaitInSlices(services, 20);

  const TransferResult result = SendImagePayload(services, dialog, *image);
  ReportTransferOver(console);

  image.reset();
  console.ClearLog();
  LogOutcome(console, result == TransferResult::kInstalled, fileName);
  services.visa.viClose(session.instrument);
  services.visa.viClose(session.resourceManager);
  Finish(console, dialog);

  switch (result) {
    case TransferResult::kInstalled: return UpdateOutcome::kInstalled;
    case TransferResult::kStopped: return UpdateOutcome::kStopped;
    case TransferResult::kFailed: break;
  }
  return UpdateOutcome::kTransferFailed;
}

UpdateOutcome RunPackageBranch(Services& services, DialogState& dialog, const std::string& fullPath,
                               const std::string& folder, const std::string& fileName,
                               const std::string& serialLine) {
  OperatorConsole& console = services.console;
  CloseSessions(services, dialog.session, /*clearAfterwards=*/true);
  Disable(console, ConsoleButton::kSelect);
  Disable(console, ConsoleButton::kExit);

  const std::string folderAndSerial = folder + "@" + SerialFromLine(serialLine);
  const UpdateOutcome outcome = RunPackageUpdateWithOutcome(services, fullPath, folderAndSerial);

  LogOutcome(console, outcome == UpdateOutcome::kInstalled, fileName);
  Finish(console, dialog);
  return outcome;
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
  OperatorConsole& console = services.console;
  if (!dialog.readyForUpdate) {
    DiscoverInstrument(services, dialog.session, dialog.readyForUpdate);
    return UpdateOutcome::kRediscovered;
  }

  console.ClearLog();
  Disable(console, ConsoleButton::kSelect);
  const MeterIdentity identity = ReadIdentity(services, dialog.session);
  dialog.versions = identity.versions;
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

void CloseSessionsForExit(Services& services, DialogState& dialog) {
  CloseSessions(services, dialog.session, /*clearAfterwards=*/true);
}

}  // namespace quorvel
