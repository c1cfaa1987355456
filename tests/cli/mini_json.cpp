#include "mini_json.h"

#include <cctype>

namespace quorvel::testing {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> Document() {
    auto value = Value();
    SkipSpace();
    if (!value || at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void SkipSpace() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Take(char c) {
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool TakeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  std::optional<JsonValue> Value() {
    if (++depth_ > kMaxDepth) return std::nullopt;
    SkipSpace();
    std::optional<JsonValue> result;
    if (at_ >= text_.size()) {
      result = std::nullopt;
    } else if (text_[at_] == '{') {
      result = Object();
    } else if (text_[at_] == '[') {
      result = Array();
    } else if (text_[at_] == '"') {
      if (auto s = String()) result = JsonValue{std::move(*s)};
    } else if (TakeWord("true")) {
      result = JsonValue{true};
    } else if (TakeWord("false")) {
      result = JsonValue{false};
    } else if (TakeWord("null")) {
      result = JsonValue{nullptr};
    } else {
      result = Integer();
    }
    --depth_;
    return result;
  }

  std::optional<JsonValue> Integer() {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    const std::size_t digits = at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
    if (at_ == digits || (text_[digits] == '0' && at_ - digits > 1)) return std::nullopt;
    return JsonValue{std::stoll(std::string(text_.substr(start, at_ - start)))};
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  std::optional<std::string> String() {
    ++at_;  // the opening quote
    std::string out;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      const char escape = text_[at_++];
      switch (escape) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (at_ + 4 > text_.size()) return std::nullopt;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = text_[at_++];
            if (!std::isxdigit(static_cast<unsigned char>(h))) return std::nullopt;
            code = code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h))
                                                         ? h - '0'
                                                         : std::tolower(h) - 'a' + 10);
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<JsonValue> Array() {
    ++at_;
    auto array = std::make_shared<JsonArray>();
    if (Take(']')) return JsonValue{array};
    do {
      auto element = Value();
      if (!element) return std::nullopt;
      array->push_back(std::move(*element));
    } while (Take(','));
    if (!Take(']')) return std::nullopt;
    return JsonValue{array};
  }

  std::optional<JsonValue> Object() {
    ++at_;
    auto object = std::make_shared<JsonObject>();
    if (Take('}')) return JsonValue{object};
    do {
      SkipSpace();
      if (at_ >= text_.size() || text_[at_] != '"') return std::nullopt;
      auto key = String();
      if (!key || !Take(':')) return std::nullopt;
      auto member = Value();
      if (!member || !object->emplace(std::move(*key), std::move(*member)).second) {
        return std::nullopt;  // duplicate keys are a writer's fault
      }
    } while (Take(','));
    if (!Take('}')) return std::nullopt;
    return JsonValue{object};
  }

  std::string_view text_;
  std::size_t at_ = 0;
  int depth_ = 0;
};

}  // namespace

std::optional<JsonValue> ParseJson(std::string_view text) { return Parser(text).Document(); }

}  // namespace quorvel::testing
