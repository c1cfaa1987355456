#include "firmware/package_check.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quorvel {

namespace {

bool ReadExactly(FirmwareFile& file, std::span<std::uint8_t> buffer) {
  const FileRead read = file.Read(buffer);
  return !read.error && read.count == buffer.size();
}

PackageCheck CheckEntry(const PackageEntry& entry, int index, std::int64_t fileSize) {
  const std::int32_t smallest = index == 1 ? kMinFirstImageSize : 1;
  if (entry.imageOffset < 0) return {PackageProblem::kNegativeOffset, index};
  if (entry.imageSize < smallest) return {PackageProblem::kImageTooSmall, index};
  // Both are non-negative 32-bit values here, so the sum cannot overflow 64 bits.
  if (std::int64_t{entry.imageOffset} + entry.imageSize > fileSize) {
    return {PackageProblem::kImageOutsideFile, index};
  }
  return {};
}

// An image over the table would send the package's own records as firmware;
// two entries over the same bytes would install one image twice.
PackageCheck CheckPlacement(const std::vector<PackageEntry>& entries) {
  const std::int64_t tableEnd =
      kPackageDirectorySize + kPackageEntrySize * static_cast<std::int64_t>(entries.size());
  struct Span {
    std::int64_t begin;
    std::int64_t end;
    int index;
  };
  std::vector<Span> spans;
  spans.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    const std::int64_t begin = entries[i].imageOffset;
    if (begin < tableEnd) return {PackageProblem::kImageOverlapsTable, index};
    spans.push_back({begin, begin + entries[i].imageSize, index});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.index < b.index;
  });
  // Sorted by start, an image overlaps an earlier one exactly when it starts
  // before the furthest end seen so far.
  Span furthest{0, 0, 0};
  for (const Span& span : spans) {
    if (span.begin < furthest.end) {
      return {PackageProblem::kImagesOverlap, std::max(span.index, furthest.index)};
    }
    if (span.end > furthest.end) furthest = span;
  }
  return {};
}

}  // namespace

std::string PackageCheck::Describe() const {
  const std::string where = entry > 0 ? "entry " + std::to_string(entry) + ": " : "";
  switch (problem) {
    case PackageProblem::kNone: return "the package is whole";
    case PackageProblem::kUnreadable: return where + "the file could not be read";
    case PackageProblem::kDirectoryCutShort: return "the file is shorter than the package directory";
    case PackageProblem::kNoEntries: return "the package lists no images";
    case PackageProblem::kEntryTableOutsideFile: return "the entry table runs past the end of the file";
    case PackageProblem::kNegativeOffset: return where + "the image offset is negative";
    case PackageProblem::kImageTooSmall: return where + "the image is too small";
    case PackageProblem::kImageOutsideFile: return where + "the image runs past the end of the file";
    case PackageProblem::kImageOverlapsTable:
      return where + "the image overlaps the package's directory or entry table";
    case PackageProblem::kImagesOverlap: return where + "the image overlaps another entry's image";
  }
  return "unknown problem";
}

PackageCheck CheckPackageFile(FirmwareFile& file, PackageLayout* layout) {
  PackageLayout local;
  PackageLayout& out = layout ? *layout : local;
  out = PackageLayout{};

  out.fileSize = file.Size();
  if (out.fileSize < 0 || !file.Seek(0)) return {PackageProblem::kUnreadable, 0};
  if (out.fileSize < kPackageDirectorySize) return {PackageProblem::kDirectoryCutShort, 0};

  std::array<std::uint8_t, kPackageDirectorySize> directory{};
  if (!ReadExactly(file, directory)) return {PackageProblem::kUnreadable, 0};
  out.directory = DecodeDirectory(directory);

  const std::int32_t entryCount = out.directory.entryCount;
  if (entryCount < 1) return {PackageProblem::kNoEntries, 0};
  if (kPackageDirectorySize + kPackageEntrySize * std::int64_t{entryCount} > out.fileSize) {
    return {PackageProblem::kEntryTableOutsideFile, 0};
  }

  // entryCount is now bounded by the file's size.
  out.entries.reserve(static_cast<std::size_t>(entryCount));
  std::array<std::uint8_t, kPackageEntrySize> record{};
  for (int index = 1; index <= entryCount; ++index) {
    if (!ReadExactly(file, record)) return {PackageProblem::kUnreadable, index};
    out.entries.push_back(DecodeEntry(record));
    const PackageCheck check = CheckEntry(out.entries.back(), index, out.fileSize);
    if (!check.ok()) return check;
  }
  return CheckPlacement(out.entries);
}

}  // namespace quorvel
