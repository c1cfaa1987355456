#include "history/update_history.h"

#include <nlohmann/json.hpp>

#include "common/utc_time.h"

namespace quorvel {

namespace {

using Json = nlohmann::json;

// Fourteen fields of this many bytes fit a line even when every byte is escaped.
constexpr std::size_t kShortHistoryField = 64;

// Cuts a field to `limit` bytes without ending inside a UTF-8 sequence. Bytes
// that are not UTF-8 are replaced when the line is written.
std::string Bounded(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::string cut(text.substr(0, limit));
  const auto byte = [&cut] { return static_cast<unsigned char>(cut.back()); };
  while (!cut.empty() && (byte() & 0xC0) == 0x80) cut.pop_back();
  if (!cut.empty() && byte() >= 0xC0) cut.pop_back();
  return cut;
}

Json ToJson(const HistoryRecord& record, std::size_t limit) {
  const auto text = [limit](std::string_view value) { return Bounded(value, limit); };
  Json json = {
      {"time", text(record.time)},
      {"tool", text(record.tool)},
      {"toolVersion", text(record.toolVersion)},
      {"backend", text(record.backend)},
      {"resource", text(record.resource)},
      {"serial", text(record.serial)},
      {"identityBefore", text(record.identityBefore)},
      {"file",
       {{"name", text(record.fileName)},
        {"size", record.fileSize},
        {"sha256", text(record.fileSha256)}}},
      {"outcome", text(record.outcome)},
      {"reason", text(record.reason)},
  };
  if (record.identityAfter) json["identityAfter"] = text(*record.identityAfter);
  if (!record.verification.empty()) json["verification"] = text(record.verification);
  return json;
}

std::string Dump(const Json& json) {
  // Bytes that are not UTF-8 become U+FFFD rather than failing the record.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool ReadText(const Json& object, const char* key, std::string& into, bool required = true) {
  const auto found = object.find(key);
  if (found == object.end()) return !required;
  if (!found->is_string()) return false;
  into = found->get<std::string>();
  return true;
}

}  // namespace

std::string EncodeHistoryLine(const HistoryRecord& record) {
  std::string line = Dump(ToJson(record, kMaxHistoryField));
  // Only fields full of escaped control bytes get this long: then every field
  // is cut harder, which always fits.
  if (line.size() >= kMaxHistoryLine) line = Dump(ToJson(record, kShortHistoryField));
  return line;
}

std::optional<HistoryRecord> DecodeHistoryLine(std::string_view line) {
  if (line.size() >= kMaxHistoryLine) return std::nullopt;
  const Json json = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  HistoryRecord record;
  const auto file = json.find("file");
  if (file == json.end() || !file->is_object()) return std::nullopt;
  const auto size = file->find("size");
  if (size == file->end() || !size->is_number_unsigned()) return std::nullopt;
  record.fileSize = size->get<std::uint64_t>();
  std::string after;
  const bool hasAfter = json.contains("identityAfter");
  if (!ReadText(json, "time", record.time) || !ReadText(json, "tool", record.tool) ||
      !ReadText(json, "toolVersion", record.toolVersion) ||
      !ReadText(json, "backend", record.backend) || !ReadText(json, "resource", record.resource) ||
      !ReadText(json, "serial", record.serial) ||
      !ReadText(json, "identityBefore", record.identityBefore) ||
      !ReadText(json, "outcome", record.outcome) || !ReadText(json, "reason", record.reason) ||
      !ReadText(json, "verification", record.verification, /*required=*/false) ||
      !ReadText(json, "identityAfter", after, /*required=*/false) ||
      !ReadText(*file, "name", record.fileName) || !ReadText(*file, "sha256", record.fileSha256)) {
    return std::nullopt;
  }
  if (hasAfter) record.identityAfter = after;
  return record;
}

std::string HistoryTimeNow() { return UtcNowText("%Y-%m-%dT%H:%M:%SZ"); }

}  // namespace quorvel
