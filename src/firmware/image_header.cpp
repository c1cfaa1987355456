#include "firmware/image_header.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <span>

#include "common/operator_console.h"
#include "firmware/version_slots.h"

namespace quorvel {

namespace {

constexpr std::size_t kSignatureOffset = 1;
constexpr std::size_t kSignatureLength = 15;
constexpr std::size_t kVersionOffset = 41;
constexpr std::size_t kVersionLength = 5;

// Text stored in a fixed field: it ends at the first NUL or at the field's end.
std::string FieldText(std::span<const std::uint8_t> field) {
  const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  return std::string(field.begin(), end);
}

// The meter's versions live in zero-filled text fields, so a position beyond
// the text (or beyond a NUL inside it) reads as 0.
char FieldChar(std::string_view text, std::size_t position) {
  const std::string_view visible = text.substr(0, text.find('\0'));
  return position < visible.size() ? visible[position] : '\0';
}

// Versions are ordered character by character as signed 8-bit values, so
// bytes from 0x80 up sort below every ASCII character.
std::int8_t Signed(char c) { return static_cast<std::int8_t>(static_cast<unsigned char>(c)); }

// True when the image's characters are strictly newer than the meter's: at
// the first position where they differ the meter's is smaller. Equal is not newer.
bool ImageIsNewer(std::string_view meterField, std::size_t meterPosition,
                  std::span<const char> imageChars) {
  for (std::size_t i = 0; i < imageChars.size(); ++i) {
    const std::int8_t meter = Signed(FieldChar(meterField, meterPosition + i));
    const std::int8_t image = Signed(imageChars[i]);
    if (meter != image) return meter < image;
  }
  return false;
}

// Where the meter keeps the version an image for a given target competes
// with: the DSP's in the instrument version, the others in the identity's tail.
struct MeterVersionField {
  std::string_view text;
  VersionSlot slot;  // where in the text, and how many characters are compared
};

std::optional<MeterVersionField> MeterVersionFieldOf(std::uint8_t functionId,
                                                    const MeterVersions& meter) {
  const std::optional<VersionSlot> slot = VersionSlotOf(functionId);
  if (!slot) return std::nullopt;
  const bool isDsp = static_cast<TargetProcessor>(functionId) == TargetProcessor::kDsp;
  return MeterVersionField{isDsp ? meter.instrumentVersion : meter.tail, *slot};
}

bool MeterTakesAnyImage(const MeterVersions& meter) {
  return std::string_view(meter.instrumentVersion).substr(0, kAnyImageVersion.size()) ==
         kAnyImageVersion;
}

}  // namespace

std::string ImageHeader::makerSignature() const {
  return FieldText(std::span(decoded).subspan(kSignatureOffset, kSignatureLength));
}

std::string ImageHeader::imageVersion() const {
  return FieldText(std::span(decoded).subspan(kVersionOffset, kVersionLength));
}

std::array<char, 5> ImageHeader::imageVersionBytes() const {
  std::array<char, kVersionLength> bytes{};
  for (std::size_t i = 0; i < kVersionLength; ++i) {
    bytes[i] = static_cast<char>(decoded[kVersionOffset + i]);
  }
  return bytes;
}

ImageHeader DecodeImageHeader(std::span<const std::uint8_t> stored) {
  // Missing bytes count as stored 0xFF, which complements to 0x00.
  ImageHeader header;
  const std::size_t supplied = std::min(stored.size(), kImageHeaderSize);
  for (std::size_t i = 0; i < kImageHeaderSize; ++i) {
    const std::uint8_t storedByte = i < supplied ? stored[i] : std::uint8_t{0xFF};
    header.decoded[i] = static_cast<std::uint8_t>(storedByte ^ 0xFFu);
  }
  header.decoded[kImageHeaderSize] = 0;
  return header;
}

ImageHeader ReadImageHeader(FirmwareFile& file, std::int64_t position) {
  std::array<std::uint8_t, kImageHeaderSize> stored{};
  std::size_t supplied = 0;
  // A position the file cannot reach supplies nothing: reading from wherever
  // the file happens to stand would judge the wrong bytes.
  if (file.Seek(position)) {
    while (supplied < stored.size()) {
      const FileRead read = file.Read(std::span(stored).subspan(supplied));
      supplied += std::min(read.count, stored.size() - supplied);
      if (read.count == 0 || read.error) break;
    }
  }
  return DecodeImageHeader(std::span(stored).first(supplied));
}

std::string_view TargetName(std::uint8_t functionId) {
  switch (static_cast<TargetProcessor>(functionId)) {
    case TargetProcessor::kDsp:
      return "DSP";
    case TargetProcessor::kPanel:
      return "Panel";
    case TargetProcessor::kMsp430:
      return "MSP 430";
  }
  return {};
}

HeaderVerdict JudgeImageHeader(const ImageHeader& header, const MeterVersions& meter) {
  if (!header.signedByMaker()) return HeaderVerdict::kRefuseSignature;
  if (MeterTakesAnyImage(meter)) return HeaderVerdict::kAccept;

  const std::optional<MeterVersionField> field = MeterVersionFieldOf(header.functionId(), meter);
  if (!field) return HeaderVerdict::kRefuseUnknownTarget;
  const std::array<char, 5> image = header.imageVersionBytes();
  const bool newer = ImageIsNewer(field->text, field->slot.position,
                                  std::span(image).first(field->slot.length));
  return newer ? HeaderVerdict::kAccept : HeaderVerdict::kRefuseVersion;
}

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

bool PackageSignatureMatches(const ImageHeader& header) {
  // The image path reads the whole field instead.
  return FieldText(std::span(header.decoded).subspan(kSignatureOffset, kMakerSignature.size())) ==
         kMakerSignature;
}

HeaderVerdict JudgePackageHeader(const ImageHeader& header, const MeterVersions& meter) {
  const std::string& instrument = meter.instrumentVersion;
  const bool testMeter = !instrument.empty() && instrument.front() == 'T';
  if (!PackageSignatureMatches(header) && !testMeter) return HeaderVerdict::kRefuseSignature;
  if (instrument == kAnyImageVersion || testMeter) return HeaderVerdict::kAccept;

  const std::string imageVersion = header.imageVersion();
  const double image = LeadingNumber(imageVersion);
  const double current = LeadingNumber(instrument);
  switch (header.functionId()) {
    case static_cast<std::uint8_t>(TargetProcessor::kDsp):
      return imageVersion.find('T') != std::string::npos || image >= current
                 ? HeaderVerdict::kAccept
                 : HeaderVerdict::kRefuseVersion;
    case static_cast<std::uint8_t>(TargetProcessor::kPanel):
    case static_cast<std::uint8_t>(TargetProcessor::kMsp430):
      return image > current ? HeaderVerdict::kAccept : HeaderVerdict::kRefuseVersion;
    default:
      return HeaderVerdict::kRefuseUnknownTarget;
  }
}

std::vector<std::string> ImageRefusalLines(HeaderVerdict verdict, std::uint8_t functionId) {
  switch (verdict) {
    case HeaderVerdict::kAccept:
      return {};
    case HeaderVerdict::kRefuseSignature:
      return {"Firmware update was not successful.  Please be sure you selected the ",
              "correct firmware file in the installation process.", "\n",
              "Click \"Exit\" to end this update process and turn DMM power off then",
              "back on and try the update again."};
    case HeaderVerdict::kRefuseVersion:
      return {"Firmware Update Not Possible (" + std::string(TargetName(functionId)) +
                  "). Binary file version is older than ",
              "instrument version.",
              "Please press the \"Exit\" button to exit and recycle power on instrument."};
    case HeaderVerdict::kRefuseUnknownTarget:
      break;
  }
  return {"Firmware Update Not Possible. Binary file contain unidentify function ID.",
          "Please press the \"Exit\" button to exit and make sure the source file."};
}

std::string HeaderRefusalText(HeaderVerdict verdict, std::uint8_t functionId) {
  switch (verdict) {
    case HeaderVerdict::kAccept:
      return {};
    case HeaderVerdict::kRefuseSignature:
      return "Firmware update was not successful.\nPlease be sure you selected the correct "
             "firmware file in the installation process.";
    case HeaderVerdict::kRefuseVersion:
      return "Firmware Update Not Possible (" + std::string(TargetName(functionId)) +
             ").\nBinary file version is older than instrument version.";
    case HeaderVerdict::kRefuseUnknownTarget:
      break;
  }
  return "Firmware Update Not Possible. Binary file contain unidentify function ID.";
}

bool CheckImageHeader(const ImageHeader& header, const MeterVersions& meter,
                      OperatorConsole& console) {
  const HeaderVerdict verdict = JudgeImageHeader(header, meter);
  for (const std::string& line : ImageRefusalLines(verdict, header.functionId())) {
    console.AppendLog(line);
  }
  return verdict == HeaderVerdict::kAccept;
}

}  // namespace quorvel
