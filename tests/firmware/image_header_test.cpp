#include "firmware/image_header.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/firmware_builder.h"
#include "support/memory_file_system.h"
#include "support/recording_console.h"

namespace quorvel {
namespace {

using testing::BinBuilder;
using testing::ByteVector;
using testing::MemoryFileSystem;
using testing::RecordingConsole;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The simulated meter's defaults.
const MeterVersions kMeter{"01.20", "01.20.05.12"};

ImageHeader HeaderOf(const BinBuilder& image) { return DecodeImageHeader(image.Header()); }

std::string VerdictName(HeaderVerdict verdict) {
  switch (verdict) {
    case HeaderVerdict::kAccept:
      return "accept";
    case HeaderVerdict::kRefuseSignature:
      return "signature";
    case HeaderVerdict::kRefuseVersion:
      return "version";
    case HeaderVerdict::kRefuseUnknownTarget:
      return "unknown target";
  }
  return "?";
}

TEST(DecodeImageHeader, ComplementsEveryByteAndEndsWithNul) {
  ByteVector stored(kImageHeaderSize, 0x00);
  stored[0] = 0xFF;
  stored[1] = 0x5A;
  const ImageHeader header = DecodeImageHeader(stored);
  EXPECT_EQ(header.decoded[0], 0x00);
  EXPECT_EQ(header.decoded[1], 0xA5);
  EXPECT_EQ(header.decoded[2], 0xFF);
  EXPECT_EQ(header.decoded[49], 0xFF);
  EXPECT_EQ(header.decoded[50], 0x00);
}

TEST(DecodeImageHeader, MissingBytesDecodeAsZeroAndExtraBytesAreIgnored) {
  const ByteVector stored(7, 0x00);
  const ImageHeader shortHeader = DecodeImageHeader(stored);
  EXPECT_EQ(shortHeader.decoded[6], 0xFF);
  EXPECT_EQ(shortHeader.decoded[7], 0x00);
  EXPECT_EQ(shortHeader.decoded[49], 0x00);

  const ByteVector longer(kImageHeaderSize + 10, 0x00);
  EXPECT_EQ(DecodeImageHeader(longer).decoded[50], 0x00);
}

TEST(ImageHeaderFields, ReadTheirBytesAndStopAtNulOrFieldEnd) {
  const ImageHeader header = HeaderOf(
      BinBuilder().Signature("NAVIR-ABCDEFGHIJKLM").Version(std::string("1\0" "345", 5)).Target(2));
  EXPECT_EQ(header.makerSignature(), "NAVIR-ABCDEFGHI");  // 15 characters at most
  EXPECT_EQ(header.imageVersion(), "1");
  EXPECT_EQ(header.imageVersionBytes(), (std::array<char, 5>{'1', '\0', '3', '4', '5'}));
  EXPECT_EQ(header.functionId(), 2);

  // The version field has no terminator of its own; byte 46 must not leak in.
  EXPECT_EQ(HeaderOf(BinBuilder().Version("01.21").Target('Z')).imageVersion(), "01.21");
}

struct SignatureCase {
  const char* name;
  BinBuilder image;
  HeaderVerdict expected;
};

TEST(JudgeImageHeader, SignatureMustBeExactlyNavirEndedByNul) {
  auto withStored = [](std::vector<std::pair<std::size_t, std::uint8_t>> bytes) {
    BinBuilder image;
    for (const auto& [offset, value] : bytes) image.StoredByte(offset, value);
    return image;
  };
  auto complement = [](char c) { return static_cast<std::uint8_t>(~static_cast<unsigned char>(c)); };
  const std::vector<SignatureCase> cases = {
      {"plain", BinBuilder(), HeaderVerdict::kAccept},
      {"stored bytes 1..6 set by hand, 7..15 anything",
       withStored({{1, complement('N')}, {2, complement('A')}, {3, complement('V')},
                   {4, complement('I')}, {5, complement('R')}, {6, 0xFF},
                   {7, 0x00}, {8, 0x12}, {15, 0x80}}),
       HeaderVerdict::kAccept},
      {"byte 6 not NUL", BinBuilder().Signature("NAVIRS"), HeaderVerdict::kRefuseSignature},
      {"byte 6 high", BinBuilder().DecodedByte(6, 0x80), HeaderVerdict::kRefuseSignature},
      {"lower case", BinBuilder().Signature("navir"), HeaderVerdict::kRefuseSignature},
      {"mixed case", BinBuilder().Signature("NaVIR"), HeaderVerdict::kRefuseSignature},
      {"too short", BinBuilder().Signature("NAVI"), HeaderVerdict::kRefuseSignature},
      {"empty", BinBuilder().Signature(""), HeaderVerdict::kRefuseSignature},
      {"leading byte", BinBuilder().Signature(" NAVIR"), HeaderVerdict::kRefuseSignature},
      {"offset 0 is not part of it", BinBuilder().DecodedByte(0, 'X'), HeaderVerdict::kAccept},
  };
  for (const SignatureCase& c : cases) {
    EXPECT_EQ(VerdictName(JudgeImageHeader(HeaderOf(c.image), kMeter)), VerdictName(c.expected))
        << c.name;
  }
}

TEST(JudgeImageHeader, SignatureIsCheckedEvenForTheAnyVersionMeter) {
  EXPECT_EQ(JudgeImageHeader(HeaderOf(BinBuilder().Signature("NAVIRX")), {"02.xx", ""}),
            HeaderVerdict::kRefuseSignature);
}

struct VersionCase {
  MeterVersions meter;
  std::string imageVersion;  // the 5 stored characters, NULs included
  std::uint8_t functionId;
  HeaderVerdict expected;
};

TEST(JudgeImageHeader, VersionRulesByTarget) {
  const std::string nuls(5, '\0');
  const std::vector<VersionCase> cases = {
      // The any-version marker skips target and version.
      {{"02.xx", ""}, "00.00", 7, HeaderVerdict::kAccept},
      {{"02.xx", ""}, "00.00", 0, HeaderVerdict::kAccept},
      {{"02.xx", ""}, nuls, 1, HeaderVerdict::kAccept},
      {{"02.xy", ""}, "00.00", 7, HeaderVerdict::kRefuseUnknownTarget},
      {{"02.x", ""}, "00.00", 7, HeaderVerdict::kRefuseUnknownTarget},
      {{"02.XX", ""}, "00.00", 0, HeaderVerdict::kRefuseVersion},
      // DSP: five characters against instrumentVersion, strictly newer only.
      {kMeter, "01.20", 0, HeaderVerdict::kRefuseVersion},
      {kMeter, "01.21", 0, HeaderVerdict::kAccept},
      {kMeter, "02.00", 0, HeaderVerdict::kAccept},
      {kMeter, "01.1x", 0, HeaderVerdict::kRefuseVersion},
      {kMeter, "01.19", 0, HeaderVerdict::kRefuseVersion},
      {kMeter, "00.99", 0, HeaderVerdict::kRefuseVersion},
      {kMeter, "01.2" + std::string(1, '\0'), 0, HeaderVerdict::kRefuseVersion},
      // Characters count as signed: 0x80 and up sort below '0'.
      {kMeter, "01.2\x80", 0, HeaderVerdict::kRefuseVersion},
      {kMeter, "\xff" "1.21", 0, HeaderVerdict::kRefuseVersion},
      {{"01.2\x80", ""}, "01.20", 0, HeaderVerdict::kAccept},
      // A shorter meter version is padded with 0.
      {{"01.2", ""}, "01.20", 0, HeaderVerdict::kAccept},
      {{"01.2", ""}, "01.2" + std::string(1, '\0'), 0, HeaderVerdict::kRefuseVersion},
      // A meter that did not answer: any image starting 0x01..0x7F is newer.
      {{"", ""}, "\x01" + std::string(4, '\0'), 0, HeaderVerdict::kAccept},
      {{"", ""}, "\x7f" "0000", 0, HeaderVerdict::kAccept},
      {{"", ""}, "01.20", 0, HeaderVerdict::kAccept},
      {{"", ""}, "\x80" "1.20", 0, HeaderVerdict::kRefuseVersion},
      {{"", ""}, nuls, 0, HeaderVerdict::kRefuseVersion},
      // Panel: image characters 0..1 against tail positions 6..7 ("05").
      {kMeter, "06.00", 1, HeaderVerdict::kAccept},
      {kMeter, "10", 1, HeaderVerdict::kAccept},
      {kMeter, "05.99", 1, HeaderVerdict::kRefuseVersion},
      {kMeter, "04.99", 1, HeaderVerdict::kRefuseVersion},
      {{"99.99", "01.20.05.12"}, "06.00", 1, HeaderVerdict::kAccept},  // DSP version not used
      {{"01.20", "01.20"}, "00", 1, HeaderVerdict::kAccept},          // positions 6, 7 missing: 0
      {{"01.20", "01.20"}, nuls, 1, HeaderVerdict::kRefuseVersion},
      // MSP 430: image characters 0..1 against tail positions 9..10 ("12").
      {kMeter, "13.00", 2, HeaderVerdict::kAccept},
      {kMeter, "12.99", 2, HeaderVerdict::kRefuseVersion},
      {kMeter, "11.99", 2, HeaderVerdict::kRefuseVersion},
      {kMeter, "06.00", 2, HeaderVerdict::kRefuseVersion},  // newer Panel, older MSP 430
      {{"01.20", "01.20.05.1"}, "12", 2, HeaderVerdict::kAccept},
      {{"01.20", "01.20.05.12\n"}, "13", 2, HeaderVerdict::kAccept},  // only positions 9, 10
      // Anything else names no processor.
      {kMeter, "09.99", 3, HeaderVerdict::kRefuseUnknownTarget},
      {kMeter, "09.99", 7, HeaderVerdict::kRefuseUnknownTarget},
      {kMeter, "09.99", 255, HeaderVerdict::kRefuseUnknownTarget},
  };
  for (const VersionCase& c : cases) {
    const ImageHeader header = HeaderOf(BinBuilder().Version(c.imageVersion).Target(c.functionId));
    EXPECT_EQ(VerdictName(JudgeImageHeader(header, c.meter)), VerdictName(c.expected))
        << "meter '" << c.meter.instrumentVersion << "' tail '" << c.meter.tail << "' image '"
        << c.imageVersion << "' function " << int{c.functionId};
  }
}

struct LogCase {
  const char* name;
  BinBuilder image;
  std::vector<std::string> lines;
};

TEST(CheckImageHeader, LogsTheRefusalLinesOneCallEach) {
  const std::vector<std::string> signatureLines = {
      "Firmware update was not successful.  Please be sure you selected the ",
      "correct firmware file in the installation process.",
      "\n",
      "Click \"Exit\" to end this update process and turn DMM power off then",
      "back on and try the update again."};
  auto versionLines = [](const std::string& target) {
    return std::vector<std::string>{
        "Firmware Update Not Possible (" + target + "). Binary file version is older than ",
        "instrument version.",
        "Please press the \"Exit\" button to exit and recycle power on instrument."};
  };
  const std::vector<LogCase> cases = {
      {"signature", BinBuilder().Signature("NAVIRX"), signatureLines},
      {"DSP", BinBuilder().Version("01.20").Target(0), versionLines("DSP")},
      {"Panel", BinBuilder().Version("05.00").Target(1), versionLines("Panel")},
      {"MSP 430", BinBuilder().Version("12.00").Target(2), versionLines("MSP 430")},
      {"unknown",
       BinBuilder().Target(9),
       {"Firmware Update Not Possible. Binary file contain unidentify function ID.",
        "Please press the \"Exit\" button to exit and make sure the source file."}},
  };
  for (const LogCase& c : cases) {
    RecordingConsole console;
    EXPECT_FALSE(CheckImageHeader(HeaderOf(c.image), kMeter, console)) << c.name;
    EXPECT_EQ(console.appended, c.lines) << c.name;
  }
}

TEST(CheckImageHeader, AcceptedImageLogsNothing) {
  RecordingConsole console;
  EXPECT_TRUE(CheckImageHeader(HeaderOf(BinBuilder().Version("01.21")), kMeter, console));
  EXPECT_THAT(console.appended, IsEmpty());
}

// --- Reading from a file ----------------------------------------------------

class ReadImageHeaderTest : public ::testing::Test {
 protected:
  // Reads the header of `bytes` at `position`; `next` gets the byte that
  // follows in the file, or -1 at its end.
  ImageHeader Read(const ByteVector& bytes, std::int64_t position = 0, int* next = nullptr) {
    files.AddFile("image.bin", bytes);
    auto file = files.OpenForReading("image.bin");
    EXPECT_NE(file, nullptr);
    const ImageHeader header = ReadImageHeader(*file, position);
    if (next != nullptr) {
      std::array<std::uint8_t, 1> byte{};
      *next = file->Read(byte).count == 1 ? byte[0] : -1;
    }
    return header;
  }

  MemoryFileSystem files;
};

TEST_F(ReadImageHeaderTest, ShortFilesDecodeTheirMissingBytesAsZero) {
  const ByteVector full = BinBuilder().Version("01.21").PayloadBytes({0xC0, 0xC1}).Bytes();
  struct Case {
    std::size_t size;
    std::string signature;
    std::string version;
    HeaderVerdict verdict;
    int next;
  };
  const std::vector<Case> cases = {
      {0, "", "", HeaderVerdict::kRefuseSignature, -1},
      {1, "", "", HeaderVerdict::kRefuseSignature, -1},
      {6, "NAVIR", "", HeaderVerdict::kRefuseVersion, -1},
      {49, "NAVIR", "01.21", HeaderVerdict::kAccept, -1},
      {50, "NAVIR", "01.21", HeaderVerdict::kAccept, -1},
      {51, "NAVIR", "01.21", HeaderVerdict::kAccept, 0xC0},
  };
  for (const Case& c : cases) {
    int next = 0;
    const ImageHeader header = Read(ByteVector(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.size)), 0, &next);
    EXPECT_EQ(header.makerSignature(), c.signature) << c.size << " bytes";
    EXPECT_EQ(header.imageVersion(), c.version) << c.size << " bytes";
    EXPECT_EQ(JudgeImageHeader(header, kMeter), c.verdict) << c.size << " bytes";
    EXPECT_EQ(next, c.next) << c.size << " bytes";
  }
}

TEST_F(ReadImageHeaderTest, SixByteFileIsADspImageOfFiveNuls) {
  const ByteVector full = BinBuilder().Version("09.99").Target(2).Bytes();
  const ImageHeader header = Read(ByteVector(full.begin(), full.begin() + 6));
  EXPECT_EQ(header.imageVersionBytes(), (std::array<char, 5>{}));
  EXPECT_EQ(header.functionId(), 0);
  RecordingConsole console;
  EXPECT_FALSE(CheckImageHeader(header, kMeter, console));
  EXPECT_THAT(console.appended.front(), ::testing::HasSubstr("(DSP)"));
  EXPECT_EQ(JudgeImageHeader(header, {"02.xx", ""}), HeaderVerdict::kAccept);
}

TEST_F(ReadImageHeaderTest, ReadsAtAPositionInsideALargerFile) {
  ByteVector file(300, 0x11);
  const ByteVector image = BinBuilder().Version("01.30").PayloadBytes({0xD0}).Bytes();
  std::copy(image.begin(), image.end(), file.begin() + 200);
  int next = 0;
  const ImageHeader header = Read(file, 200, &next);
  EXPECT_EQ(header.imageVersion(), "01.30");
  EXPECT_EQ(next, 0xD0);
}

TEST_F(ReadImageHeaderTest, PositionPastTheEndOrUnreachableGivesAnEmptyHeader) {
  const ByteVector image = BinBuilder().Bytes();
  EXPECT_EQ(Read(image, 1000).makerSignature(), "");
  EXPECT_EQ(Read(image, -1).makerSignature(), "");

  files.FailSeeks("image.bin");
  EXPECT_EQ(Read(image, 0).makerSignature(), "");
}

TEST_F(ReadImageHeaderTest, ReadErrorKeepsTheBytesBeforeIt) {
  files.FailReadsAfter("image.bin", 10);
  const ImageHeader header = Read(BinBuilder().Bytes());
  EXPECT_EQ(header.makerSignature(), "NAVIR");
  EXPECT_EQ(header.imageVersion(), "");
}

}  // namespace
}  // namespace quorvel
