#include "firmware/package.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace quorvel {

namespace {

constexpr std::size_t kDirectoryBytes = static_cast<std::size_t>(kPackageDirectorySize);
constexpr std::size_t kEntryBytes = static_cast<std::size_t>(kPackageEntrySize);
constexpr std::size_t kEntryCountOffset = 512;
constexpr std::size_t kImageOffsetOffset = 0;
constexpr std::size_t kImageSizeOffset = 4;
constexpr std::size_t kImageNameOffset = 8;

// Reads until the buffer is full, the file ends or a read fails; returns the
// bytes delivered. A failed read counts what came before it.
std::size_t ReadUpTo(FirmwareFile& file, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const FileRead read = file.Read(buffer.subspan(filled));
    filled += std::min(read.count, buffer.size() - filled);
    if (read.count == 0 || read.error) break;
  }
  return filled;
}

// Reads the directory from the file's start; missing bytes stay 0.
PackageDirectory ReadDirectoryFrom(FirmwareFile& file, std::int64_t* bytesRead) {
  std::array<std::uint8_t, kDirectoryBytes> bytes{};
  const std::size_t delivered = ReadUpTo(file, bytes);
  if (bytesRead != nullptr) *bytesRead = static_cast<std::int64_t>(delivered);
  return DecodeDirectory(bytes);
}

// Reads the directory, then the records from the first one, without seeking
// into the table, up to min(wanted, entryCount); the number of whole records.
int WalkEntries(FirmwareFile& file, PackageEntry& entry, int wanted) {
  const PackageDirectory directory = ReadDirectoryFrom(file, nullptr);
  int wholeRecords = 0;
  for (std::int64_t index = 1; index <= directory.entryCount; ++index) {
    std::array<std::uint8_t, kEntryBytes> record{};
    if (ReadUpTo(file, record) < record.size()) break;  // the table ends here
    entry = DecodeEntry(record);
    ++wholeRecords;
    if (index == wanted) break;
  }
  return wholeRecords;
}

}  // namespace

PackageDirectory DecodeDirectory(std::span<const std::uint8_t, kPackageDirectorySize> bytes) {
  PackageDirectory directory;
  std::copy_n(bytes.begin(), directory.directoryPrefix.size(), directory.directoryPrefix.begin());
  directory.entryCount = ReadLittleEndianInt32(bytes.data() + kEntryCountOffset);
  return directory;
}

PackageEntry DecodeEntry(std::span<const std::uint8_t, kPackageEntrySize> bytes) {
  PackageEntry entry;
  entry.imageOffset = ReadLittleEndianInt32(bytes.data() + kImageOffsetOffset);
  entry.imageSize = ReadLittleEndianInt32(bytes.data() + kImageSizeOffset);
  std::memcpy(entry.imageName.data(), bytes.data() + kImageNameOffset, entry.imageName.size());
  return entry;
}


std::string PackageEntry::name() const {
  const auto end = std::find(imageName.begin(), imageName.end(), '\0');
  return std::string(imageName.begin(), end);
}

std::int32_t ReadLittleEndianInt32(const std::uint8_t* bytes) {
  const std::uint32_t value = static_cast<std::uint32_t>(bytes[0]) |
                              static_cast<std::uint32_t>(bytes[1]) << 8 |
                              static_cast<std::uint32_t>(bytes[2]) << 16 |
                              static_cast<std::uint32_t>(bytes[3]) << 24;
  // Two's complement: values from 0x80000000 up are negative.
  return static_cast<std::int32_t>(value);
}

int ReadPackageDirectory(FileSystem& files, const std::string& path, PackageDirectory& directory,
                         std::int64_t* bytesRead) {
  const std::unique_ptr<FirmwareFile> file = files.OpenForReading(path);
  if (!file) return 1;
  directory = ReadDirectoryFrom(*file, bytesRead);
  return 0;
}

// The records are walked from the first one, without seeking into the table,
// up to min(wanted, entryCount); a `wanted` below 1 walks the whole table.
// Each record is decoded from a buffer of its own and reaches `entry` only
// when the file held all of its 520 bytes, so a table cut short leaves the
// last whole record in `entry` (or the caller's contents when there is none)
// rather than a mix of two records.
int ReadPackageEntry(FileSystem& files, const std::string& path, PackageEntry& entry, int wanted,
                     int* recordsRead) {
  if (recordsRead != nullptr) *recordsRead = 0;
  const std::unique_ptr<FirmwareFile> file = files.OpenForReading(path);
  if (!file) return 1;
  const int wholeRecords = WalkEntries(*file, entry, wanted);
  if (recordsRead != nullptr) *recordsRead = wholeRecords;
  return 0;
}

bool ReadPackageEntry(FirmwareFile& file, PackageEntry& entry, int wanted, int* recordsRead) {
  if (recordsRead != nullptr) *recordsRead = 0;
  if (!file.Seek(0)) return false;
  const int wholeRecords = WalkEntries(file, entry, wanted);
  if (recordsRead != nullptr) *recordsRead = wholeRecords;
  return true;
}

bool NamesPackage(std::string_view path) { return path.ends_with(".pak"); }

std::int32_t ExaminedPackageEntry(std::int32_t entryCount) {
  return entryCount < 1 ? 0 : std::min(entryCount, kExaminedPackageEntry);
}

bool operator==(const PackageEntry& a, const PackageEntry& b) {
  return a.imageOffset == b.imageOffset && a.imageSize == b.imageSize &&
         a.imageName == b.imageName;
}

}  // namespace quorvel
