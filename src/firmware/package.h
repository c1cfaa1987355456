#pragma once
// The package container (.pak): a 516-byte directory, then 520-byte entries,
// then the images where the entries say. Integers are signed 32-bit little-endian.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "firmware/file_source.h"

namespace quorvel {

inline constexpr std::int64_t kPackageDirectorySize = 516;
inline constexpr std::int64_t kPackageEntrySize = 520;

// The update takes a file whose name ends in ".pak" (exactly, case included)
// as a package and every other file as a single image.
bool NamesPackage(std::string_view path);

// The package update judges the header of image 3, or of the last image
// when the package holds fewer.
inline constexpr std::int32_t kExaminedPackageEntry = 3;
// The entry whose header is judged; 0 when the package lists none.
std::int32_t ExaminedPackageEntry(std::int32_t entryCount);

struct PackageDirectory {
  std::array<std::uint8_t, 512> directoryPrefix{};
  std::int32_t entryCount = 0;
};

struct PackageEntry {
  std::int32_t imageOffset = 0;
  std::int32_t imageSize = 0;
  std::array<char, 512> imageName{};  // NUL-terminated as stored; may lack the NUL
  std::string name() const;           // imageName up to its first NUL, bounded
};

// Decode the stored forms; integers are read byte by byte, never overlaid.
PackageDirectory DecodeDirectory(std::span<const std::uint8_t, kPackageDirectorySize> bytes);
PackageEntry DecodeEntry(std::span<const std::uint8_t, kPackageEntrySize> bytes);

// Reads a signed 32-bit little-endian integer from 4 bytes.
std::int32_t ReadLittleEndianInt32(const std::uint8_t* bytes);

// Returns 1 when the file cannot be opened (directory untouched), else 0.
// A short file leaves the missing bytes 0. `bytesRead`, when given, gets how
// many of the 516 bytes the file really held.
int ReadPackageDirectory(FileSystem& files, const std::string& path, PackageDirectory& directory,
                         std::int64_t* bytesRead = nullptr);

// Reads records 1, 2, ... up to min(wanted, entryCount) into `entry`.
// Returns 1 when the file cannot be opened (entry untouched), else 0.
// `recordsRead`, when given, gets how many whole records were really read;
// the package update uses it to refuse a table cut short.
int ReadPackageEntry(FileSystem& files, const std::string& path, PackageEntry& entry, int wanted,
                     int* recordsRead = nullptr);

// The same on a file the caller holds open: reads from its start. False when
// the file cannot be moved to its start.
bool ReadPackageEntry(FirmwareFile& file, PackageEntry& entry, int wanted,
                      int* recordsRead = nullptr);

bool operator==(const PackageEntry& a, const PackageEntry& b);

}  // namespace quorvel
