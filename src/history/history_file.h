#pragma once
// The update history as a file: history.jsonl in the user's state folder.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "history/update_history.h"

namespace quorvel {

// Where the programs keep the history:
//   Linux and other POSIX systems: $XDG_STATE_HOME/quorvel/history.jsonl, or
//   ~/.local/state/quorvel/history.jsonl when XDG_STATE_HOME is unset or not absolute;
//   Windows: %LOCALAPPDATA%\quorvel\history.jsonl.
// Nothing when neither the variable nor a home folder is known.
std::optional<std::filesystem::path> DefaultHistoryPath();

// Appends one line per record with a single write to a file opened for
// appending, so lines from several threads and processes never interleave;
// the file is never rewritten or truncated.
inline constexpr std::uintmax_t kMaxHistoryReadBytes = 64ull * 1024 * 1024;

class HistoryFile final : public UpdateHistory {
 public:
  // A history bigger than `readLimit` bytes is read only up to there: the
  // listing is for people, and a runaway file must not exhaust memory.
  explicit HistoryFile(std::filesystem::path path,
                       std::uintmax_t readLimit = kMaxHistoryReadBytes)
      : path_(std::move(path)), readLimit_(readLimit) {}

  bool Append(const HistoryRecord& record, std::string* error) override;
  // Every whole record; a line that is not one (cut short, edited, garbage,
  // too long) is skipped with a warning naming its line number.
  HistoryListing Read() override;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::uintmax_t readLimit_;
};

}  // namespace quorvel
