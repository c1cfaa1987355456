#pragma once
// The firmware file as the operator names it, made into what the update
// opens: a full path in UTF-8 (the form Windows needs for names outside
// ASCII) to a regular file that can be opened for reading now.
#include <string>

#include "firmware/file_source.h"

namespace quorvel {

enum class FirmwarePathProblem {
  kNone,
  kUnresolvable,  // no full path could be made of the name
  kUnreadable,    // not a regular file, or it does not open (another program writes it)
};

struct FirmwarePath {
  std::string path{};  // the full path; the name as given when it could not be resolved
  FirmwarePathProblem problem = FirmwarePathProblem::kNone;
};

FirmwarePath ResolveFirmwarePath(const std::string& file, FileSystem& files);

}  // namespace quorvel
