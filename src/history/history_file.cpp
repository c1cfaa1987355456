#include "history/history_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "common/utf8_path.h"

namespace quorvel {

namespace {

constexpr const char* kFolderName = "quorvel";
constexpr const char* kFileName = "history.jsonl";

#ifdef _WIN32
// Read as UTF-16: the ANSI getenv would mangle a user name outside the code page.
std::optional<std::filesystem::path> AbsoluteFromEnvironment(const wchar_t* name) {
  const wchar_t* value = ::_wgetenv(name);
  if (value == nullptr || *value == L'\0') return std::nullopt;
  std::filesystem::path path(value);
#else
std::optional<std::filesystem::path> AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  std::filesystem::path path(value);
#endif
  if (!path.is_absolute()) return std::nullopt;  // relative values are to be ignored
  return path;
}

// True when the file's last byte is not a line feed: a line cut short earlier
// (a crash mid-write).
bool EndsInsideALine(int fd) {
  char last = '\n';
#ifdef _WIN32
  const bool read = ::_lseeki64(fd, -1, SEEK_END) >= 0 && ::_read(fd, &last, 1) == 1;
#else
  struct stat status {};
  const bool read = ::fstat(fd, &status) == 0 && status.st_size > 0 &&
                    ::pread(fd, &last, 1, status.st_size - 1) == 1;
#endif
  return read && last != '\n';
}

// Writes `line` with one call, so that a concurrent append cannot land inside it.
bool AppendLine(const std::filesystem::path& path, const std::string& line, std::string* error) {
#ifdef _WIN32
  const int fd = ::_wopen(path.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY,
                          _S_IREAD | _S_IWRITE);
#else
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
#endif
  if (fd < 0) {
    *error = "cannot open " + Utf8FromPath(path) + ": " + std::strerror(errno);
    return false;
  }
  // A cut line must not swallow this one: start on a line of its own. Two
  // writers doing so at once leave an empty line, which readers pass over.
  std::string text = line;
  if (EndsInsideALine(fd)) text.insert(text.begin(), '\n');
#ifdef _WIN32
  const int written = ::_write(fd, text.data(), static_cast<unsigned>(text.size()));
  ::_close(fd);
#else
  ssize_t written = -1;
  do {
    written = ::write(fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  ::close(fd);
#endif
  if (written < 0 || static_cast<std::size_t>(written) != text.size()) {
    *error = "could not write the whole record to " + Utf8FromPath(path);
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::filesystem::path> DefaultHistoryPath() {
#ifdef _WIN32
  const auto base = AbsoluteFromEnvironment(L"LOCALAPPDATA");
  if (!base) return std::nullopt;
  return *base / kFolderName / kFileName;
#else
  if (const auto state = AbsoluteFromEnvironment("XDG_STATE_HOME")) {
    return *state / kFolderName / kFileName;
  }
  const auto home = AbsoluteFromEnvironment("HOME");
  if (!home) return std::nullopt;
  return *home / ".local" / "state" / kFolderName / kFileName;
#endif
}

bool HistoryFile::Append(const HistoryRecord& record, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::error_code failure;
  std::filesystem::create_directories(path_.parent_path(), failure);
  if (failure) {
    *error = "cannot create " + Utf8FromPath(path_.parent_path()) + ": " + failure.message();
    return false;
  }
  return AppendLine(path_, EncodeHistoryLine(record) + "\n", error);
}

HistoryListing HistoryFile::Read() {
  HistoryListing listing;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return listing;  // no history yet

  std::string line;
  std::size_t lineNumber = 0;
  std::uintmax_t consumed = 0;
  bool tooLong = false;
  const auto finishLine = [&] {
    ++lineNumber;
    std::optional<HistoryRecord> record;
    if (!tooLong) record = DecodeHistoryLine(line);
    if (record) {
      listing.records.push_back(std::move(*record));
    } else if (!(line.empty() && !tooLong)) {
      listing.warnings.push_back("line " + std::to_string(lineNumber) + " of " + Utf8FromPath(path_) +
                                 " is damaged; skipped");
    }
    line.clear();
    tooLong = false;
  };

  char piece[4096];
  while (consumed < readLimit_ && in.read(piece, sizeof piece).gcount() > 0) {
    const auto got = static_cast<std::size_t>(in.gcount());
    consumed += got;
    for (std::size_t i = 0; i < got; ++i) {
      if (piece[i] == '\n') {
        finishLine();
      } else if (line.size() < kMaxHistoryLine) {
        line += piece[i];
      } else {
        tooLong = true;  // the rest of this line is dropped
      }
    }
  }
  if (!line.empty() || tooLong) finishLine();  // a last line without its line feed
  if (consumed >= readLimit_) {
    listing.warnings.push_back(Utf8FromPath(path_) + " is larger than " +
                               std::to_string(readLimit_ / (1024 * 1024)) +
                               " MiB; only its beginning was read");
  }
  return listing;
}

}  // namespace quorvel
