#pragma once
// Just enough of the seams for the fuzz targets, which link only the core
// library: one read-only file held in memory and a console that shows nothing.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/silent_console.h"
#include "firmware/file_source.h"

namespace quorvel::fuzz {

// Stops the run loudly: the fuzzer reports it as a crash with the input.
inline void Require(bool condition) {
  if (!condition) std::abort();
}

class BytesFile final : public FirmwareFile {
 public:
  explicit BytesFile(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  FileRead Read(std::span<std::uint8_t> buffer) override {
    const std::size_t available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
    FileRead read;
    read.count = std::min(buffer.size(), available);
    if (read.count > 0) std::memcpy(buffer.data(), bytes_.data() + position_, read.count);
    position_ += read.count;
    return read;
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

// Every path names the same bytes, except "missing", which cannot be opened.
class BytesFileSystem final : public FileSystem {
 public:
  explicit BytesFileSystem(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::unique_ptr<FirmwareFile> OpenForReading(const std::string& path, FileShare) override {
    if (path == "missing") return nullptr;
    return std::make_unique<BytesFile>(bytes_);
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// Counts the log lines, so a target can check that a procedure said something.
class CountingConsole final : public SilentConsole {
 public:
  void AppendLog(std::string_view) override { ++lines; }

  int lines = 0;
};

}  // namespace quorvel::fuzz
