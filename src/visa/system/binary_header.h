#pragma once
// What a shared library file says about itself in its first bytes: ELF on
// Linux, PE on Windows. Read with bounded reads, since the file may be anything
// (a truncated download, a text file named libvisa.so, a hostile file).
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

struct BinaryArchitecture {
  std::string format;   // "ELF" or "PE"
  int bits = 0;         // 32 or 64
  std::string machine;  // "x86-64", "i386", "AArch64", ...

  // "ELF 64-bit x86-64"
  std::string Describe() const;
  bool operator==(const BinaryArchitecture&) const = default;
};

// The file's format, width and processor; nothing when it is neither an ELF
// nor a PE file, or is cut short.
std::optional<BinaryArchitecture> ReadBinaryArchitecture(const std::string& file);

// The architecture this program was built for, to compare a library with.
BinaryArchitecture ProgramArchitecture();

// The DLL names a PE file imports, in the order of its import table; empty for
// a file that is not PE, imports nothing, or whose table points outside it.
std::vector<std::string> ReadPeImports(const std::string& file);

}  // namespace quorvel
