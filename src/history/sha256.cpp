#include "history/sha256.h"

#include <memory>
#include <vector>

#include "firmware/file_source.h"
#include "firmware/loaded_firmware.h"

namespace quorvel {

namespace {

// Files are hashed in pieces this large.
constexpr std::size_t kReadPiece = 64 * 1024;

}  // namespace

std::optional<FileDigest> DigestFile(FileSystem& files, const std::string& path) {
  std::unique_ptr<FirmwareFile> file = files.OpenForReading(path);
  if (!file) return std::nullopt;
  FileDigest digest;
  // No firmware is this large, and hashing gigabytes would hold up the exit
  // (a stop included): such a file is recorded by its size alone.
  if (const std::int64_t size = file->Size(); size > kMaxFirmwareFileSize) {
    digest.size = static_cast<std::uint64_t>(size);
    return digest;
  }
  Sha256 hash;
  std::vector<std::uint8_t> piece(kReadPiece);
  for (;;) {
    const FileRead read = file->Read(piece);
    if (read.error) return std::nullopt;
    if (read.count == 0) break;
    hash.Update({piece.data(), read.count});
    digest.size += read.count;
    if (digest.size > static_cast<std::uint64_t>(kMaxFirmwareFileSize)) return digest;
  }
  digest.sha256 = HexDigest(hash.Finish());
  return digest;
}

}  // namespace quorvel
