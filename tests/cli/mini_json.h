#pragma once
// A strict little JSON reader, so the tests can check that `info --json`
// writes valid JSON and read fields back from it.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvel::testing {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::string, JsonValue>;

struct JsonValue {
  std::variant<std::nullptr_t, bool, std::int64_t, std::string, std::shared_ptr<JsonArray>,
               std::shared_ptr<JsonObject>>
      value;

  bool isNull() const { return std::holds_alternative<std::nullptr_t>(value); }
  // These throw std::bad_variant_access on a value of another type, which
  // fails the test that asked.
  bool asBool() const { return std::get<bool>(value); }
  std::int64_t asInt() const { return std::get<std::int64_t>(value); }
  const std::string& asString() const { return std::get<std::string>(value); }
  const JsonArray& asArray() const { return *std::get<std::shared_ptr<JsonArray>>(value); }
  const JsonObject& asObject() const { return *std::get<std::shared_ptr<JsonObject>>(value); }
  // A member of an object; throws std::out_of_range when missing.
  const JsonValue& operator[](const std::string& key) const { return asObject().at(key); }
};

// Nothing when `text` is not one valid JSON value (whitespace around it allowed).
// Numbers must be integers; the tool writes no others.
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace quorvel::testing
