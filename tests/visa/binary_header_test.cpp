// The architecture and import readers on library files made by the test,
// well formed and damaged: nothing beyond the file is read, and a file that
// is not a library is said to be none.
#include "visa/system/binary_header.h"

#include <gtest/gtest.h>

#include "support/binary_builder.h"
#include "support/firmware_builder.h"

namespace quorvel {
namespace {

using testing::ElfHeader;
using testing::FileBytes;
using testing::PeFile;
using testing::PeImage;

FileBytes Cut(FileBytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

FileBytes WithPeOffset(FileBytes bytes, std::uint32_t offset) {
  for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
  return bytes;
}

TEST(BinaryHeader, TellsFormatWidthAndProcessor) {
  const struct {
    const char* label;
    FileBytes bytes;
    std::optional<BinaryArchitecture> expected;
  } cases[] = {
      {"ELF 32-bit i386", ElfHeader(1, 1, 3), BinaryArchitecture{"ELF", 32, "i386"}},
      {"ELF 64-bit x86-64", ElfHeader(2, 1, 62), BinaryArchitecture{"ELF", 64, "x86-64"}},
      {"ELF 64-bit AArch64", ElfHeader(2, 1, 183), BinaryArchitecture{"ELF", 64, "AArch64"}},
      {"big-endian ELF", ElfHeader(2, 2, 21), BinaryArchitecture{"ELF", 64, "PowerPC64"}},
      {"PE32 i386", PeFile({.machine = testing::kPeI386, .wide = false, .imports = {}}),
       BinaryArchitecture{"PE", 32, "i386"}},
      {"PE32+ x86-64", PeFile({}), BinaryArchitecture{"PE", 64, "x86-64"}},
      {"empty file", {}, std::nullopt},
      {"text", FileBytes{'h', 'e', 'l', 'l', 'o', '\n'}, std::nullopt},
      {"ELF cut short", Cut(ElfHeader(2, 1, 62), 12), std::nullopt},
      {"ELF of no class", ElfHeader(7, 1, 62), std::nullopt},
      {"PE offset past the end", WithPeOffset(PeFile({}), 0x4000), std::nullopt},
      {"PE offset far out", WithPeOffset(PeFile({}), 0xFFFFFFF0u), std::nullopt},
      {"MZ without PE", Cut(PeFile({}), 64), std::nullopt},
  };
  const testing::TempDir folder;
  for (const auto& c : cases) {
    const std::string file = folder.Write("library", c.bytes);
    EXPECT_EQ(ReadBinaryArchitecture(file), c.expected) << c.label;
  }
  EXPECT_EQ(ReadBinaryArchitecture((folder.path() / "absent").string()), std::nullopt);
}

TEST(BinaryHeader, ReadsTheDllsAPeFileImports) {
  const PeImage twoImports{.imports = {"KERNEL32.dll", "vendor_runtime.dll"}};
  FileBytes nameCutOff = PeFile({.imports = {"unterminated.dll"}});
  nameCutOff.pop_back();  // the name's NUL
  const struct {
    const char* label;
    FileBytes bytes;
    std::vector<std::string> expected;
  } cases[] = {
      {"PE32+", PeFile(twoImports), {"KERNEL32.dll", "vendor_runtime.dll"}},
      {"PE32", PeFile({.machine = testing::kPeI386, .wide = false, .imports = {"a.dll"}}), {"a.dll"}},
      {"no import table", PeFile({}), {}},
      {"name without an end", nameCutOff, {}},
      {"table cut off", Cut(PeFile(twoImports), 0x200 + 30), {}},
      {"ELF", ElfHeader(2, 1, 62), {}},
  };
  const testing::TempDir folder;
  for (const auto& c : cases) {
    const std::string file = folder.Write("library.dll", c.bytes);
    EXPECT_EQ(ReadPeImports(file), c.expected) << c.label;
  }
}

}  // namespace
}  // namespace quorvel
