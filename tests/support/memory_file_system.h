#pragma once
// A FileSystem over in-memory files, for tests: counts opens, records how files
// were opened and read, and injects faults.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "firmware/file_source.h"

namespace quorvel::testing {

// What happened to one path.
struct FileUsage {
  int opens = 0;
  int reads = 0;                 // Read calls
  std::uint64_t bytesRead = 0;   // bytes delivered by them
  std::vector<FileShare> shares;  // the share mode of each open, in order
};

class MemoryFileSystem final : public FileSystem {
 public:
  MemoryFileSystem();

  // Adds or replaces a file. Files already open keep the bytes they had.
  void AddFile(const std::string& path, std::vector<std::uint8_t> bytes);
  void AddFile(const std::string& path, std::span<const std::uint8_t> bytes);
  // A directory exists but cannot be opened for reading.
  void AddDirectory(const std::string& path);
  // Rewrites a file in place, as another program writing to it on disk would:
  // files already open read the new bytes from where they are.
  void ChangeWhileOpen(const std::string& path, std::vector<std::uint8_t> bytes);
  // Removes a file or directory; use it for a file that vanishes after the
  // operator chose it. Files already open stay readable.
  void Remove(const std::string& path);
  bool Exists(const std::string& path) const;

  // Reads of `path` deliver its first `bytes` bytes; the read that would go
  // past them delivers what is left up to that point and reports an error.
  // Applies to files opened from now on.
  void FailReadsAfter(const std::string& path, std::size_t bytes);
  // Every Seek on files of `path` opened from now on fails.
  void FailSeeks(const std::string& path);

  std::unique_ptr<FirmwareFile> OpenForReading(const std::string& path,
                                               FileShare share = FileShare::kAny) override;

  int openFileCount() const { return *openFiles_; }  // open right now
  int totalOpens() const { return totalOpens_; }
  // Usage of `path` so far (all zero for a path never opened).
  FileUsage usage(const std::string& path) const;

 private:
  struct Faults {
    std::optional<std::size_t> readErrorAfter;
    bool seekFails = false;
  };

  std::map<std::string, std::shared_ptr<std::vector<std::uint8_t>>> files_;
  std::set<std::string> directories_;
  std::map<std::string, Faults> faults_;
  // Shared with the open files, which may outlive this object.
  std::shared_ptr<int> openFiles_;
  std::shared_ptr<std::map<std::string, FileUsage>> usage_;
  int totalOpens_ = 0;
};

}  // namespace quorvel::testing
