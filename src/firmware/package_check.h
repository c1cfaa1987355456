#pragma once
// The whole-package check that runs before a meter is switched to update mode:
// a damaged package must never reach the meter, so every entry must describe
// an image that lies inside the file.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/file_source.h"
#include "firmware/package.h"

namespace quorvel {

// What the operator is told about a package that fails the check.
inline constexpr std::string_view kDamagedPackageText = "The package file is damaged.";

enum class PackageProblem {
  kNone,
  kUnreadable,              // the file could not be read
  kDirectoryCutShort,       // fewer than 516 bytes
  kNoEntries,               // entryCount below 1
  kEntryTableOutsideFile,   // the entry table runs past the end of the file
  kNegativeOffset,
  kImageTooSmall,           // imageSize below 1 (below 51 for image 1, whose header is not sent)
  kImageOutsideFile,
  kImageOverlapsTable,      // an image starts inside the directory or the entry table
  kImagesOverlap,           // two entries share bytes (a duplicated entry included)
};

struct PackageCheck {
  PackageProblem problem = PackageProblem::kNone;
  int entry = 0;  // 1-based entry the problem is in; 0 for the whole file
  bool ok() const { return problem == PackageProblem::kNone; }
  std::string Describe() const;
};

struct PackageLayout {
  std::int64_t fileSize = 0;
  PackageDirectory directory;
  std::vector<PackageEntry> entries;  // as many as were read
};

// Reads the directory and the entry table from `file` and checks them against
// the file's size and against each other: every image lies inside the file,
// after the entry table, and shares no byte with another. `layout`, when
// given, gets what was read.
PackageCheck CheckPackageFile(FirmwareFile& file, PackageLayout* layout = nullptr);

// The smallest image 1 can be: its 50-byte header is read but not sent.
inline constexpr std::int32_t kMinFirstImageSize = 51;

}  // namespace quorvel
