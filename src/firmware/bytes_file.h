#pragma once
// Bytes already in memory behind the file seam: a loaded image is sent from
// here, and the fuzz targets feed their input through it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "firmware/file_source.h"

namespace quorvel {

class BytesFile final : public FirmwareFile {
 public:
  explicit BytesFile(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  FileRead Read(std::span<std::uint8_t> buffer) override {
    const std::size_t left = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
    const std::size_t count = std::min(buffer.size(), left);
    if (count > 0) std::memcpy(buffer.data(), bytes_.data() + position_, count);
    position_ += count;
    return {count, false};
  }
  bool Seek(std::int64_t position) override {
    if (position < 0) return false;
    position_ = static_cast<std::size_t>(position);
    return true;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(bytes_.size()); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

}  // namespace quorvel
