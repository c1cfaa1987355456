// Arbitrary bytes as a package file, checked as the update checks it before
// the meter is touched. A package that passes describes only images inside
// the file, after its entry table and apart from each other, with the very
// entries the update will read from it later; a read
// or seek that fails anywhere in the directory or the entry table refuses it;
// and the check closes nothing it did not open.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "firmware/package.h"
#include "firmware/package_check.h"
#include "fuzz_support.h"
#include "support/memory_file_system.h"

namespace {

using quorvel::FileShare;
using quorvel::PackageCheck;
using quorvel::PackageLayout;
using quorvel::PackageProblem;
using quorvel::fuzz::Require;
using quorvel::testing::MemoryFileSystem;

// Entries re-read one by one from the start of the file, as the update does.
constexpr int kEntriesReread = 8;

PackageCheck Check(MemoryFileSystem& files, const std::string& path, PackageLayout* layout) {
  const auto file = files.OpenForReading(path, FileShare::kReadOnly);
  Require(file != nullptr);
  return quorvel::CheckPackageFile(*file, layout);
}

void RequireSoundLayout(const PackageLayout& layout, std::int64_t fileSize) {
  Require(layout.fileSize == fileSize);
  Require(std::ssize(layout.entries) == layout.directory.entryCount);
  const std::int64_t tableEnd = quorvel::kPackageDirectorySize +
                                quorvel::kPackageEntrySize * layout.directory.entryCount;
  for (std::size_t i = 0; i < layout.entries.size(); ++i) {
    const quorvel::PackageEntry& entry = layout.entries[i];
    const std::int64_t end = std::int64_t{entry.imageOffset} + entry.imageSize;
    Require(entry.imageOffset >= tableEnd && end <= fileSize);
    Require(entry.imageSize >= (i == 0 ? quorvel::kMinFirstImageSize : 1));
    for (std::size_t j = 0; j < i; ++j) {
      const quorvel::PackageEntry& other = layout.entries[j];
      Require(end <= other.imageOffset ||
              std::int64_t{other.imageOffset} + other.imageSize <= entry.imageOffset);
    }
  }
}

void RequireUpdateReadsTheCheckedEntries(MemoryFileSystem& files, const PackageLayout& layout) {
  const int count = std::min<int>(layout.directory.entryCount, kEntriesReread);
  for (int index = 1; index <= count; ++index) {
    quorvel::PackageEntry entry;
    int recordsRead = 0;
    Require(quorvel::ReadPackageEntry(files, "package.pak", entry, index, &recordsRead) == 0);
    const quorvel::PackageEntry& checked = layout.entries[static_cast<std::size_t>(index - 1)];
    Require(recordsRead == index);
    Require(entry.imageOffset == checked.imageOffset && entry.imageSize == checked.imageSize);
    Require(entry.imageName == checked.imageName);
  }
}

// The reads of a file that fails after `failAt` bytes must refuse it, naming
// the entry the failure fell into.
void RequireReadFailureRefused(MemoryFileSystem& files, std::span<const std::uint8_t> input,
                               std::size_t failAt) {
  files.AddFile("broken.pak", input);
  files.FailReadsAfter("broken.pak", failAt);
  const PackageCheck check = Check(files, "broken.pak", nullptr);
  Require(check.problem == PackageProblem::kUnreadable);
  const auto tableStart = static_cast<std::size_t>(quorvel::kPackageDirectorySize);
  const int entry =
      failAt < tableStart
          ? 0
          : static_cast<int>((failAt - tableStart) / quorvel::kPackageEntrySize) + 1;
  Require(check.entry == entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto fileSize = static_cast<std::int64_t>(size);
  MemoryFileSystem files;
  files.AddFile("package.pak", input);

  PackageLayout layout;
  const PackageCheck check = Check(files, "package.pak", &layout);
  Require(!check.Describe().empty());
  Require(check.problem != PackageProblem::kUnreadable);  // nothing failed to read
  Require(check.entry >= 0 && check.entry <= std::max(0, layout.directory.entryCount));
  if (check.ok()) {
    RequireSoundLayout(layout, fileSize);
    RequireUpdateReadsTheCheckedEntries(files, layout);

    // Any byte of the directory or the table may be the one that fails.
    const std::int64_t tableEnd = quorvel::kPackageDirectorySize +
                                  quorvel::kPackageEntrySize * layout.directory.entryCount;
    std::uint32_t spread = 0;
    for (const std::uint8_t byte : input.first(std::min<std::size_t>(size, 64))) spread = spread * 31 + byte;
    RequireReadFailureRefused(files, input, spread % static_cast<std::uint64_t>(tableEnd));

    files.AddFile("unseekable.pak", input);
    files.FailSeeks("unseekable.pak");
    Require(Check(files, "unseekable.pak", nullptr).problem == PackageProblem::kUnreadable);
  }
  Require(files.openFileCount() == 0);
  return 0;
}
