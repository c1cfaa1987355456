// Arbitrary bytes as a package: the directory and entry readers must stay
// within the file and report only records that were really there.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>

#include "firmware/image_header.h"
#include "firmware/package.h"
#include "fuzz_support.h"

namespace {

using quorvel::fuzz::Require;

void ReadEntry(quorvel::FileSystem& files, std::span<const std::uint8_t> input, int wanted,
               std::int32_t entryCount) {
  quorvel::PackageEntry entry;
  int recordsRead = -1;
  Require(quorvel::ReadPackageEntry(files, "package", entry, wanted, &recordsRead) == 0);
  const std::int64_t recordsHeld =
      input.size() < 516 ? 0 : static_cast<std::int64_t>((input.size() - 516) / 520);
  const std::int64_t limit = wanted >= 1 ? std::min<std::int64_t>(wanted, entryCount) : entryCount;
  Require(recordsRead >= 0);
  Require(recordsRead == std::max<std::int64_t>(0, std::min(limit, recordsHeld)));
  (void)entry.name();

  // The header check reads wherever the entry points.
  quorvel::fuzz::BytesFile file(input);
  (void)quorvel::ReadImageHeader(file, entry.imageOffset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  quorvel::fuzz::BytesFileSystem files(input);

  quorvel::PackageDirectory directory;
  std::int64_t bytesRead = -1;
  Require(quorvel::ReadPackageDirectory(files, "package", directory, &bytesRead) == 0);
  Require(bytesRead == std::min<std::int64_t>(static_cast<std::int64_t>(size), 516));
  Require(quorvel::ReadPackageDirectory(files, "missing", directory) == 1);

  for (const int wanted : {1, 2, 3, 4, 0, INT_MAX}) ReadEntry(files, input, wanted, directory.entryCount);
  return 0;
}
