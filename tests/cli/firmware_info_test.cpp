#include "cli/firmware_info.h"

#include <gtest/gtest.h>

#include "support/firmware_builder.h"

namespace quorvel::cli {
namespace {

using testing::BinBuilder;
using testing::ByteVector;
using testing::PakBuilder;
using testing::TempDir;

const CheckResult* FindCheck(const FileReport& report, std::string_view group,
                             std::string_view check) {
  for (const CheckGroup& g : report.groups) {
    if (!g.name.starts_with(group)) continue;
    for (const CheckResult& c : g.checks) {
      if (c.name == check) return &c;
    }
  }
  return nullptr;
}

class FirmwareInfoTest : public ::testing::Test {
 protected:
  FileReport Inspect(std::string_view name, const ByteVector& bytes) {
    const std::string path = dir_.Write(name, bytes);
    auto report = InspectFirmwareFile(files_, path);
    EXPECT_TRUE(report.has_value()) << name;
    return report.value_or(FileReport{});
  }

  TempDir dir_;
  DiskFileSystem files_;
};

TEST_F(FirmwareInfoTest, JudgesSingleImagesByHeaderSignatureAndTarget) {
  const ByteVector header = BinBuilder().Header();
  const struct {
    const char* label;
    ByteVector bytes;
    bool header, payload, signature, target;
  } cases[] = {
      {"good DSP image", BinBuilder().Payload(500).WithCrc().Bytes(), true, true, true, true},
      {"Panel image", BinBuilder().Target(1).Payload(10).Bytes(), true, true, true, true},
      {"MSP 430 image", BinBuilder().Target(2).Payload(10).Bytes(), true, true, true, true},
      {"unknown target", BinBuilder().Target(7).Payload(10).Bytes(), true, true, true, false},
      {"signature in lower case", BinBuilder().Signature("navir").Payload(10).Bytes(), true, true,
       false, true},
      // The single image's whole signature field counts, not only its first five letters.
      {"signature going on", BinBuilder().Signature("NAVIRX").Payload(10).Bytes(), true, true,
       false, true},
      {"header only", BinBuilder().Bytes(), true, false, true, true},
      {"cut inside the header", ByteVector(header.begin(), header.begin() + 20), false, false, true,
       true},
      {"empty file", ByteVector{}, false, false, false, true},
  };
  for (const auto& c : cases) {
    const FileReport report = Inspect("image.bin", c.bytes);
    EXPECT_EQ(report.kind, FileKind::kImage) << c.label;
    ASSERT_NE(FindCheck(report, "file", "header"), nullptr) << c.label;
    EXPECT_EQ(FindCheck(report, "file", "header")->passed, c.header) << c.label;
    EXPECT_EQ(FindCheck(report, "file", "payload")->passed, c.payload) << c.label;
    EXPECT_EQ(FindCheck(report, "image checks", "signature")->passed, c.signature) << c.label;
    EXPECT_EQ(FindCheck(report, "image checks", "target")->passed, c.target) << c.label;
    EXPECT_EQ(report.passed(), c.header && c.payload && c.signature && c.target) << c.label;
  }
}

TEST_F(FirmwareInfoTest, ReportsTheImageHeaderAndPayloadSize) {
  const FileReport report =
      Inspect("dsp.bin", BinBuilder().Version("01.21").Target(0).Payload(1000).WithCrc().Bytes());
  EXPECT_EQ(report.size, 1054);
  EXPECT_EQ(report.payloadSize, 1004);
  ASSERT_TRUE(report.header);
  EXPECT_EQ(report.header->signature, "NAVIR");
  EXPECT_EQ(report.header->version, "01.21");
  EXPECT_EQ(report.header->target, "DSP");
}

TEST_F(FirmwareInfoTest, OnlyANameEndingInLowerCasePakIsAPackage) {
  EXPECT_EQ(KindOfFileName("/fw/a.pak"), FileKind::kPackage);
  EXPECT_EQ(KindOfFileName("/fw/a.PAK"), FileKind::kImage);  // as the update treats it
  EXPECT_EQ(KindOfFileName("/fw/a.bin"), FileKind::kImage);
  EXPECT_EQ(KindOfFileName("pak"), FileKind::kImage);
}

PakBuilder ThreeImages() {
  return PakBuilder()
      .AddImage(BinBuilder().Payload(300).WithCrc(), "dsp.bin")
      .AddImage(BinBuilder().Target(1).Version("06.00").Payload(200).WithCrc(), "panel.bin")
      .AddImage(BinBuilder().Version("01.30").Payload(100).WithCrc(), "check.bin");
}

TEST_F(FirmwareInfoTest, ListsAPackagesEntriesWithTheirHeaders) {
  const FileReport report = Inspect("p.pak", ThreeImages().Bytes());
  EXPECT_TRUE(report.passed());
  EXPECT_EQ(report.entryCount, 3);
  EXPECT_EQ(report.examinedEntry, 3);
  ASSERT_EQ(report.entries.size(), 3u);
  EXPECT_EQ(report.entries[0].offset, 516 + 3 * 520);
  EXPECT_EQ(report.entries[0].size, 354);
  EXPECT_EQ(report.entries[1].name, "panel.bin");
  ASSERT_TRUE(report.entries[1].header);
  EXPECT_EQ(report.entries[1].header->target, "Panel");
  EXPECT_EQ(report.entries[2].header->version, "01.30");
}

TEST_F(FirmwareInfoTest, JudgesPackagesByLayoutAndTheExaminedHeader) {
  const struct {
    const char* label;
    ByteVector bytes;
    bool whole;     // the damaged-package check
    bool headerOk;  // the package checks of the examined image
    int examined;
  } cases[] = {
      {"three good images", ThreeImages().Bytes(), true, true, 3},
      {"two images: the last is examined",
       PakBuilder()
           .AddImage(BinBuilder().Payload(10))
           .AddImage(BinBuilder().Target(9).Payload(10))
           .Bytes(),
       true, false, 2},
      {"four images: the third is examined",
       ThreeImages().AddImage(BinBuilder().Target(9).Payload(5)).Bytes(), true, true, 3},
      {"third image of five has a foreign signature",
       PakBuilder()
           .AddImage(BinBuilder().Payload(10))
           .AddImage(BinBuilder().Payload(10))
           .AddImage(BinBuilder().Signature("OTHER").Payload(10))
           .AddImage(BinBuilder().Payload(10))
           .AddImage(BinBuilder().Payload(10))
           .Bytes(),
       true, false, 3},
      // The package update compares only the first five letters of the signature.
      {"signature going on",
       PakBuilder().AddImage(BinBuilder().Signature("NAVIRX").Payload(10)).Bytes(), true, true, 1},
      {"no entries", PakBuilder().EntryCount(0).Bytes(), false, false, 0},
      {"entry count beyond the file", ThreeImages().EntryCount(1000000000).Bytes(), false, false,
       3},
      {"negative entry count", ThreeImages().EntryCount(-3).Bytes(), false, false, 0},
      // Images of 354, 254 and 154 bytes after the 2076-byte directory and table.
      {"last image cut off", ThreeImages().TruncateTo(2684 + 60).Bytes(), false, true, 3},
      // The check stops at the first bad entry, so the examined one is never reached.
      {"negative offset", ThreeImages().EntryOffset(2, -1).Bytes(), false, false, 3},
      {"first image no bigger than its header", ThreeImages().EntrySize(1, 50).Bytes(), false,
       false, 3},
      {"file shorter than the directory", ByteVector(100, 0), false, false, 0},
  };
  for (const auto& c : cases) {
    const FileReport report = Inspect("p.pak", c.bytes);
    EXPECT_EQ(report.kind, FileKind::kPackage) << c.label;
    ASSERT_EQ(report.groups.size(), 2u) << c.label;
    EXPECT_EQ(report.groups[0].passed(), c.whole)
        << c.label << ": " << report.groups[0].checks[0].detail;
    EXPECT_EQ(report.groups[1].passed(), c.headerOk) << c.label;
    EXPECT_EQ(report.examinedEntry, c.examined) << c.label;
    EXPECT_EQ(report.passed(), c.whole && c.headerOk) << c.label;
  }
}

TEST_F(FirmwareInfoTest, ALongPackageIsListedInPartButItsExaminedEntryAlwaysShows) {
  PakBuilder pak;
  for (int i = 0; i < 150; ++i) pak.AddImage(BinBuilder().Payload(1));
  const FileReport report = Inspect("long.pak", pak.Bytes());
  EXPECT_TRUE(report.passed());
  EXPECT_EQ(report.entries.size(), 100u);
  EXPECT_EQ(report.entriesLeftOut, 50);
  EXPECT_EQ(report.entries[2].index, 3);
}

TEST_F(FirmwareInfoTest, NamesFromTheFileAreEscapedInTextAndSurviveJson) {
  const std::string hostile = "evil\x1b[2J\"name\"\\\n";
  const FileReport report =
      Inspect("p.pak", PakBuilder().AddImage(BinBuilder().Payload(10), hostile).Bytes());
  const std::string text = RenderReportText(report);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_NE(text.find("evil\\x1B[2J"), std::string::npos);

  const auto json = nlohmann::json::parse(RenderReportJson(report));
  EXPECT_EQ(json.at("entries").at(0).at("name"), hostile);
}

TEST_F(FirmwareInfoTest, JsonCarriesTheSameFactsAsTheReport) {
  const FileReport report = Inspect("p.pak", ThreeImages().TruncateTo(2500).Bytes());
  const auto json = nlohmann::json::parse(RenderReportJson(report));
  EXPECT_EQ(json.at("kind"), "package");
  EXPECT_EQ(json.at("size"), 2500);
  EXPECT_EQ(json.at("entryCount"), 3);
  EXPECT_EQ(json.at("passed"), false);
  const auto& groups = json.at("checkGroups");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].at("name"), "damaged-package check");
  EXPECT_EQ(groups[0].at("passed"), false);
  EXPECT_EQ(groups[0].at("checks").at(0).at("detail"),
            "entry 2: the image runs past the end of the file");
}

TEST_F(FirmwareInfoTest, AFileThatCannotBeOpenedGivesNoReport) {
  EXPECT_FALSE(InspectFirmwareFile(files_, (dir_.path() / "missing.bin").string()).has_value());
  EXPECT_FALSE(InspectFirmwareFile(files_, dir_.path().string()).has_value());  // a directory
}

}  // namespace
}  // namespace quorvel::cli
