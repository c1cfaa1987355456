#include "common/printable_text.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

struct SanitizeCase {
  const char* label;
  std::string input;
  std::string printable;  // PrintableText
  std::string field;      // PrintableField
};

TEST(PrintableText, EscapesWhatCouldSteerATerminalAndKeepsTheRest) {
  const SanitizeCase cases[] = {
      {"plain", "SN000123", "SN000123", "SN000123"},
      {"line feed", "a\nb", "a\nb", "a\\nb"},
      {"tab", "a\tb", "a\tb", "a\tb"},
      {"escape sequence", "\x1b[2Jgone", "\\x1B[2Jgone", "\\x1B[2Jgone"},
      {"carriage return", "a\rb", "a\\x0Db", "a\\x0Db"},
      {"NUL and DEL", std::string("a\0b\x7f", 4), "a\\x00b\\x7F", "a\\x00b\\x7F"},
      {"accented name", "M\xC3\xA9ter.bin", "M\xC3\xA9ter.bin", "M\xC3\xA9ter.bin"},
      {"three-byte character", "\xE2\x82\xAC", "\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"C1 control (CSI)",
       "\xC2\x9B"
       "2J",
       "\\xC2\\x9B2J", "\\xC2\\x9B2J"},
      {"lone 8-bit CSI",
       "\x9B"
       "2J",
       "\\x9B2J", "\\x9B2J"},
      {"cut sequence", "ab\xE2\x82", "ab\\xE2\\x82", "ab\\xE2\\x82"},
      {"overlong slash", "\xC0\xAF", "\\xC0\\xAF", "\\xC0\\xAF"},
      {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80", "\\xED\\xA0\\x80"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", "\\xF4\\x90\\x80\\x80"},
  };
  for (const SanitizeCase& c : cases) {
    EXPECT_EQ(PrintableText(c.input), c.printable) << c.label;
    EXPECT_EQ(PrintableField(c.input), c.field) << c.label;
  }
}

TEST(OneLineText, JoinsTheLinesOfAMessageWithSpaces) {
  const std::pair<std::string, std::string> cases[] = {
      {"Not Possible (DSP).\nBinary file version is older.",
       "Not Possible (DSP). Binary file version is older."},
      {"\r\nUpgrade failure....\r\n\r\nTry again.\n", "Upgrade failure.... Try again."},
      {"bell\a inside", "bell\\x07 inside"},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(OneLineText(text), line) << text;
}

TEST(LogLineText, PrintsTheLogPanesSeparatorsAsLineFeeds) {
  EXPECT_EQ(LogLineText("\r\n  5407 for DSP firmware."), "\n  5407 for DSP firmware.");
  EXPECT_EQ(LogLineText("now.\r\n"), "now.\n");
  EXPECT_EQ(LogLineText("Serial No: SN000123\n"), "Serial No: SN000123\n");
  // A carriage return on its own would overwrite the line on a terminal.
  EXPECT_EQ(LogLineText("Serial No: 12\r34"), "Serial No: 12\\x0D34");
  EXPECT_EQ(LogLineText("ends in a lone \r"), "ends in a lone \\x0D");
}

}  // namespace
}  // namespace quorvel
