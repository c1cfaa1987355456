#include "common/json_text.h"

#include <cstdint>

#include "common/utf8.h"

namespace quorvel {

namespace {

void AppendLatin1(std::string& out, std::uint8_t byte) {
  out += static_cast<char>(0xC0 | (byte >> 6));
  out += static_cast<char>(0x80 | (byte & 0x3F));
}

}  // namespace

Json JsonString(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const auto byte = static_cast<std::uint8_t>(bytes[at]);
    if (byte < 0x80) {
      text += static_cast<char>(byte);
      ++at;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(bytes, at);
    if (length == 0) {
      AppendLatin1(text, byte);
      ++at;
    } else {
      text.append(bytes.substr(at, length));
      at += length;
    }
  }
  return Json(std::move(text));
}

std::string JsonDocument(const Json& document) {
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string JsonLine(const Json& document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quorvel
