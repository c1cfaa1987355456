#pragma once
// SHA-256, so that the history can name exactly which file went to a meter.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quorvel {

class FileSystem;

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const std::uint8_t> bytes);
  // The digest; the object must not be updated afterwards.
  std::array<std::uint8_t, 32> Finish();

 private:
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, 64> block_{};
  std::size_t blockFill_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The digest as 64 lower-case hexadecimal digits.
std::string HexDigest(std::span<const std::uint8_t> digest);

struct FileDigest {
  std::uint64_t size = 0;
  std::string sha256;  // hexadecimal
};

// Size and SHA-256 of a whole file read through the file seam; nothing when it
// cannot be opened or a read fails.
std::optional<FileDigest> DigestFile(FileSystem& files, const std::string& path);

}  // namespace quorvel
