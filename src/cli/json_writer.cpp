#include "cli/json_writer.h"

#include <cstdio>

#include "cli/text_output.h"

namespace quorvel::cli {

namespace {

void AppendCodePoint(std::string& out, unsigned value) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04X", value);
  out += escaped;
}

}  // namespace

std::string JsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, at);
      if (length == 0) {
        AppendCodePoint(out, byte);
        ++at;
      } else {
        out.append(text.substr(at, length));
        at += length;
      }
      continue;
    }
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          AppendCodePoint(out, byte);
        } else {
          out += static_cast<char>(byte);
        }
    }
    ++at;
  }
  out += '"';
  return out;
}

void JsonWriter::NewLine() {
  out_ += '\n';
  out_.append(2 * levels_.size(), ' ');
}

void JsonWriter::BeforeValue() {
  if (keyPending_) {
    keyPending_ = false;
    return;
  }
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (level.members++ > 0) out_ += ',';
  NewLine();
}

void JsonWriter::Open(char bracket, bool isObject) {
  BeforeValue();
  out_ += bracket;
  levels_.push_back({isObject, 0});
}

void JsonWriter::Close(char bracket) {
  if (levels_.empty()) return;
  const bool hadMembers = levels_.back().members > 0;
  levels_.pop_back();
  if (hadMembers) NewLine();
  out_ += bracket;
  if (levels_.empty()) out_ += '\n';
}

JsonWriter& JsonWriter::BeginObject() {
  Open('{', true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  Close('}');
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Open('[', false);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  Close(']');
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  BeforeValue();
  out_ += JsonQuoted(name);
  out_ += ": ";
  keyPending_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  out_ += JsonQuoted(value);
  return *this;
}

JsonWriter& JsonWriter::Int(std::int64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  return *this;
}

}  // namespace quorvel::cli
