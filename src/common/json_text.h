#pragma once
// JSON for both front ends, through nlohmann::json. Strings from a file or the
// meter are untrusted bytes, and nlohmann::json refuses to dump a string that
// is not UTF-8, so every such string goes in through JsonString.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quorvel {

// Members keep the order they were added in, so a document reads as written.
using Json = nlohmann::ordered_json;

// `bytes` as a JSON string: well-formed UTF-8 as it is, and a byte that is not
// part of well-formed UTF-8 as the code point of the same value (a Latin-1
// file name stays readable), so the document can always be written.
Json JsonString(std::string_view bytes);

// The document as the tools print it: indented two spaces, a final newline.
// Never throws: a string that bypassed JsonString is written with U+FFFD for
// its bad bytes rather than ending the program.
std::string JsonDocument(const Json& document);

// One line of JSON, for logs kept one record a line.
std::string JsonLine(const Json& document);

}  // namespace quorvel
