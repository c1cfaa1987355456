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
#include "firmware/bytes_file.h"
#include "firmware/file_source.h"

namespace quorvel::fuzz {

// Stops the run loudly: the fuzzer reports it as a crash with the input.
inline void Require(bool condition) {
  if (!condition) std::abort();
}

using quorvel::BytesFile;

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
