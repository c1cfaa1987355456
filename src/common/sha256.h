#pragma once
// SHA-256: the history names exactly which file went to a meter with it, and
// the I/O trace records a long write by its digest.
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace quorvel {

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

}  // namespace quorvel
