// The package update: checks one image header of a .pak against the meter,
// switches the meter to its update mode and sends every image in entry order.
#include <algorithm>
#include <array>
#include <charconv>
#include <cctype>
#include <memory>

#include "common/clock.h"
#include "common/operator_console.h"
#include "firmware/file_source.h"
#include "firmware/package.h"
#include "firmware/package_check.h"
#include "update/frames.h"
#include "update/update_procedures.h"

namespace quorvel {

namespace {

constexpr Millis kFrameGap{100};        // the meter needs this long between data frames
constexpr Millis kShortPause{10};
constexpr Millis kPause{100};
constexpr int kModeSwitchPasses = 40;   // 40 x 100 ms for the meter to leave the bus
constexpr int kCheckedEntry = 3;        // the header examined: image 3, or the last one
constexpr ViUInt32 kEndFrameReplySize = 64;

void ShowWarning(OperatorConsole& console, std::string text, std::string caption) {
  console.ShowMessageBox({.text = std::move(text),
                          .caption = std::move(caption),
                          .icon = MessageIcon::kWarning,
                          .buttons = MessageButtons::kOk,
                          .owner = MessageOwner::kNone});
}

// The decimal number written at the start of a version text: blanks, an
// optional sign, digits with an optional point and exponent; 0 when none.
double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  const std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t digitsStart = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  bool anyDigit = i > digitsStart;
  if (i < text.size() && text[i] == '.') {
    const std::size_t fraction = ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    anyDigit = anyDigit || i > fraction;
  }
  if (!anyDigit) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t exponentDigits = j;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    if (j > exponentDigits) i = j;
  }
  std::string_view number = text.substr(start, i - start);
  if (number.front() == '+') number.remove_prefix(1);  // from_chars takes no '+'
  double value = 0.0;
  std::from_chars(number.data(), number.data() + number.size(), value);
  return value;
}

// Text of `bytes` up to the first NUL.
std::string TextUpToNul(std::span<const std::uint8_t> bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  return std::string(bytes.begin(), end);
}

bool IsSpecialMeter(const std::string& instrumentVersion) { return instrumentVersion == "02.xx"; }
bool IsTestMeter(const std::string& instrumentVersion) {
  return !instrumentVersion.empty() && instrumentVersion.front() == 'T';
}

// The package path's own header rules. Empty when the update may go on,
// otherwise the text of the refusal box.
std::string JudgePackageHeader(const ImageHeader& header, const MeterVersions& meter) {
  const std::span<const std::uint8_t> decoded(header.decoded);
  const std::string signature = TextUpToNul(decoded.subspan(1, 5));
  if (signature != "NAVIR" && !IsTestMeter(meter.instrumentVersion)) {
    return "Firmware update was not successful.\nPlease be sure you selected the correct "
           "firmware file in the installation process.";
  }
  if (IsSpecialMeter(meter.instrumentVersion) || IsTestMeter(meter.instrumentVersion)) return {};

  const std::string imageVersion = TextUpToNul(decoded.subspan(41, 5));
  const double image = LeadingNumber(imageVersion);
  const double instrument = LeadingNumber(meter.instrumentVersion);
  const char* const kOlder = ").\nBinary file version is older than instrument version.";
  switch (header.functionId()) {
    case 0:
      if (imageVersion.find('T') != std::string::npos || image >= instrument) return {};
      return std::string("Firmware Update Not Possible (DSP") + kOlder;
    case 1:
      if (image > instrument) return {};
      return std::string("Firmware Update Not Possible (Panel") + kOlder;
    case 2:
      if (image > instrument) return {};
      return std::string("Firmware Update Not Possible (MSP 430") + kOlder;
    default:
      return "Firmware Update Not Possible. Binary file contain unidentify function ID.";
  }
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
  PackageUpdate(Services& services, const std::string& packagePath)
      : services_(services), console_(services.console), path_(packagePath) {}

  UpdateOutcome Run(const std::string& folderAndSerial);

 private:
  UpdateOutcome Prepare(const std::string& folderAndSerial, int& entryCount);
  UpdateOutcome SwitchToUpdateMode();
  bool SendImage(int index, int imageCount);
  bool SendChunks(FirmwareFile& file, int index, int imageCount, std::int64_t length,
                  std::int64_t& lastChunk);
  bool ReadImageStatus();

  UpdateOutcome Exit(UpdateOutcome outcome) {
    ProgressReport report;
    report.finished = true;
    console_.ReportProgress(report);
    CloseSessions(services_, session_, /*clearAfterwards=*/false);
    return outcome;
  }

  Services& services_;
  OperatorConsole& console_;
  const std::string& path_;
  InstrumentSession session_;  // the package's own connection; nothing of it outlives the call
  std::array<std::uint8_t, kMaxDataFrame> chunk_{};
};

UpdateOutcome PackageUpdate::Run(const std::string& folderAndSerial) {
  int entryCount = 0;
  if (const UpdateOutcome refused = Prepare(folderAndSerial, entryCount);
      refused != UpdateOutcome::kInstalled) {
    return Exit(refused);
  }
  if (const UpdateOutcome lost = SwitchToUpdateMode(); lost != UpdateOutcome::kInstalled) {
    return Exit(lost);
  }
  for (int index = 1; index <= entryCount; ++index) {
    if (console_.StopRequested()) return Exit(UpdateOutcome::kStopped);
    if (!SendImage(index, entryCount)) {
      return Exit(console_.StopRequested() ? UpdateOutcome::kStopped
                                           : UpdateOutcome::kTransferFailed);
    }
  }
  return Exit(UpdateOutcome::kInstalled);
}

// Everything before the meter is told to switch: the meter is found, the whole
// package is checked and one image header is judged. kInstalled means "go on".
UpdateOutcome PackageUpdate::Prepare(const std::string& folderAndSerial, int& entryCount) {
  ReconnectPackageSession(services_, session_);
  if (session_.count == 0) return UpdateOutcome::kNoMeter;

  if (folderAndSerial.find('@') == std::string::npos) {
    ShowWarning(console_, "DMM device serial no miss.", "Quorvel");
    return UpdateOutcome::kNoMeter;
  }
  ExchangeCommand(services_, session_, "cal:sec:serial?\n");

  PackageDirectory directory;
  ReadPackageDirectory(services_.files, path_, directory);
  PackageEntry checked;
  ReadPackageEntry(services_.files, path_, checked, kCheckedEntry);

  std::unique_ptr<FirmwareFile> file = services_.files.OpenForReading(path_);
  if (!file) {
    ShowWarning(console_, "The first bin file not found.", "Quorvel firmware");
    return UpdateOutcome::kFileNotOpened;
  }
  // A damaged package must never reach the meter: every image must lie inside the file.
  PackageLayout layout;
  if (!CheckPackageFile(*file, &layout).ok()) {
    file.reset();
    ShowWarning(console_, "The package file is damaged.", "Quorvel");
    return UpdateOutcome::kFileRefused;
  }
  entryCount = layout.directory.entryCount;

  const MeterIdentity identity = ReadIdentity(services_, session_, /*waitAfterL0=*/false);
  if (!IsUsableIdentity(identity)) {
    ShowWarning(console_, std::string(kNoIdentityText), "Quorvel");
    return UpdateOutcome::kNoMeter;
  }
  const MeterVersions& meter = identity.versions;
  const ImageHeader header = ReadImageHeader(*file, checked.imageOffset);
  file.reset();

  if (std::string refusal = JudgePackageHeader(header, meter); !refusal.empty()) {
    ShowWarning(console_, std::move(refusal), "Quorvel");
    return UpdateOutcome::kFileRefused;
  }
  return UpdateOutcome::kInstalled;
}

UpdateOutcome PackageUpdate::SwitchToUpdateMode() {
  ExchangeCommand(services_, session_, "system:update\n");
  // The meter leaves the bus now; keep the window alive while it does.
  for (int pass = 0; pass < kModeSwitchPasses; ++pass) {
    console_.PumpMessages();
    services_.clock.Sleep(kPause);
  }
  CloseSessions(services_, session_, /*clearAfterwards=*/false);
  ReconnectPackageSession(services_, session_);
  return session_.count == 0 ? UpdateOutcome::kNoMeter : UpdateOutcome::kInstalled;
}

bool PackageUpdate::SendImage(int index, int imageCount) {
  PackageEntry entry;
  int recordsRead = 0;
  ReadPackageEntry(services_.files, path_, entry, index, &recordsRead);
  if (recordsRead < index) return false;  // the table changed since it was checked

  std::unique_ptr<FirmwareFile> file = services_.files.OpenForReading(path_);
  if (!file || !file->Seek(entry.imageOffset)) return false;

  std::int64_t length = entry.imageSize;
  if (index == 1) {
    // Image 1's header was judged; it is not sent.
    std::array<std::uint8_t, kImageHeaderSize> header{};
    if (!ReadWhole(*file, header)) return false;
    services_.clock.Sleep(kPause);
    length -= static_cast<std::int64_t>(kImageHeaderSize);
  }
  std::int64_t lastChunk = 0;
  if (!SendChunks(*file, index, imageCount, length, lastChunk)) return false;
  file.reset();

  if (index == 1) services_.clock.Sleep(kPause);
  if (NeedsFlushFrame(lastChunk)) {
    services_.clock.Sleep(kPause);
    ViUInt32 written = 0;
    services_.visa.viWrite(session_.instrument, kFlushFrame.data(),
                           static_cast<ViUInt32>(kFlushFrame.size()), &written);
  }
  if (index > 1) services_.clock.Sleep(kShortPause);
  return ReadImageStatus();
}

bool PackageUpdate::SendChunks(FirmwareFile& file, int index, int imageCount,
                               std::int64_t length, std::int64_t& lastChunk) {
  ProgressReport progress;
  progress.bytesTotal = length > 0 ? static_cast<std::uint64_t>(length) : 0;
  progress.image = index;
  progress.imageCount = imageCount;

  for (std::int64_t remaining = length; remaining > 0;) {
    const auto size = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(kMaxDataFrame), remaining));
    const std::span<std::uint8_t> frame(chunk_.data(), size);
    if (!ReadWhole(file, frame)) return false;
    services_.clock.PumpedWait(kFrameGap, [this] { console_.PumpMessages(); });
    if (console_.StopRequested()) return false;
    ViUInt32 written = 0;
    services_.visa.viWrite(session_.instrument, frame.data(), static_cast<ViUInt32>(size),
                           &written);
    remaining -= static_cast<std::int64_t>(size);
    lastChunk = static_cast<std::int64_t>(size);
    progress.bytesSent += size;
    console_.ReportProgress(progress);
  }
  return true;
}

// The meter's verdict on the image, then the end frame; the reply to the end
// frame is read but not judged.
bool PackageUpdate::ReadImageStatus() {
  ViUInt32 received = 0;
  services_.visa.viRead(session_.instrument, chunk_.data(), kReplyReadSize, &received);
  const std::size_t delivered = std::min<std::size_t>(received, chunk_.size());
  if (StatusCharacter({chunk_.data(), delivered}) != kStatusAccepted) return false;

  services_.clock.Sleep(kPause);
  ViUInt32 written = 0;
  services_.visa.viWrite(session_.instrument, kEndFrame.data(),
                         static_cast<ViUInt32>(kEndFrame.size()), &written);
  services_.clock.Sleep(kPause);
  std::array<std::uint8_t, kEndFrameReplySize> endReply{};
  ViUInt32 replied = 0;
  services_.visa.viRead(session_.instrument, endReply.data(), kEndFrameReplySize, &replied);
  return true;
}

}  // namespace

UpdateOutcome RunPackageUpdateWithOutcome(Services& services, const std::string& packagePath,
                                          const std::string& folderAndSerial) {
  PackageUpdate update(services, packagePath);
  return update.Run(folderAndSerial);
}

int RunPackageUpdate(Services& services, const std::string& packagePath,
                     const std::string& folderAndSerial) {
  return RunPackageUpdateWithOutcome(services, packagePath, folderAndSerial) ==
                 UpdateOutcome::kInstalled
             ? 0
             : 1;
}

}  // namespace quorvel
