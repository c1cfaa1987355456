#pragma once
// Library files made by the tests: just the headers the architecture and
// import readers look at, so a "32-bit library" exists on any build machine.
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::testing {

using FileBytes = std::vector<std::uint8_t>;

// An ELF header: class 1 (32-bit) or 2 (64-bit), byte order 1 (little) or 2 (big).
FileBytes ElfHeader(std::uint8_t elfClass, std::uint8_t byteOrder, std::uint16_t machine);

constexpr std::uint16_t kPeI386 = 0x014C;
constexpr std::uint16_t kPeX64 = 0x8664;

// A PE file with one section that holds its import table.
struct PeImage {
  std::uint16_t machine = kPeX64;
  bool wide = true;  // PE32+ (64-bit) rather than PE32
  std::vector<std::string> imports;
};
FileBytes PeFile(const PeImage& image);

}  // namespace quorvel::testing
