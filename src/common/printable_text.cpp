#include "common/printable_text.h"

#include <cstdint>

namespace quorvel {

namespace {

void AppendEscaped(std::string& out, std::uint8_t byte) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// U+0080..U+009F are encoded C2 80..C2 9F; some terminals obey them as controls.
bool IsC1Control(std::string_view text, std::size_t at) {
  return static_cast<std::uint8_t>(text[at]) == 0xC2 &&
         static_cast<std::uint8_t>(text[at + 1]) <= 0x9F;
}

std::string Sanitize(std::string_view text, bool keepLineFeeds) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<std::uint8_t>(text[at]);
    if (byte < 0x80) {
      const bool control = byte < 0x20 || byte == 0x7F;
      const bool allowed = byte == '\t' || (byte == '\n' && keepLineFeeds);
      if (control && !allowed) {
        if (byte == '\n') {
          out += "\\n";
        } else {
          AppendEscaped(out, byte);
        }
      } else {
        out += static_cast<char>(byte);
      }
      ++at;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0 || IsC1Control(text, at)) {
      const std::size_t count = length == 0 ? 1 : length;
      for (std::size_t i = 0; i < count; ++i) {
        AppendEscaped(out, static_cast<std::uint8_t>(text[at + i]));
      }
      at += count;
      continue;
    }
    out.append(text.substr(at, length));
    at += length;
  }
  return out;
}

}  // namespace

std::string PrintableText(std::string_view text) { return Sanitize(text, true); }

std::string PrintableField(std::string_view text) { return Sanitize(text, false); }

std::string OneLineText(std::string_view text) {
  std::string joined;
  joined.reserve(text.size());
  bool lineEnd = false;
  for (const char c : text) {
    if (c == '\r' || c == '\n') {
      lineEnd = true;
      continue;
    }
    if (lineEnd && !joined.empty()) joined += ' ';
    lineEnd = false;
    joined += c;
  }
  return PrintableField(joined);
}

std::string LogLineText(std::string_view text) {
  std::string joined;
  joined.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
    joined += text[at];
  }
  return PrintableText(joined);
}

}  // namespace quorvel
