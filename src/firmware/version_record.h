#pragma once
// How a firmware image names the version it installs, so that the meter can
// report it after its reboot: an image that begins with a header signed by
// the maker names the version field of its target, and an image without a
// header (a .bin's payload, sent from byte 50) may begin with a 10-byte
// record: "FW", the target digit ('0' DSP, '1' Panel, '2' MSP 430), ':', the
// five-character version and a NUL, e.g. "FW0:01.21\0".
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorvel {

inline constexpr std::size_t kVersionRecordSize = 10;

struct NamedVersion {
  std::uint8_t functionId = 0;
  std::array<char, 5> version{};
};

// The record at the start of `payload`; nothing when it holds none, names no
// known target or its version is not printable.
std::optional<NamedVersion> ReadVersionRecord(std::span<const std::uint8_t> payload);

// The record naming `version` (five characters, NUL-filled when shorter) for `functionId`.
std::array<std::uint8_t, kVersionRecordSize> MakeVersionRecord(std::uint8_t functionId,
                                                               std::string_view version);

// What an image as the meter received it names: its header's version when it
// begins with a header signed by the maker, else its version record.
std::optional<NamedVersion> VersionNamedByImage(std::span<const std::uint8_t> image);

}  // namespace quorvel
