#include "cli/text_output.h"

#include <cstdint>

namespace quorvel::cli {

namespace {

void AppendEscaped(std::string& out, std::uint8_t byte) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  if (at >= text.size()) return 0;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  std::uint8_t low = 0x80;  // allowed range of the second byte
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

namespace {

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

std::string LogLineText(std::string_view text) {
  std::string joined;
  joined.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
    joined += text[at];
  }
  return PrintableText(joined);
}

}  // namespace quorvel::cli
