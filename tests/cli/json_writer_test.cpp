#include "cli/json_writer.h"

#include <gtest/gtest.h>

#include "mini_json.h"

namespace quorvel::cli {
namespace {

TEST(JsonQuoted, EscapesEveryByteJsonDoesNotAllowAsItIs) {
  const struct {
    std::string input;
    std::string quoted;
  } cases[] = {
      {"", "\"\""},
      {"dsp.bin", "\"dsp.bin\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\fw\\a.bin", "\"C:\\\\fw\\\\a.bin\""},
      {"a\nb\rc\td\be\ff", "\"a\\nb\\rc\\td\\be\\ff\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001F\\u007F\""},
      {"M\xC3\xA9ter", "\"M\xC3\xA9ter\""},
      // Bytes that are not UTF-8 become the code point of the same value.
      {"\xE9t\xE9", "\"\\u00E9t\\u00E9\""},
      {"\xFF", "\"\\u00FF\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonQuoted(c.input), c.quoted);
}

TEST(JsonQuoted, AlwaysGivesAStringAStrictReaderAccepts) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  const auto parsed = testing::ParseJson(JsonQuoted(everyByte));
  ASSERT_TRUE(parsed.has_value());
  // ASCII survives exactly.
  EXPECT_EQ(parsed->asString().substr(0, 128), everyByte.substr(0, 128));
}

TEST(JsonWriter, NestsObjectsAndArraysWithCommasInTheRightPlaces) {
  JsonWriter json;
  json.BeginObject()
      .Key("name")
      .String("x")
      .Key("size")
      .Int(-5)
      .Key("empty")
      .BeginArray()
      .EndArray()
      .Key("list")
      .BeginArray()
      .Int(1)
      .Bool(false)
      .Null()
      .BeginObject()
      .EndObject()
      .EndArray()
      .Key("inner")
      .BeginObject()
      .Key("ok")
      .Bool(true)
      .EndObject()
      .EndObject();
  EXPECT_EQ(json.str(),
            "{\n"
            "  \"name\": \"x\",\n"
            "  \"size\": -5,\n"
            "  \"empty\": [],\n"
            "  \"list\": [\n"
            "    1,\n"
            "    false,\n"
            "    null,\n"
            "    {}\n"
            "  ],\n"
            "  \"inner\": {\n"
            "    \"ok\": true\n"
            "  }\n"
            "}\n");
  ASSERT_TRUE(testing::ParseJson(json.str()).has_value());
}

}  // namespace
}  // namespace quorvel::cli
