#include "visa/system/binary_header.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "common/utf8_path.h"

namespace quorvel {

namespace {

// The PE header sits within the first few hundred bytes of any real DLL; an
// offset beyond this is a damaged or hostile file.
constexpr std::uint32_t kMaxPeHeaderOffset = 64 * 1024;
// At most this many imported DLLs and this long a name are read.
constexpr std::size_t kMaxImports = 256;
constexpr std::size_t kMaxImportNameLength = 260;
constexpr std::uint16_t kMaxSections = 96;  // the loader's own limit

// A file read only through bounded, checked reads at given offsets.
class BoundedFile {
 public:
  explicit BoundedFile(const std::string& file) {
    // A FIFO or device would keep the read waiting; only regular files are read.
    std::error_code error;
    if (!std::filesystem::is_regular_file(PathFromUtf8(file), error)) return;
    in_.open(PathFromUtf8(file), std::ios::binary);
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    const std::streamoff end = in_.tellg();
    size_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  }

  // `count` bytes at `offset`, or nothing when the file has fewer.
  std::optional<std::vector<std::uint8_t>> Read(std::uint64_t offset, std::size_t count) {
    if (!in_ || offset > size_ || count > size_ - offset) return std::nullopt;
    std::vector<std::uint8_t> bytes(count);
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    if (in_.gcount() != static_cast<std::streamsize>(count)) return std::nullopt;
    return bytes;
  }

  // A NUL-terminated name at `offset`, at most `limit` characters.
  std::optional<std::string> ReadName(std::uint64_t offset, std::size_t limit) {
    if (offset >= size_) return std::nullopt;
    const auto bytes = Read(offset, static_cast<std::size_t>(std::min<std::uint64_t>(limit, size_ - offset)));
    if (!bytes) return std::nullopt;
    const auto end = std::find(bytes->begin(), bytes->end(), std::uint8_t{0});
    if (end == bytes->end()) return std::nullopt;
    return std::string(bytes->begin(), end);
  }

 private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
};

std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(Le16(b, at)) | (static_cast<std::uint32_t>(Le16(b, at + 2)) << 16);
}
std::uint16_t Be16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

std::string ElfMachineName(std::uint16_t machine) {
  switch (machine) {
    case 3: return "i386";
    case 8: return "MIPS";
    case 20: return "PowerPC";
    case 21: return "PowerPC64";
    case 40: return "ARM";
    case 62: return "x86-64";
    case 183: return "AArch64";
    case 243: return "RISC-V";
    default: return "machine " + std::to_string(machine);
  }
}

std::string PeMachineName(std::uint16_t machine) {
  switch (machine) {
    case 0x014C: return "i386";
    case 0x8664: return "x86-64";
    case 0x01C4: return "ARM";
    case 0xAA64: return "AArch64";
    default: return "machine " + std::to_string(machine);
  }
}

std::optional<BinaryArchitecture> ElfArchitecture(const std::vector<std::uint8_t>& header) {
  // e_ident: class at 4 (1 = 32-bit, 2 = 64-bit), byte order at 5; e_machine at 18.
  const std::uint8_t elfClass = header[4];
  const std::uint8_t byteOrder = header[5];
  if ((elfClass != 1 && elfClass != 2) || (byteOrder != 1 && byteOrder != 2)) return std::nullopt;
  const std::uint16_t machine = byteOrder == 1 ? Le16(header, 18) : Be16(header, 18);
  return BinaryArchitecture{"ELF", elfClass == 1 ? 32 : 64, ElfMachineName(machine)};
}

// Where a PE file's headers are: the COFF header and the optional header.
struct PeHeaders {
  std::uint32_t coffAt = 0;  // just past "PE\0\0"
  std::uint16_t machine = 0;
  std::uint16_t sections = 0;
  std::uint16_t optionalSize = 0;
  std::uint16_t magic = 0;  // 0x10B: 32-bit, 0x20B: 64-bit
};

std::optional<PeHeaders> FindPeHeaders(BoundedFile& file) {
  const auto dos = file.Read(0, 64);
  if (!dos || (*dos)[0] != 'M' || (*dos)[1] != 'Z') return std::nullopt;
  const std::uint32_t peAt = Le32(*dos, 60);
  if (peAt > kMaxPeHeaderOffset) return std::nullopt;
  const auto pe = file.Read(peAt, 4 + 20 + 2);
  if (!pe || (*pe)[0] != 'P' || (*pe)[1] != 'E' || (*pe)[2] != 0 || (*pe)[3] != 0) {
    return std::nullopt;
  }
  PeHeaders headers;
  headers.coffAt = peAt + 4;
  headers.machine = Le16(*pe, 4);
  headers.sections = Le16(*pe, 6);
  headers.optionalSize = Le16(*pe, 20);
  headers.magic = Le16(*pe, 24);
  if (headers.magic != 0x10B && headers.magic != 0x20B) return std::nullopt;
  return headers;
}

// The file offset of a relative virtual address, through the section table.
std::optional<std::uint64_t> FileOffsetOf(std::uint32_t rva,
                                          const std::vector<std::uint8_t>& sections,
                                          std::uint16_t count) {
  for (std::uint16_t s = 0; s < count; ++s) {
    const std::size_t at = std::size_t{s} * 40;
    const std::uint32_t virtualSize = Le32(sections, at + 8);
    const std::uint32_t virtualAddress = Le32(sections, at + 12);
    const std::uint32_t rawSize = Le32(sections, at + 16);
    const std::uint32_t rawAt = Le32(sections, at + 20);
    const std::uint32_t extent = std::max(virtualSize, rawSize);
    if (rva >= virtualAddress && rva - virtualAddress < extent) {
      return std::uint64_t{rawAt} + (rva - virtualAddress);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string BinaryArchitecture::Describe() const {
  return format + " " + std::to_string(bits) + "-bit " + machine;
}

std::optional<BinaryArchitecture> ReadBinaryArchitecture(const std::string& path) {
  BoundedFile file(path);
  if (const auto elf = file.Read(0, 20); elf && (*elf)[0] == 0x7F && (*elf)[1] == 'E' &&
                                         (*elf)[2] == 'L' && (*elf)[3] == 'F') {
    return ElfArchitecture(*elf);
  }
  const auto pe = FindPeHeaders(file);
  if (!pe) return std::nullopt;
  return BinaryArchitecture{"PE", pe->magic == 0x20B ? 64 : 32, PeMachineName(pe->machine)};
}

BinaryArchitecture ProgramArchitecture() {
#if defined(_WIN32)
  const std::string format = "PE";
#else
  const std::string format = "ELF";
#endif
#if defined(__x86_64__) || defined(_M_X64)
  const std::string machine = "x86-64";
#elif defined(__i386__) || defined(_M_IX86)
  const std::string machine = "i386";
#elif defined(__aarch64__) || defined(_M_ARM64)
  const std::string machine = "AArch64";
#elif defined(__arm__)
  const std::string machine = "ARM";
#else
  const std::string machine = "unknown";
#endif
  return {format, static_cast<int>(sizeof(void*) * 8), machine};
}

std::vector<std::string> ReadPeImports(const std::string& path) {
  BoundedFile file(path);
  const auto pe = FindPeHeaders(file);
  if (!pe || pe->sections > kMaxSections) return {};
  const std::uint64_t optionalAt = pe->coffAt + 20;
  // The import table is the second data directory; where the directories
  // start depends on the header's width.
  const std::size_t directoriesAt = pe->magic == 0x20B ? 112 : 96;
  if (pe->optionalSize < directoriesAt + 16) return {};
  const auto importDirectory = file.Read(optionalAt + directoriesAt + 8, 8);
  const auto sections = file.Read(optionalAt + pe->optionalSize, std::size_t{pe->sections} * 40);
  if (!importDirectory || !sections) return {};
  const std::uint32_t importRva = Le32(*importDirectory, 0);
  if (importRva == 0) return {};
  const auto tableAt = FileOffsetOf(importRva, *sections, pe->sections);
  if (!tableAt) return {};

  // One 20-byte descriptor per DLL, the name's address at offset 12, ended by
  // an all-zero descriptor.
  std::vector<std::string> imports;
  for (std::size_t i = 0; i < kMaxImports; ++i) {
    const auto descriptor = file.Read(*tableAt + i * 20, 20);
    if (!descriptor) break;
    const std::uint32_t nameRva = Le32(*descriptor, 12);
    if (nameRva == 0) break;
    const auto nameAt = FileOffsetOf(nameRva, *sections, pe->sections);
    if (!nameAt) break;
    const auto name = file.ReadName(*nameAt, kMaxImportNameLength);
    if (!name || name->empty()) break;
    imports.push_back(*name);
  }
  return imports;
}

}  // namespace quorvel
