#include "firmware/loaded_firmware.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "common/sha256.h"
#include "firmware/bytes_file.h"

namespace quorvel {

namespace {

constexpr std::size_t kLoadChunk = 64 * 1024;

}  // namespace

std::string LoadedFirmware::Sha256Hex() const { return HexDigest(sha256); }

std::unique_ptr<FirmwareFile> LoadedFirmware::Open() const {
  return std::make_unique<BytesFile>(bytes);
}

std::variant<LoadedFirmware, LoadFailure> LoadFirmware(FileSystem& files, const std::string& path) {
  const std::unique_ptr<FirmwareFile> file = files.OpenForReading(path, FileShare::kReadOnly);
  if (!file) return LoadFailure{LoadProblem::kNotOpened, -1};
  const std::int64_t size = file->Size();
  if (size > kMaxFirmwareFileSize) return LoadFailure{LoadProblem::kTooLarge, size};

  LoadedFirmware loaded;
  loaded.path = path;
  loaded.bytes.reserve(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
  // The size said is not trusted: the file may grow while it is read.
  std::vector<std::uint8_t> chunk(kLoadChunk);
  for (;;) {
    const FileRead read = file->Read(chunk);
    loaded.bytes.insert(loaded.bytes.end(), chunk.begin(),
                        chunk.begin() + static_cast<std::ptrdiff_t>(read.count));
    if (static_cast<std::int64_t>(loaded.bytes.size()) > kMaxFirmwareFileSize) {
      return LoadFailure{LoadProblem::kTooLarge, static_cast<std::int64_t>(loaded.bytes.size())};
    }
    if (read.error) return LoadFailure{LoadProblem::kReadError, size};
    if (read.count == 0) break;
  }
  Sha256 digest;
  digest.Update(loaded.bytes);
  loaded.sha256 = digest.Finish();
  return loaded;
}

std::string LoadFailureText(const LoadFailure& failure) {
  switch (failure.problem) {
    case LoadProblem::kNotOpened:
      return "The file could not be opened.";
    case LoadProblem::kReadError:
      return "The file could not be read.";
    case LoadProblem::kTooLarge:
      return "The file holds more than " + std::to_string(kMaxFirmwareFileSize / (1024 * 1024)) +
             " MiB; no meter firmware is that large.";
  }
  return {};
}

}  // namespace quorvel
