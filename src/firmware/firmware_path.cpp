#include "firmware/firmware_path.h"

#include <filesystem>

#include "common/utf8_path.h"

namespace quorvel {

FirmwarePath ResolveFirmwarePath(const std::string& file, FileSystem& files) {
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(PathFromUtf8(file), error);
  if (error) return {file, FirmwarePathProblem::kUnresolvable};
  FirmwarePath result{Utf8FromPath(full)};
  // Checked before opening: opening a FIFO for reading would wait for a writer
  // forever. Opened as the update will open it, so a file that another
  // program is writing is refused here too.
  if (!std::filesystem::is_regular_file(full, error) ||
      !files.OpenForReading(result.path, FileShare::kReadOnly)) {
    result.problem = FirmwarePathProblem::kUnreadable;
  }
  return result;
}

}  // namespace quorvel
