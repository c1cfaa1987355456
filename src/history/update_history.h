#pragma once
// The record of every update attempt: which meter got which file, with what
// outcome, and (when it was checked) what the meter ran afterwards. One JSON
// object a line, appended and never rewritten, so a line once written stays
// as it was even when a later write is cut short.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct HistoryRecord {
  std::string time{};  // UTC, ISO 8601: "2026-12-08T01:02:03Z"
  std::string tool{};  // "quorvel-cli" or "quorvel"
  std::string toolVersion{};
  std::string backend{};
  std::string resource{};
  std::string serial{};
  std::string identityBefore{};
  std::optional<std::string> identityAfter{};  // only when the meter was checked after its restart
  std::string fileName{};
  std::uint64_t fileSize = 0;
  std::string fileSha256{};
  std::string outcome{};       // "installed", "transfer failed", ...
  std::string reason{};        // empty when there is nothing to add
  std::string verification{};  // "verified", "not verified: still 01.20", ...; empty when not asked
};

// A history line never grows beyond this; longer fields are cut before
// encoding, so one append is one bounded write.
inline constexpr std::size_t kMaxHistoryLine = 8192;
// Any one text field is cut to this many bytes.
inline constexpr std::size_t kMaxHistoryField = 512;

// One line of JSON without the line feed, at most kMaxHistoryLine - 1 bytes.
std::string EncodeHistoryLine(const HistoryRecord& record);
// The record a line holds; nothing for a line that is not one of ours.
std::optional<HistoryRecord> DecodeHistoryLine(std::string_view line);

// The current time as HistoryRecord::time wants it.
std::string HistoryTimeNow();

struct HistoryListing {
  std::vector<HistoryRecord> records;  // in the order they were written
  std::vector<std::string> warnings;   // one per damaged line skipped
};

// The seam: a file store for the programs, an in-memory one for tests.
class UpdateHistory {
 public:
  virtual ~UpdateHistory() = default;
  // Adds one record; false with a message when it could not be stored.
  // May be called from several threads and processes at once.
  virtual bool Append(const HistoryRecord& record, std::string* error) = 0;
  virtual HistoryListing Read() = 0;
};

}  // namespace quorvel
