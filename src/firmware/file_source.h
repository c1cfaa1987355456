#pragma once
// Firmware files are reached through this seam so that tests can count open
// files and inject read errors. The real implementation reads raw bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace quorvel {

struct FileRead {
  std::size_t count = 0;  // bytes delivered; 0 at end of file
  bool error = false;     // the read failed (count holds what came before)
};

// An open file; the destructor closes it.
class FirmwareFile {
 public:
  virtual ~FirmwareFile() = default;
  // Reads up to buffer.size() bytes from the current position.
  virtual FileRead Read(std::span<std::uint8_t> buffer) = 0;
  // Moves the position, counted from the start. False when that fails.
  virtual bool Seek(std::int64_t position) = 0;
  // The file's size in bytes, or -1 when unknown.
  virtual std::int64_t Size() = 0;
};

enum class FileShare {
  kReadOnly,   // others may read the file while it is open, but not write it
  kAny,
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens a file for reading as raw bytes; null when it cannot be opened
  // (missing, a directory, no permission).
  virtual std::unique_ptr<FirmwareFile> OpenForReading(const std::string& path,
                                                       FileShare share = FileShare::kAny) = 0;
};

// The machine's own files. Counts the files it has open, for tests that check
// every procedure closes what it opened.
class DiskFileSystem final : public FileSystem {
 public:
  std::unique_ptr<FirmwareFile> OpenForReading(const std::string& path,
                                               FileShare share = FileShare::kAny) override;
  static int OpenFileCount();
};

}  // namespace quorvel
