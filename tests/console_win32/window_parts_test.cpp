// The Windows window's pieces that need no window: its command line and the
// file chooser's filter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/operator_console.h"
#include "console_win32/program_options.h"
#include "console_win32/win32_dialogs.h"

namespace quorvel::win32 {
namespace {

TEST(WindowCommandLine, OptionsTakeTheirValueEitherWayAndRefuseTheRest) {
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::string> visa;
    std::optional<std::string> trace;
    std::string error;  // empty when the line is accepted
  } cases[] = {
      {{}, std::nullopt, std::nullopt, ""},
      {{"--visa", "sim:meters=2"}, "sim:meters=2", std::nullopt, ""},
      {{"--visa=system:path=C:/VISA/visa64.dll"}, "system:path=C:/VISA/visa64.dll", std::nullopt, ""},
      // A path may hold '=' and non-ASCII letters, and may come first.
      {{"--trace", "C:\\Spur ü=1.txt", "--visa", "sim"}, "sim", "C:\\Spur ü=1.txt", ""},
      {{"--visa"}, std::nullopt, std::nullopt, "missing value for --visa"},
      {{"--visa="}, std::nullopt, std::nullopt, "empty value for --visa"},
      {{"--demo"}, std::nullopt, std::nullopt, "unknown option: --demo"},
      {{"firmware.bin"}, std::nullopt, std::nullopt, "unexpected argument: firmware.bin"},
      {{"--visas", "sim"}, std::nullopt, std::nullopt, "unknown option: --visas"},
      {{"--time-scale", "0"}, std::nullopt, std::nullopt, "--time-scale must lie between 0.001 and 1"},
      {{"--time-scale=2"}, std::nullopt, std::nullopt, "--time-scale must lie between 0.001 and 1"},
      {{"--time-scale", "0.1x"}, std::nullopt, std::nullopt, "--time-scale must lie between 0.001 and 1"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto options = ParseProgramOptions(c.arguments, &error);
    const std::string label = c.arguments.empty() ? "(none)" : c.arguments.front();
    EXPECT_EQ(error, c.error) << label;
    ASSERT_EQ(options.has_value(), c.error.empty()) << label;
    if (!options) continue;
    EXPECT_EQ(options->visa, c.visa) << label;
    EXPECT_EQ(options->trace, c.trace) << label;
  }
  std::string error;
  EXPECT_TRUE(ParseProgramOptions({"--help"}, &error)->help);
  EXPECT_TRUE(ParseProgramOptions({"--version"}, &error)->version);
  EXPECT_EQ(ParseProgramOptions({"--time-scale=0.1"}, &error)->timeScale, 0.1);
}

TEST(WindowFileChooser, TheFilterEndsInTwoNulsOrIsNotGivenAtAll) {
  using namespace std::string_literals;
  EXPECT_EQ(ChooserFilter(kFirmwareFileFilter),
            L"Meter Update Files (*.pak;*.bin)\0*.pak;*.bin\0Meter Binary Files(*.bin)\0*.bin\0\0"s);
  EXPECT_EQ(ChooserFilter("Bilder ü (*.bin)|*.bin||"), L"Bilder \u00fc (*.bin)\0*.bin\0\0"s);
  // The chooser reads up to two NULs: a list without them would be read past its end.
  EXPECT_EQ(ChooserFilter("Files|*.bin|"), L"");
  EXPECT_EQ(ChooserFilter("Files|*.bin"), L"");
  EXPECT_EQ(ChooserFilter("\xff|*.bin||"), L"");
}

}  // namespace
}  // namespace quorvel::win32
