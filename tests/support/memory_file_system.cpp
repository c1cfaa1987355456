#include "support/memory_file_system.h"

#include <algorithm>
#include <cstring>

namespace quorvel::testing {

namespace {

class MemoryFile final : public FirmwareFile {
 public:
  MemoryFile(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::string path,
             std::optional<std::size_t> readErrorAfter, bool seekFails,
             std::shared_ptr<int> openFiles, std::shared_ptr<std::map<std::string, FileUsage>> usage)
      : bytes_(std::move(bytes)),
        path_(std::move(path)),
        readErrorAfter_(readErrorAfter),
        seekFails_(seekFails),
        openFiles_(std::move(openFiles)),
        usage_(std::move(usage)) {
    ++*openFiles_;
  }
  ~MemoryFile() override { --*openFiles_; }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  FileRead Read(std::span<std::uint8_t> buffer) override {
    const std::size_t readable = std::min(bytes_->size(), readErrorAfter_.value_or(bytes_->size()));
    const std::size_t available = position_ < readable ? readable - position_ : 0;
    FileRead result;
    result.count = std::min(buffer.size(), available);
    if (result.count > 0) {
      std::memcpy(buffer.data(), bytes_->data() + position_, result.count);
    }
    position_ += result.count;
    result.error = readErrorAfter_.has_value() && result.count < buffer.size() &&
                   position_ >= *readErrorAfter_ && position_ < bytes_->size();
    FileUsage& usage = (*usage_)[path_];
    ++usage.reads;
    usage.bytesRead += result.count;
    return result;
  }

  bool Seek(std::int64_t position) override {
    if (seekFails_ || position < 0) return false;
    position_ = static_cast<std::size_t>(position);
    return true;
  }

  std::int64_t Size() override { return static_cast<std::int64_t>(bytes_->size()); }

 private:
  std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
  std::string path_;
  std::optional<std::size_t> readErrorAfter_;
  bool seekFails_;
  std::size_t position_ = 0;
  std::shared_ptr<int> openFiles_;
  std::shared_ptr<std::map<std::string, FileUsage>> usage_;
};

}  // namespace

MemoryFileSystem::MemoryFileSystem()
    : openFiles_(std::make_shared<int>(0)),
      usage_(std::make_shared<std::map<std::string, FileUsage>>()) {}

void MemoryFileSystem::AddFile(const std::string& path, std::vector<std::uint8_t> bytes) {
  directories_.erase(path);
  files_[path] = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
}

void MemoryFileSystem::ChangeWhileOpen(const std::string& path, std::vector<std::uint8_t> bytes) {
  const auto found = files_.find(path);
  if (found == files_.end()) return AddFile(path, std::move(bytes));
  *found->second = std::move(bytes);
}

void MemoryFileSystem::AddFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  AddFile(path, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

void MemoryFileSystem::AddDirectory(const std::string& path) {
  files_.erase(path);
  directories_.insert(path);
}

void MemoryFileSystem::Remove(const std::string& path) {
  files_.erase(path);
  directories_.erase(path);
}

bool MemoryFileSystem::Exists(const std::string& path) const {
  return files_.contains(path) || directories_.contains(path);
}

void MemoryFileSystem::FailReadsAfter(const std::string& path, std::size_t bytes) {
  faults_[path].readErrorAfter = bytes;
}

void MemoryFileSystem::FailSeeks(const std::string& path) { faults_[path].seekFails = true; }

std::unique_ptr<FirmwareFile> MemoryFileSystem::OpenForReading(const std::string& path,
                                                               FileShare share) {
  const auto found = files_.find(path);
  if (found == files_.end()) return nullptr;
  ++totalOpens_;
  FileUsage& usage = (*usage_)[path];
  ++usage.opens;
  usage.shares.push_back(share);
  const Faults faults = faults_.contains(path) ? faults_.at(path) : Faults{};
  return std::make_unique<MemoryFile>(found->second, path, faults.readErrorAfter, faults.seekFails,
                                      openFiles_, usage_);
}

FileUsage MemoryFileSystem::usage(const std::string& path) const {
  const auto found = usage_->find(path);
  return found == usage_->end() ? FileUsage{} : found->second;
}

}  // namespace quorvel::testing
