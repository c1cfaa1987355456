// The machine's own files: what may be opened as a firmware file.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "common/utf8_path.h"
#include "firmware/file_source.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

TEST(DiskFileSystemTest, OpensRegularFilesOnlyAndCountsThem) {
  TempDir dir;
  const std::string path = dir.Write("image.bin", PatternBytes(300));

  DiskFileSystem files;
  EXPECT_EQ(files.OpenForReading(Utf8FromPath(dir.path())), nullptr) << "a directory";
  EXPECT_EQ(files.OpenForReading(path + ".missing"), nullptr);
#ifdef _WIN32
  EXPECT_EQ(files.OpenForReading("CON"), nullptr) << "a device name opens the console";
  EXPECT_EQ(files.OpenForReading("NUL"), nullptr);
#else
  const std::string fifo = (dir.path() / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(files.OpenForReading(fifo), nullptr) << "a FIFO must not hang the open";
#endif

  const int before = DiskFileSystem::OpenFileCount();
  {
    auto file = files.OpenForReading(path, FileShare::kReadOnly);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(DiskFileSystem::OpenFileCount(), before + 1);
    EXPECT_EQ(file->Size(), 300);
    std::array<std::uint8_t, 240> buffer{};
    EXPECT_EQ(file->Read(buffer).count, 240u);
    EXPECT_EQ(file->Read(buffer).count, 60u);
    EXPECT_EQ(file->Read(buffer).count, 0u);
    EXPECT_TRUE(file->Seek(10));
    EXPECT_FALSE(file->Seek(-1));
  }
  EXPECT_EQ(DiskFileSystem::OpenFileCount(), before);
}

#ifdef _WIN32
HANDLE OpenForWriting(const std::string& path, DWORD share) {
  return CreateFileW(PathFromUtf8(path).c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(DiskFileSystemTest, AnImageOpenForSendingMayBeReadButNotWrittenByOthers) {
  TempDir dir;
  const std::string path = dir.Write("image.bin", PatternBytes(300));
  DiskFileSystem files;

  // Someone is writing the file: an image must not be sent from it.
  const HANDLE writer = OpenForWriting(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(files.OpenForReading(path, FileShare::kReadOnly), nullptr);
  EXPECT_NE(files.OpenForReading(path, FileShare::kAny), nullptr);
  CloseHandle(writer);

  // While the image is open, reading it is allowed, writing it is not.
  const auto image = files.OpenForReading(path, FileShare::kReadOnly);
  ASSERT_NE(image, nullptr);
  EXPECT_NE(files.OpenForReading(path, FileShare::kReadOnly), nullptr);
  const HANDLE lateWriter = OpenForWriting(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(lateWriter, INVALID_HANDLE_VALUE);
  if (lateWriter != INVALID_HANDLE_VALUE) CloseHandle(lateWriter);
}

TEST(DiskFileSystemTest, NamesOutsideAsciiAndBackslashPathsOpen) {
  TempDir dir;
  const std::string path = dir.Write("Mess gerät Ω 測定.bin", PatternBytes(60));
  DiskFileSystem files;
  std::string backslashed = path;
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  for (const std::string& name : {path, backslashed}) {
    const auto file = files.OpenForReading(name, FileShare::kReadOnly);
    ASSERT_NE(file, nullptr) << name;
    EXPECT_EQ(file->Size(), 60);
  }
  EXPECT_EQ(files.OpenForReading(std::string("bad \xff name.bin")), nullptr) << "not UTF-8";
}
#endif

}  // namespace
}  // namespace quorvel::testing
