#include "history/sha256.h"

#include <memory>
#include <vector>

#include "firmware/file_source.h"

namespace quorvel {

namespace {

// Files are hashed in pieces this large.
constexpr std::size_t kReadPiece = 64 * 1024;

}  // namespace

std::optional<FileDigest> DigestFile(FileSystem& files, const std::string& path) {
  std::unique_ptr<FirmwareFile> file = files.OpenForReading(path);
  if (!file) return std::nullopt;
  Sha256 hash;
  FileDigest digest;
  std::vector<std::uint8_t> piece(kReadPiece);
  for (;;) {
    const FileRead read = file->Read(piece);
    if (read.error) return std::nullopt;
    if (read.count == 0) break;
    hash.Update({piece.data(), read.count});
    digest.size += read.count;
  }
  digest.sha256 = HexDigest(hash.Finish());
  return digest;
}

}  // namespace quorvel
