#include "firmware/version_record.h"

#include <algorithm>

#include "firmware/image_header.h"
#include "firmware/version_slots.h"

namespace quorvel {

namespace {

constexpr std::string_view kRecordMark = "FW";
constexpr std::size_t kTargetDigitOffset = 2;
constexpr std::size_t kSeparatorOffset = 3;
constexpr std::size_t kRecordVersionOffset = 4;
constexpr std::size_t kEndOffset = 9;

// Only the characters the identity shows count: a version the meter could not
// print is no version.
bool IsPrintableVersion(const NamedVersion& named) {
  const auto slot = VersionSlotOf(named.functionId);
  if (!slot) return false;
  return std::all_of(named.version.begin(),
                     named.version.begin() + static_cast<std::ptrdiff_t>(slot->length),
                     [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

std::optional<NamedVersion> ReadVersionRecord(std::span<const std::uint8_t> payload) {
  if (payload.size() < kVersionRecordSize) return std::nullopt;
  const bool framed = payload[0] == kRecordMark[0] && payload[1] == kRecordMark[1] &&
                      payload[kSeparatorOffset] == ':' && payload[kEndOffset] == 0;
  const std::uint8_t digit = payload[kTargetDigitOffset];
  if (!framed || digit < '0' || digit > '9') return std::nullopt;
  NamedVersion named{.functionId = static_cast<std::uint8_t>(digit - '0')};
  std::copy_n(payload.begin() + kRecordVersionOffset, named.version.size(), named.version.begin());
  if (!IsPrintableVersion(named)) return std::nullopt;
  return named;
}

std::array<std::uint8_t, kVersionRecordSize> MakeVersionRecord(std::uint8_t functionId,
                                                               std::string_view version) {
  std::array<std::uint8_t, kVersionRecordSize> record{};
  record[0] = static_cast<std::uint8_t>(kRecordMark[0]);
  record[1] = static_cast<std::uint8_t>(kRecordMark[1]);
  record[kTargetDigitOffset] = static_cast<std::uint8_t>('0' + functionId % 10);
  record[kSeparatorOffset] = ':';
  const std::size_t length = std::min<std::size_t>(version.size(), kEndOffset - kRecordVersionOffset);
  std::copy_n(version.begin(), length, record.begin() + kRecordVersionOffset);
  return record;
}

std::optional<NamedVersion> VersionNamedByImage(std::span<const std::uint8_t> image) {
  if (image.size() >= kImageHeaderSize) {
    const ImageHeader header = DecodeImageHeader(image.first(kImageHeaderSize));
    if (header.signedByMaker()) {
      const NamedVersion named{.functionId = header.functionId(),
                               .version = header.imageVersionBytes()};
      if (IsPrintableVersion(named)) return named;
      return std::nullopt;
    }
  }
  return ReadVersionRecord(image);
}

}  // namespace quorvel
