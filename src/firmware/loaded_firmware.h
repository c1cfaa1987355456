#pragma once
// A firmware file read whole into memory when it is checked: the header rules
// judge these bytes, the transfer sends these bytes and the history names them
// by their digest, so a file rewritten meanwhile on disk changes nothing.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "firmware/file_source.h"

namespace quorvel {

// The largest firmware file taken, package or image. The meter's processors
// hold far less, and at the meter's pace of 240 bytes every 100 ms these bytes
// already take two hours to send; anything larger is not meant for a meter.
inline constexpr std::int64_t kMaxFirmwareFileSize = std::int64_t{16} * 1024 * 1024;

struct LoadedFirmware {
  std::string path;
  std::vector<std::uint8_t> bytes;
  std::array<std::uint8_t, 32> sha256{};

  std::string Sha256Hex() const;
  // Reads the bytes in memory through the file seam, so that the header and
  // package readers work on them; the view must not outlive this object.
  std::unique_ptr<FirmwareFile> Open() const;
};

enum class LoadProblem {
  kNotOpened,  // missing, a directory, no permission
  kReadError,  // a read failed part of the way
  kTooLarge,   // larger than kMaxFirmwareFileSize
};

struct LoadFailure {
  LoadProblem problem = LoadProblem::kNotOpened;
  std::int64_t size = -1;  // what the file system said, when it said it
};

// Opens `path` (others kept from writing meanwhile), reads it whole and
// closes it. A file larger than the limit is not read.
std::variant<LoadedFirmware, LoadFailure> LoadFirmware(FileSystem& files, const std::string& path);

// "The firmware file is larger than 16 MiB ...": the reason a load failed, in words.
std::string LoadFailureText(const LoadFailure& failure);

}  // namespace quorvel
