#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recording_console.h"
#include "instrument/wire_format.h"

namespace quorvel {
namespace {

struct StatusCase {
  std::vector<std::uint8_t> reply;
  std::uint8_t status;
  std::string logged;  // by ReportStatusCode; empty: nothing
};

TEST(StatusCharacter, FindsTheVerdictAndReportStatusCodeNamesIt) {
  const std::vector<StatusCase> cases = {
      {{0x30}, '0', ""},
      {{0xAB, 0x30}, '0', ""},
      {{0x31, 0x30}, '1', "FRAME_ERROR"},
      {{0x32}, '2', "CHECKSUM_ERROR"},
      {{0xAB, 0x33}, '3', "ERASE_ERROR"},
      {{0x34}, '4', "PROGRAM_ERROR"},
      {{0x35}, '5', "VERSION_ERROR"},
      {{0xAB, 0x36}, '6', "FW_ERROR"},
      {{0x37}, '7', ""},
      {{0x2F}, '/', ""},
      {{0xAB, 0xAB, 0x30}, 0xAB, ""},  // only one prefix byte is skipped
      {{}, 0x00, ""},
      {{0xAB}, 0x00, ""},
      {{0x00, 0x30}, 0x00, ""},
      {{0xFF}, 0xFF, ""},
  };
  for (const StatusCase& c : cases) {
    const std::uint8_t status = StatusCharacter(c.reply);
    EXPECT_EQ(status, c.status) << ::testing::PrintToString(c.reply);
    EXPECT_EQ(StatusName(status), c.logged);

    testing::RecordingConsole console;
    ReportStatusCode(console, status);
    const std::vector<std::string> expected =
        c.logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.logged};
    EXPECT_EQ(console.appended, expected) << ::testing::PrintToString(c.reply);
  }
}

TEST(StatusName, EveryByteOutsideOneToSixHasNoName) {
  for (int byte = 0; byte < 256; ++byte) {
    const bool named = byte >= '1' && byte <= '6';
    EXPECT_EQ(!StatusName(static_cast<std::uint8_t>(byte)).empty(), named) << byte;
  }
}

}  // namespace
}  // namespace quorvel
