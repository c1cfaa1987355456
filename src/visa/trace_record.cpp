#include "visa/trace_record.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "common/sha256.h"
#include "visa/visa_library.h"

namespace quorvel {

namespace {

using Micros = std::chrono::microseconds;

constexpr std::array<std::string_view, 12> kCalls = {
    "viOpenDefaultRM", "viFindRsrc", "viFindNext", "viOpen",   "viClose",  "viSetAttribute",
    "viWrite",         "viRead",     "viClear",    "viPrintf", "viScanf",  kStopCall};

// Bounds on what a record may hold: a record is untrusted input.
constexpr std::size_t kMaxFields = 16;
constexpr std::size_t kMaxKeyLength = 16;
constexpr std::size_t kMaxValueLength = 2 * 16 * 1024;  // 16 KiB of bytes in hexadecimal
// No recorded call began or lasted longer than a year.
constexpr long long kMaxMicros = 365LL * 24 * 3600 * 1000 * 1000;

std::string FieldsText(const TraceFields& fields) {
  std::string text;
  for (const auto& [key, value] : fields) text += ' ' + key + '=' + value;
  return text;
}

const std::string* Find(const TraceFields& fields, std::string_view key) {
  for (const auto& field : fields) {
    if (field.first == key) return &field.second;
  }
  return nullptr;
}

bool IsKey(std::string_view key) {
  return !key.empty() && key.size() <= kMaxKeyLength &&
         std::all_of(key.begin(), key.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
         });
}

bool IsValue(std::string_view value) {
  if (value.size() > kMaxValueLength) return false;
  if (value.starts_with('-')) value.remove_prefix(1);
  return std::all_of(value.begin(), value.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text) {
  Number value{};
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (problem != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::optional<Micros> ParseMicros(const TraceFields& fields, std::string_view key) {
  const std::string* text = Find(fields, key);
  if (text == nullptr) return std::nullopt;
  const auto value = ParseNumber<long long>(*text);
  if (!value || *value < 0 || *value > kMaxMicros) return std::nullopt;
  return Micros{*value};
}

std::string_view NextToken(std::string_view& text) {
  const std::size_t space = text.find(' ');
  const std::string_view token = text.substr(0, space);
  text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
  return token;
}

TraceRecord Call(std::string_view name, TraceFields arguments) {
  TraceRecord record;
  record.call = name;
  record.arguments = std::move(arguments);
  return record;
}

}  // namespace

std::string HexText(std::span<const std::uint8_t> bytes) { return HexDigest(bytes); }

std::optional<std::vector<std::uint8_t>> BytesOfHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    std::uint8_t byte = 0;
    const auto [end, problem] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
    if (problem != std::errc{} || end != hex.data() + i + 2) return std::nullopt;
    bytes.push_back(byte);
  }
  return bytes;
}

std::string HexOfText(const ViChar* text, std::size_t limit) {
  if (text == nullptr) return {};
  return HexText({reinterpret_cast<const std::uint8_t*>(text), strnlen(text, limit)});
}

std::string TraceRecord::Text() const {
  return call + FieldsText(arguments) + " -> at=" + TraceNumber(static_cast<unsigned long long>(began.count())) +
         " took=" + TraceNumber(static_cast<unsigned long long>(took.count())) +
         " status=" + std::to_string(status) + FieldsText(results);
}

std::string TraceRecord::CallText() const {
  std::string text = call + '(';
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    text += (i > 0 ? ", " : "") + arguments[i].first + '=' + arguments[i].second;
  }
  return text + ')';
}

const std::string* TraceRecord::Result(std::string_view key) const { return Find(results, key); }
const std::string* TraceRecord::Argument(std::string_view key) const {
  return Find(arguments, key);
}

std::optional<TraceRecord> ParseTraceRecord(std::string_view text, std::string* error) {
  if (text.ends_with('\r')) text.remove_suffix(1);
  TraceRecord record;
  const std::string_view call = NextToken(text);
  if (std::find(kCalls.begin(), kCalls.end(), call) == kCalls.end()) {
    *error = "no call this program makes";
    return std::nullopt;
  }
  record.call = call;
  TraceFields* fields = &record.arguments;
  TraceFields all;
  bool arrow = false;
  while (!text.empty()) {
    const std::string_view token = NextToken(text);
    if (token == "->") {
      if (arrow) {
        *error = "two \"->\"";
        return std::nullopt;
      }
      arrow = true;
      fields = &record.results;
      continue;
    }
    const std::size_t equals = token.find('=');
    const std::string_view key = token.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view{} : token.substr(equals + 1);
    if (equals == std::string_view::npos || !IsKey(key) || !IsValue(value)) {
      *error = "a field that is not key=value";
      return std::nullopt;
    }
    if (Find(all, key) != nullptr || all.size() >= kMaxFields) {
      *error = "too many fields, or one twice";
      return std::nullopt;
    }
    all.emplace_back(key, value);
    fields->emplace_back(key, value);
  }
  const auto began = ParseMicros(record.results, "at");
  const auto took = ParseMicros(record.results, "took");
  const std::string* status = record.Result("status");
  const auto statusValue = status ? ParseNumber<ViStatus>(*status) : std::nullopt;
  if (!arrow || !began || !took || !statusValue) {
    *error = "no time, duration or status";
    return std::nullopt;
  }
  record.began = *began;
  record.took = *took;
  record.status = *statusValue;
  std::erase_if(record.results, [](const auto& field) {
    return field.first == "at" || field.first == "took" || field.first == "status";
  });
  return record;
}

TraceRecord OpenDefaultRMCall() { return Call("viOpenDefaultRM", {}); }

TraceRecord FindRsrcCall(ViSession resourceManager, const ViChar* expression) {
  return Call("viFindRsrc",
              {{"rm", TraceNumber(resourceManager)}, {"expr", HexOfText(expression, VI_FIND_BUFLEN)}});
}

TraceRecord FindNextCall(ViFindList findList) {
  return Call("viFindNext", {{"list", TraceNumber(findList)}});
}

TraceRecord OpenCall(ViSession resourceManager, const ViChar* resourceName, ViAccessMode mode,
                     ViUInt32 timeout) {
  return Call("viOpen", {{"rm", TraceNumber(resourceManager)},
                         {"name", HexOfText(resourceName, VI_FIND_BUFLEN)},
                         {"mode", TraceNumber(mode)},
                         {"timeout", TraceNumber(timeout)}});
}

TraceRecord CloseCall(ViObject object) { return Call("viClose", {{"object", TraceNumber(object)}}); }

TraceRecord SetAttributeCall(ViObject object, ViAttr attribute, ViAttrState value) {
  return Call("viSetAttribute",
              {{"object", TraceNumber(object)}, {"attr", TraceNumber(attribute)}, {"value", TraceNumber(value)}});
}

TraceRecord WriteCall(ViSession session, const ViByte* buffer, ViUInt32 count) {
  const std::span<const std::uint8_t> bytes =
      buffer ? std::span<const std::uint8_t>(buffer, count) : std::span<const std::uint8_t>();
  TraceRecord record = Call("viWrite", {{"session", TraceNumber(session)}, {"count", TraceNumber(count)}});
  if (bytes.size() <= kWrittenInFull) {
    record.arguments.emplace_back("bytes", HexText(bytes));
  } else {
    Sha256 digest;
    digest.Update(bytes);
    record.arguments.emplace_back("sha256", HexDigest(digest.Finish()));
  }
  return record;
}

TraceRecord ReadCall(ViSession session, ViUInt32 count) {
  return Call("viRead", {{"session", TraceNumber(session)}, {"count", TraceNumber(count)}});
}

TraceRecord ClearCall(ViSession session) {
  return Call("viClear", {{"session", TraceNumber(session)}});
}

TraceRecord PrintfCall(ViSession session, const ViChar* format) {
  return Call("viPrintf",
              {{"session", TraceNumber(session)}, {"format", HexOfText(format, kMaxFormatLength)}});
}

TraceRecord ScanfCall(ViSession session, const ViChar* format, std::size_t bufferSize) {
  return Call("viScanf", {{"session", TraceNumber(session)},
                          {"format", HexOfText(format, kMaxFormatLength)},
                          {"size", TraceNumber(bufferSize)}});
}

}  // namespace quorvel
