// The test fixtures are trusted by every other test, so their layout and
// fault injection are checked here against the readers and by hand.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "firmware/image_header.h"
#include "firmware/package.h"
#include "support/firmware_builder.h"
#include "support/memory_file_system.h"

namespace quorvel {
namespace {

using testing::BinBuilder;
using testing::ByteVector;
using testing::Crc32;
using testing::ImagesSentByPackageUpdate;
using testing::MemoryFileSystem;
using testing::PakBuilder;
using testing::TempDir;

// What the simulated meter demands of the bytes it received.
bool EndsInItsCrc(const ByteVector& received) {
  if (received.size() < 4) return false;
  const std::span<const std::uint8_t> body(received.data(), received.size() - 4);
  return ReadLittleEndianInt32(received.data() + body.size()) ==
         static_cast<std::int32_t>(Crc32(body));
}

TEST(Crc32, MatchesTheStandardCheckValue) {
  const std::string text = "123456789";
  EXPECT_EQ(Crc32(ByteVector(text.begin(), text.end())), 0xCBF43926u);
  EXPECT_EQ(Crc32({}), 0u);
}

TEST(BinBuilder, StoresTheHeaderComplementedAndTheBodyAsIs) {
  const ByteVector bin = BinBuilder().Version("01.21").Target(1).PayloadBytes({1, 2, 3}).Bytes();
  ASSERT_EQ(bin.size(), 53u);
  EXPECT_EQ(bin[1], static_cast<std::uint8_t>(~'N'));
  EXPECT_EQ(bin[6], 0xFF);  // the signature's NUL
  EXPECT_EQ(bin[46], 0xFE);
  EXPECT_EQ(ByteVector(bin.begin() + 50, bin.end()), (ByteVector{1, 2, 3}));

  const ByteVector withOverride = BinBuilder().StoredByte(46, 0x12).Header();
  EXPECT_EQ(DecodeImageHeader(withOverride).functionId(), 0xED);
}

TEST(BinBuilder, CrcTrailerCoversWhatTheMeterReceives) {
  const BinBuilder image = BinBuilder().Payload(1000);
  const ByteVector single = BinBuilder(image).WithCrc().Body();
  EXPECT_EQ(single.size(), 1004u);
  EXPECT_TRUE(EndsInItsCrc(single));

  const ByteVector whole = BinBuilder(image).WithCrc(testing::CrcCovers::kWholeImage).Bytes();
  EXPECT_TRUE(EndsInItsCrc(whole));
  EXPECT_FALSE(EndsInItsCrc(BinBuilder(image).Body()));
}

TEST(PakBuilder, SanePackageIsReadBackAndEveryImageSentPassesTheMeterCheck) {
  const ByteVector pak = PakBuilder()
                             .AddImage(BinBuilder().Payload(300).WithCrc(), "dsp.bin")
                             .AddImage(BinBuilder().Target(1).Payload(52).WithCrc(), "panel.bin")
                             .AddImage(BinBuilder().Version("01.30").Payload(10).WithCrc())
                             .Bytes();
  MemoryFileSystem files;
  files.AddFile("p.pak", pak);
  PackageEntry third;
  ASSERT_EQ(ReadPackageEntry(files, "p.pak", third, 3), 0);
  auto file = files.OpenForReading("p.pak");
  EXPECT_EQ(ReadImageHeader(*file, third.imageOffset).imageVersion(), "01.30");

  const std::vector<ByteVector> sent = ImagesSentByPackageUpdate(pak);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].size(), 304u);  // header skipped
  EXPECT_EQ(sent[1].size(), 50u + 52u + 4u);
  for (const ByteVector& image : sent) EXPECT_TRUE(EndsInItsCrc(image));

  PackageEntry first;
  ASSERT_EQ(ReadPackageEntry(files, "p.pak", first, 1), 0);
  EXPECT_EQ(first.imageOffset, 516 + 3 * 520);
  EXPECT_EQ(first.name(), "dsp.bin");
}

TEST(PakBuilder, OverridesPlacementAndTruncation) {
  const ByteVector pak = PakBuilder()
                             .AddImage(ByteVector(60, 0xA1))
                             .AddImage(ByteVector(10, 0xA2))
                             .PlaceImage(2, 2000)
                             .EntrySize(1, 100)
                             .Bytes();
  EXPECT_EQ(pak.size(), 2010u);
  const std::vector<ByteVector> sent = ImagesSentByPackageUpdate(pak);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], ByteVector(10, 0xA2));
  // Image 1 follows the table; its declared 100 bytes run into the zero gap.
  ASSERT_EQ(sent[0].size(), 50u);
  EXPECT_EQ(sent[0].front(), 0xA1);
  EXPECT_EQ(sent[0][9], 0xA1);
  EXPECT_EQ(sent[0][10], 0x00);

  const ByteVector cut = PakBuilder().AddImage(ByteVector(100, 1)).EntryCount(4).TruncateTo(700).Bytes();
  EXPECT_EQ(cut.size(), 700u);
  EXPECT_EQ(ImagesSentByPackageUpdate(cut).size(), 0u);  // the one record is cut short
}

TEST(MemoryFileSystem, CountsOpensAndKeepsOpenFilesReadableAfterRemoval) {
  MemoryFileSystem files;
  files.AddFile("a.bin", ByteVector{1, 2, 3});
  files.AddDirectory("dir");
  EXPECT_EQ(files.OpenForReading("dir"), nullptr);
  EXPECT_EQ(files.OpenForReading("missing"), nullptr);
  {
    auto file = files.OpenForReading("a.bin", FileShare::kReadOnly);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(files.openFileCount(), 1);
    files.Remove("a.bin");
    EXPECT_EQ(files.OpenForReading("a.bin"), nullptr);
    std::array<std::uint8_t, 8> buffer{};
    const FileRead read = file->Read(buffer);
    EXPECT_EQ(read.count, 3u);
    EXPECT_FALSE(read.error);
    EXPECT_EQ(file->Read(buffer).count, 0u);
  }
  EXPECT_EQ(files.openFileCount(), 0);
  EXPECT_EQ(files.totalOpens(), 1);
  EXPECT_EQ(files.usage("a.bin").shares, std::vector<FileShare>{FileShare::kReadOnly});
  EXPECT_EQ(files.usage("a.bin").bytesRead, 3u);
}

TEST(MemoryFileSystem, ReadErrorAfterNBytes) {
  MemoryFileSystem files;
  files.AddFile("a.bin", ByteVector(10, 7));
  files.FailReadsAfter("a.bin", 4);
  auto file = files.OpenForReading("a.bin");
  std::array<std::uint8_t, 3> buffer{};
  FileRead read = file->Read(buffer);
  EXPECT_EQ(read.count, 3u);
  EXPECT_FALSE(read.error);
  read = file->Read(buffer);
  EXPECT_EQ(read.count, 1u);
  EXPECT_TRUE(read.error);
  read = file->Read(buffer);
  EXPECT_EQ(read.count, 0u);
  EXPECT_TRUE(read.error);
}

TEST(TempDir, WritesFilesAndRemovesThemWithItself) {
  std::filesystem::path where;
  {
    TempDir dir;
    where = dir.path();
    const std::string path = dir.Write("x.bin", ByteVector{9, 8});
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(ByteVector(std::istreambuf_iterator<char>(in), {}), (ByteVector{9, 8}));
  }
  EXPECT_FALSE(std::filesystem::exists(where));
}

}  // namespace
}  // namespace quorvel
