#include "firmware/package.h"

#include "firmware/package_check.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "support/firmware_builder.h"
#include "support/memory_file_system.h"

namespace quorvel {
namespace {

using testing::ByteVector;
using testing::MemoryFileSystem;
using testing::PakBuilder;

constexpr std::size_t kDirectory = 516;
constexpr std::size_t kRecord = 520;

TEST(ReadLittleEndianInt32, IsSignedLittleEndianAtAnyAlignment) {
  struct Case {
    std::array<std::uint8_t, 4> bytes;
    std::int32_t value;
  };
  const std::vector<Case> cases = {
      {{0x00, 0x00, 0x00, 0x00}, 0},
      {{0x01, 0x00, 0x00, 0x00}, 1},
      {{0x00, 0x01, 0x00, 0x00}, 256},
      {{0x78, 0x56, 0x34, 0x12}, 0x12345678},
      {{0xFF, 0xFF, 0xFF, 0x7F}, INT32_MAX},
      {{0x00, 0x00, 0x00, 0x80}, INT32_MIN},
      {{0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {{0xFE, 0xFF, 0xFF, 0xFF}, -2},
  };
  for (const Case& c : cases) {
    std::array<std::uint8_t, 7> unaligned{};
    std::copy(c.bytes.begin(), c.bytes.end(), unaligned.begin() + 3);
    EXPECT_EQ(ReadLittleEndianInt32(c.bytes.data()), c.value);
    EXPECT_EQ(ReadLittleEndianInt32(unaligned.data() + 3), c.value);
  }
}

TEST(PackageEntryName, EndsAtTheFirstNulOrTheFieldEnd) {
  PackageEntry entry;
  const std::string text = "dsp.bin";
  std::copy(text.begin(), text.end(), entry.imageName.begin());
  EXPECT_EQ(entry.name(), "dsp.bin");

  entry.imageName.fill('n');  // no NUL anywhere
  EXPECT_EQ(entry.name(), std::string(512, 'n'));
}

class PackageReaderTest : public ::testing::Test {
 protected:
  static constexpr const char* kPath = "update.pak";

  // A table of `count` records, record k naming image k at offset 1000 k.
  static PakBuilder Table(int count) {
    PakBuilder pak;
    for (int k = 1; k <= count; ++k) pak.AddEntry(1000 * k, 10 * k, "image-" + std::to_string(k));
    return pak;
  }

  static PackageEntry Previous() {
    PackageEntry entry;
    entry.imageOffset = -77;
    entry.imageSize = -78;
    entry.imageName[0] = 'p';
    return entry;
  }

  MemoryFileSystem files;
};

TEST_F(PackageReaderTest, DirectoryReadsPrefixAndEntryCount) {
  ByteVector prefix(512);
  prefix[0] = 0x42;
  prefix[511] = 0x43;
  files.AddFile(kPath, Table(2).DirectoryPrefix(prefix).Bytes());

  PackageDirectory directory;
  std::int64_t bytesRead = -1;
  EXPECT_EQ(ReadPackageDirectory(files, kPath, directory, &bytesRead), 0);
  EXPECT_EQ(directory.entryCount, 2);
  EXPECT_EQ(directory.directoryPrefix[0], 0x42);
  EXPECT_EQ(directory.directoryPrefix[511], 0x43);
  EXPECT_EQ(bytesRead, 516);
  EXPECT_EQ(files.openFileCount(), 0);
}

TEST_F(PackageReaderTest, DirectoryOfAShortFileKeepsMissingBytesZero) {
  struct Case {
    std::size_t size;
    std::int32_t entryCount;
  };
  // entryCount 0x01020304 with its bytes cut away one by one from the top.
  const std::vector<Case> cases = {{0, 0}, {100, 0}, {512, 0}, {513, 0x04}, {515, 0x020304}, {516, 0x01020304}};
  for (const Case& c : cases) {
    files.AddFile(kPath, Table(0).EntryCount(0x01020304).DirectoryPrefix(ByteVector(512, 0xEE)).TruncateTo(c.size).Bytes());
    PackageDirectory directory;
    directory.entryCount = -5;
    directory.directoryPrefix.fill(0x99);
    std::int64_t bytesRead = -1;
    EXPECT_EQ(ReadPackageDirectory(files, kPath, directory, &bytesRead), 0);
    EXPECT_EQ(directory.entryCount, c.entryCount) << c.size;
    EXPECT_EQ(bytesRead, static_cast<std::int64_t>(c.size));
    EXPECT_EQ(directory.directoryPrefix[511], c.size >= 512 ? 0xEE : 0x00) << c.size;
  }
}

TEST_F(PackageReaderTest, UnopenablePathsLeaveTheOutputsAlone) {
  files.AddDirectory("folder.pak");
  for (const char* path : {"missing.pak", "folder.pak"}) {
    PackageDirectory directory;
    directory.entryCount = 9;
    EXPECT_EQ(ReadPackageDirectory(files, path, directory), 1) << path;
    EXPECT_EQ(directory.entryCount, 9) << path;

    PackageEntry entry = Previous();
    int recordsRead = -1;
    EXPECT_EQ(ReadPackageEntry(files, path, entry, 1, &recordsRead), 1) << path;
    EXPECT_EQ(entry.imageOffset, -77) << path;
    EXPECT_EQ(recordsRead, 0) << path;
  }
}

struct EntryCase {
  const char* name;
  int recordsInFile;
  std::optional<std::int32_t> entryCount;  // default: recordsInFile
  std::optional<std::size_t> fileSize;     // default: the whole table
  int wanted;
  int expectedRecord;  // 0: the caller's entry stays as it was
  int expectedRecordsRead;
};

TEST_F(PackageReaderTest, EntryIsRecordMinOfWantedAndCountAsFarAsTheFileHoldsIt) {
  const std::vector<EntryCase> cases = {
      {"first", 3, {}, {}, 1, 1, 1},
      {"third of five", 5, {}, {}, 3, 3, 3},
      {"beyond the table gives the last", 2, {}, {}, 3, 2, 2},
      {"count smaller than the table", 5, 2, {}, 4, 2, 2},
      {"wanted below 1 walks the whole table", 3, {}, {}, 0, 3, 3},
      {"count 0", 2, 0, {}, 1, 0, 0},
      {"count negative", 2, -1, {}, 1, 0, 0},
      {"count INT32_MIN", 2, INT32_MIN, {}, 1, 0, 0},
      {"directory only, count 3", 3, {}, kDirectory, 3, 0, 0},
      {"short directory", 3, {}, 300, 3, 0, 0},
      {"table cut inside record 2", 3, {}, kDirectory + kRecord + 100, 3, 1, 1},
      {"table cut after record 2", 3, {}, kDirectory + 2 * kRecord, 3, 2, 2},
      {"table cut one byte short", 1, {}, kDirectory + kRecord - 1, 1, 0, 0},
      {"huge count", 2, INT32_MAX, {}, 5, 2, 2},
  };
  for (const EntryCase& c : cases) {
    PakBuilder pak = Table(c.recordsInFile);
    if (c.entryCount) pak.EntryCount(*c.entryCount);
    if (c.fileSize) pak.TruncateTo(*c.fileSize);
    files.AddFile(kPath, pak.Bytes());

    PackageEntry entry = Previous();
    int recordsRead = -1;
    EXPECT_EQ(ReadPackageEntry(files, kPath, entry, c.wanted, &recordsRead), 0) << c.name;
    EXPECT_EQ(recordsRead, c.expectedRecordsRead) << c.name;
    // On a file the caller holds open, wherever it stands, the walk starts at the top.
    const auto held = files.OpenForReading(kPath);
    held->Seek(600);
    PackageEntry fromHeld = Previous();
    int heldRecords = -1;
    EXPECT_TRUE(ReadPackageEntry(*held, fromHeld, c.wanted, &heldRecords)) << c.name;
    EXPECT_EQ(heldRecords, recordsRead) << c.name;
    EXPECT_TRUE(fromHeld == entry) << c.name;
    if (c.expectedRecord == 0) {
      EXPECT_EQ(entry.imageOffset, -77) << c.name;
      EXPECT_EQ(entry.imageSize, -78) << c.name;
      EXPECT_EQ(entry.name(), "p") << c.name;
    } else {
      EXPECT_EQ(entry.imageOffset, 1000 * c.expectedRecord) << c.name;
      EXPECT_EQ(entry.imageSize, 10 * c.expectedRecord) << c.name;
      EXPECT_EQ(entry.name(), "image-" + std::to_string(c.expectedRecord)) << c.name;
    }
  }
  EXPECT_EQ(files.openFileCount(), 0);
  EXPECT_EQ(files.totalOpens(), 2 * static_cast<int>(cases.size()));
}

// The whole-package check names the first problem it meets and the entry it
// is in (0 for the file as a whole).
TEST_F(PackageReaderTest, CheckNamesEachProblemAndItsEntry) {
  // Images of 200, 100 and 100 bytes right after a table of three records.
  const auto sane = [] {
    return PakBuilder()
        .AddImage(ByteVector(200, 1))
        .AddImage(ByteVector(100, 2))
        .AddImage(ByteVector(100, 3));
  };
  constexpr std::int32_t kImages = kDirectory + 3 * kRecord;  // where image 1 starts
  const struct {
    const char* name;
    ByteVector file;
    PackageProblem problem;
    int entry;
  } cases[] = {
      {"sound", sane().Bytes(), PackageProblem::kNone, 0},
      {"empty", {}, PackageProblem::kDirectoryCutShort, 0},
      {"515 bytes", ByteVector(515, 0), PackageProblem::kDirectoryCutShort, 0},
      {"no entries", sane().EntryCount(0).Bytes(), PackageProblem::kNoEntries, 0},
      {"negative count", sane().EntryCount(-3).Bytes(), PackageProblem::kNoEntries, 0},
      {"table past the end", sane().EntryCount(40).Bytes(), PackageProblem::kEntryTableOutsideFile,
       0},
      {"negative offset", sane().EntryOffset(2, -1).Bytes(), PackageProblem::kNegativeOffset, 2},
      {"first image only a header", sane().EntrySize(1, 50).Bytes(),
       PackageProblem::kImageTooSmall, 1},
      {"first image one byte more", sane().EntrySize(1, 51).Bytes(), PackageProblem::kNone, 0},
      {"empty later image", sane().EntrySize(3, 0).Bytes(), PackageProblem::kImageTooSmall, 3},
      {"past the end by one", sane().EntrySize(3, 101).Bytes(), PackageProblem::kImageOutsideFile,
       3},
      {"over the directory", sane().EntryOffset(2, 0).Bytes(),
       PackageProblem::kImageOverlapsTable, 2},
      {"inside the entry table", sane().EntryOffset(1, kImages - 1).Bytes(),
       PackageProblem::kImageOverlapsTable, 1},
      {"right after the table", sane().EntryOffset(1, kImages).Bytes(), PackageProblem::kNone,
       0},
      {"duplicated entry", sane().EntryOffset(3, kImages + 200).Bytes(),
       PackageProblem::kImagesOverlap, 3},
      {"one shared byte", sane().EntryOffset(2, kImages + 199).Bytes(),
       PackageProblem::kImagesOverlap, 2},
      {"inside an earlier image", sane().EntryOffset(3, kImages + 10).EntrySize(3, 5).Bytes(),
       PackageProblem::kImagesOverlap, 3},
      {"later entry placed first", sane().EntryOffset(1, kImages + 300).EntryOffset(3, kImages)
                                       .EntrySize(3, 200).EntrySize(1, 100).Bytes(),
       PackageProblem::kNone, 0},
  };
  for (const auto& c : cases) {
    files.AddFile(kPath, c.file);
    const auto file = files.OpenForReading(kPath);
    const PackageCheck check = CheckPackageFile(*file);
    EXPECT_EQ(check.problem, c.problem) << c.name << ": " << check.Describe();
    EXPECT_EQ(check.entry, c.entry) << c.name;
  }
}

TEST_F(PackageReaderTest, RecordsAfterTheWantedOneAreNotRead) {
  files.AddFile(kPath, Table(5).Bytes());
  PackageEntry entry;
  ASSERT_EQ(ReadPackageEntry(files, kPath, entry, 3), 0);
  EXPECT_EQ(files.usage(kPath).bytesRead, kDirectory + 3 * kRecord);
}

TEST_F(PackageReaderTest, NegativeFieldsAndAFullLengthNameAreKeptAsStored) {
  files.AddFile(kPath, PakBuilder().AddEntry(-1, INT32_MIN, std::string(600, 'x')).Bytes());
  PackageEntry entry;
  ASSERT_EQ(ReadPackageEntry(files, kPath, entry, 1), 0);
  EXPECT_EQ(entry.imageOffset, -1);
  EXPECT_EQ(entry.imageSize, INT32_MIN);
  EXPECT_EQ(entry.name(), std::string(512, 'x'));
}

TEST_F(PackageReaderTest, ReadErrorInsideTheTableCountsAsTheTableEnding) {
  files.AddFile(kPath, Table(3).Bytes());
  files.FailReadsAfter(kPath, kDirectory + kRecord + 8);
  PackageEntry entry = Previous();
  int recordsRead = -1;
  EXPECT_EQ(ReadPackageEntry(files, kPath, entry, 3, &recordsRead), 0);
  EXPECT_EQ(recordsRead, 1);
  EXPECT_EQ(entry.imageOffset, 1000);
}

}  // namespace
}  // namespace quorvel
