#pragma once
// What a firmware file holds and which of the update's checks it passes:
// from the file alone its signature, target and layout; against a meter's
// identity its version too. `info` shows it, and a refusal before the
// switch names its cause from it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/file_source.h"
#include "firmware/image_header.h"

namespace quorvel {

struct HeaderFacts {
  std::string signature;  // makerSignature as stored
  std::string version;    // imageVersion as stored
  int functionId = 0;
  std::string target;  // "DSP", "Panel", "MSP 430"; empty when unknown
  bool packageSignature = false;  // the signature passes the package path's rule
};

struct CheckResult {
  std::string name;
  bool passed = false;
  std::string detail;
};

struct CheckGroup {
  std::string name;
  std::vector<CheckResult> checks;
  bool passed() const;
};

struct EntryFacts {
  int index = 0;  // 1-based
  std::int32_t offset = 0;
  std::int32_t size = 0;
  std::string name;
  std::optional<HeaderFacts> header;  // where the image starts with one
};

enum class FileKind { kImage, kPackage };

struct FileReport {
  std::string path;
  FileKind kind = FileKind::kImage;
  std::int64_t size = 0;
  // Image: its header and payload.
  std::optional<HeaderFacts> header;
  std::int64_t payloadSize = 0;
  // Package: the directory and the entries that lie inside the file.
  std::int32_t entryCount = 0;
  std::vector<EntryFacts> entries;
  int entriesLeftOut = 0;  // entries not listed to keep the report readable
  int examinedEntry = 0;   // the entry whose header the update checks
  std::vector<CheckGroup> groups;
  std::string meter;  // the meter the file was judged against (its last group); empty if none
  bool passed() const;
};

// The update takes a file whose name ends in ".pak" (exactly, case included)
// as a package and every other file as a single image; so does `info`.
FileKind KindOfFileName(const std::string& path);

// Reads and judges the file. Nothing when it cannot be opened.
std::optional<FileReport> InspectFirmwareFile(FileSystem& files, const std::string& path);

// Judges the file against a meter's identity with the update's own rules
// (the version included) and adds the result as the report's last group.
void AddMeterCheck(FileReport& report, FileSystem& files, const std::string& meterResource,
                   const MeterVersions& versions);

// Why the update refuses the file at `path` for a meter with `versions`, as
// `info` words it; nothing when it would take it or cannot open it.
std::optional<std::string> RefusalCause(FileSystem& files, const std::string& path,
                                        const MeterVersions& versions);

// The first check the file failed, as `info` words it ("\"NOTUS\" is not the
// maker's signature"); nothing when it passed every one.
std::optional<std::string> FirstFailure(const FileReport& report);

}  // namespace quorvel
