#pragma once
// A small JSON writer for the machine-readable output of `info --json`:
// objects, arrays, strings, integers and booleans, indented two spaces.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::cli {

// `text` as a JSON string literal, quotes included. Well-formed UTF-8 passes
// as it is; control characters are escaped, and a byte that is not part of
// well-formed UTF-8 is written as the code point of the same value (\u00NN),
// so the output is always valid JSON whatever the file held.
std::string JsonQuoted(std::string_view text);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member; only inside an object.
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view value);
  JsonWriter& Int(std::int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // A key and its value in one call, for the common members.
  JsonWriter& StringMember(std::string_view name, std::string_view value) {
    return Key(name).String(value);
  }
  JsonWriter& IntMember(std::string_view name, std::int64_t value) { return Key(name).Int(value); }
  JsonWriter& BoolMember(std::string_view name, bool value) { return Key(name).Bool(value); }

  // The document so far, with a final newline once the outermost value is closed.
  const std::string& str() const { return out_; }

 private:
  struct Level {
    bool isObject = false;
    int members = 0;
  };
  void BeforeValue();
  void Open(char bracket, bool isObject);
  void Close(char bracket);
  void NewLine();

  std::string out_;
  std::vector<Level> levels_;
  bool keyPending_ = false;
};

}  // namespace quorvel::cli
