#include <windows.h>

#include <algorithm>
#include <atomic>

#include "common/wide_text.h"
#include "firmware/file_source.h"

namespace quorvel {

namespace {

std::atomic<int> gOpenFiles{0};

// ReadFile takes a 32-bit count; a larger buffer is filled in several calls.
constexpr std::size_t kMaxReadCall = 1u << 30;

class WindowsFile final : public FirmwareFile {
 public:
  explicit WindowsFile(HANDLE handle) : handle_(handle) { ++gOpenFiles; }
  ~WindowsFile() override {
    CloseHandle(handle_);
    --gOpenFiles;
  }
  WindowsFile(const WindowsFile&) = delete;
  WindowsFile& operator=(const WindowsFile&) = delete;

  FileRead Read(std::span<std::uint8_t> buffer) override {
    FileRead result;
    while (result.count < buffer.size()) {
      const auto wanted = static_cast<DWORD>(std::min(buffer.size() - result.count, kMaxReadCall));
      DWORD got = 0;
      if (!ReadFile(handle_, buffer.data() + result.count, wanted, &got, nullptr)) {
        result.error = true;
        break;
      }
      if (got == 0) break;  // end of file
      result.count += std::min<std::size_t>(got, wanted);
    }
    return result;
  }

  bool Seek(std::int64_t position) override {
    if (position < 0) return false;
    LARGE_INTEGER target{};
    target.QuadPart = position;
    LARGE_INTEGER reached{};
    return SetFilePointerEx(handle_, target, &reached, FILE_BEGIN) && reached.QuadPart == position;
  }

  std::int64_t Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_, &size)) return -1;
    return size.QuadPart;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<FirmwareFile> DiskFileSystem::OpenForReading(const std::string& path,
                                                             FileShare share) {
  const std::optional<std::wstring> widePath = WideFromUtf8(path);
  if (!widePath || widePath->empty()) return nullptr;
  // A real share mode: while the image is open, other programs may read it but
  // no one may write it, and a file someone already has open for writing is
  // refused (the open fails with a sharing violation).
  const DWORD shareMode = share == FileShare::kReadOnly
                              ? FILE_SHARE_READ
                              : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE handle = CreateFileW(widePath->c_str(), GENERIC_READ, shareMode, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // Only files on a disk are firmware files: not a pipe, not a console or
  // serial port that a device name such as "CON" or "COM1" opens.
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<WindowsFile>(handle);
}

int DiskFileSystem::OpenFileCount() { return gOpenFiles.load(); }

}  // namespace quorvel
