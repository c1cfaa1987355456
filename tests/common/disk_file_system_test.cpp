// The machine's own files: what may be opened as a firmware file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "firmware/file_source.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

TEST(DiskFileSystemTest, OpensRegularFilesOnlyAndCountsThem) {
  TempDir dir;
  const std::string path = dir.Write("image.bin", PatternBytes(300));
  const std::string fifo = (dir.path() / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  DiskFileSystem files;
  EXPECT_EQ(files.OpenForReading(dir.path().string()), nullptr) << "a directory";
  EXPECT_EQ(files.OpenForReading(fifo), nullptr) << "a FIFO must not hang the open";
  EXPECT_EQ(files.OpenForReading(path + ".missing"), nullptr);

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

}  // namespace
}  // namespace quorvel::testing
