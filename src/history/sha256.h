#pragma once
// The digest of a whole firmware file, so that the history can name exactly
// which file went to a meter.
#include <cstdint>
#include <optional>
#include <string>

#include "common/sha256.h"

namespace quorvel {

class FileSystem;

struct FileDigest {
  std::uint64_t size = 0;
  std::string sha256;  // hexadecimal
};

// Size and SHA-256 of a whole file read through the file seam; nothing when it
// cannot be opened or a read fails. A file larger than any firmware gets its
// size only.
std::optional<FileDigest> DigestFile(FileSystem& files, const std::string& path);

}  // namespace quorvel
