#include "common/json_text.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

// Whatever bytes a file or the meter supplied, the document can be written and
// read back, and every byte comes back as a character of the same value.
TEST(JsonString, AnyBytesGiveADocumentThatReadsBack) {
  const struct {
    std::string input;
    std::string readBack;
  } cases[] = {
      {"", ""},
      {"say \"hi\" C:\\fw", "say \"hi\" C:\\fw"},
      {std::string("\0\x01\x1b[2J\n\x7f", 7), std::string("\0\x01\x1b[2J\n\x7f", 7)},
      {"M\xC3\xA9ter", "M\xC3\xA9ter"},
      // Bytes that are not UTF-8 come back as the code point of the same value.
      {"\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
      {"\xFF", "\xC3\xBF"},
      {"\xC3", "\xC3\x83"},             // a sequence cut short
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},  // a surrogate
  };
  for (const auto& c : cases) {
    const std::string document = JsonDocument(Json{{"name", JsonString(c.input)}});
    EXPECT_EQ(Json::parse(document).at("name"), c.readBack) << document;
  }
}

TEST(JsonString, EveryByteValueSurvivesTheRoundTrip) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  const Json parsed = Json::parse(JsonLine(Json::array({JsonString(everyByte)})));
  EXPECT_EQ(parsed.at(0).get<std::string>().substr(0, 128), everyByte.substr(0, 128));
}

TEST(JsonDocument, IsIndentedInTheOrderWrittenAndNeverThrowsOnBadText) {
  Json document = {{"name", "x"}, {"size", -5}, {"list", Json::array({1, false, nullptr})}};
  document["inner"] = {{"ok", true}};
  EXPECT_EQ(JsonDocument(document),
            "{\n"
            "  \"name\": \"x\",\n"
            "  \"size\": -5,\n"
            "  \"list\": [\n"
            "    1,\n"
            "    false,\n"
            "    null\n"
            "  ],\n"
            "  \"inner\": {\n"
            "    \"ok\": true\n"
            "  }\n"
            "}\n");
  // A string that bypassed JsonString is written, not thrown.
  EXPECT_EQ(JsonLine(Json{{"raw", "\xFF"}}), "{\"raw\":\"\xEF\xBF\xBD\"}");
}

}  // namespace
}  // namespace quorvel
