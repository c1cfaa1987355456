#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "firmware/file_source.h"

namespace quorvel {

namespace {

std::atomic<int> gOpenFiles{0};

class PosixFile final : public FirmwareFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) { ++gOpenFiles; }
  ~PosixFile() override {
    ::close(fd_);
    --gOpenFiles;
  }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  FileRead Read(std::span<std::uint8_t> buffer) override {
    FileRead result;
    while (result.count < buffer.size()) {
      const ssize_t n = ::read(fd_, buffer.data() + result.count, buffer.size() - result.count);
      if (n > 0) {
        result.count += static_cast<std::size_t>(n);
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        result.error = true;
        break;
      }
    }
    return result;
  }

  bool Seek(std::int64_t position) override {
    return position >= 0 && ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) == position;
  }

  std::int64_t Size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<FirmwareFile> DiskFileSystem::OpenForReading(const std::string& path,
                                                             FileShare share) {
  // Non-blocking, so that a FIFO or device node cannot stall the open; only
  // regular files are firmware files.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (share == FileShare::kReadOnly) {
    // POSIX has no share modes; a shared advisory lock keeps cooperating
    // writers out while the image is being sent.
    (void)::flock(fd, LOCK_SH | LOCK_NB);
  }
  return std::make_unique<PosixFile>(fd);
}

int DiskFileSystem::OpenFileCount() { return gOpenFiles.load(); }

}  // namespace quorvel
