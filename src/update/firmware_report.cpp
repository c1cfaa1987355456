#include "update/firmware_report.h"

#include <algorithm>

#include "common/printable_text.h"
#include "firmware/image_header.h"
#include "firmware/package.h"
#include "firmware/package_check.h"
#include "update/file_check.h"

namespace quorvel {

namespace {

// A report lists this many package entries at most; a damaged directory can
// claim millions.
constexpr std::size_t kMostEntriesListed = 100;
// A meter reporting "02.xx" takes any image, so judging a header against it
// tests the maker signature alone.
const MeterVersions kMeterTakingAnyImage{std::string(kAnyImageVersion),
                                         std::string(kAnyImageVersion) + ".00.00"};

HeaderFacts FactsOf(const ImageHeader& header) {
  return {header.makerSignature(), header.imageVersion(), header.functionId(),
          std::string(TargetName(header.functionId())), PackageSignatureMatches(header)};
}

std::string Quoted(std::string_view text) { return "\"" + PrintableField(text) + "\""; }

CheckResult TargetCheck(const HeaderFacts& facts) {
  if (facts.target.empty()) {
    return {"target", false, "unknown function ID " + std::to_string(facts.functionId)};
  }
  return {"target", true, facts.target};
}

CheckResult SignatureCheck(std::string_view signature, bool passed) {
  return {"signature", passed,
          passed ? Quoted(signature) : Quoted(signature) + " is not the maker's signature"};
}

// The single-image path's signature rule: the whole signature field up to its
// NUL must read "NAVIR".
CheckResult ImageSignatureCheck(const ImageHeader& header) {
  const bool passed =
      JudgeImageHeader(header, kMeterTakingAnyImage) != HeaderVerdict::kRefuseSignature;
  return SignatureCheck(header.makerSignature(), passed);
}

CheckGroup ImageFileChecks(std::int64_t size) {
  CheckGroup group{"file", {}};
  const auto headerSize = static_cast<std::int64_t>(kImageHeaderSize);
  if (size >= headerSize) {
    group.checks.push_back({"header", true, "the 50-byte header is complete"});
  } else {
    group.checks.push_back(
        {"header", false, "the file holds " + std::to_string(size) + " of the header's 50 bytes"});
  }
  if (size > headerSize) {
    group.checks.push_back({"payload", true, std::to_string(size - headerSize) + " bytes"});
  } else {
    group.checks.push_back({"payload", false, "no payload: the meter refuses an empty image"});
  }
  return group;
}

FileReport InspectImage(FirmwareFile& file, const std::string& path) {
  FileReport report;
  report.path = path;
  report.kind = FileKind::kImage;
  report.size = std::max<std::int64_t>(file.Size(), 0);
  const ImageHeader header = ReadImageHeader(file, 0);
  report.header = FactsOf(header);
  report.payloadSize = std::max<std::int64_t>(report.size - kImageHeaderSize, 0);
  report.groups.push_back(ImageFileChecks(report.size));
  report.groups.push_back(
      {"image checks", {ImageSignatureCheck(header), TargetCheck(*report.header)}});
  return report;
}

bool StartsInsideFile(const PackageEntry& entry, std::int64_t fileSize) {
  return entry.imageOffset >= 0 && entry.imageOffset < fileSize;
}

EntryFacts FactsOfEntry(FirmwareFile& file, const PackageEntry& entry, int index,
                        std::int32_t examined, std::int64_t fileSize) {
  EntryFacts facts{index, entry.imageOffset, entry.imageSize, entry.name(), std::nullopt};
  if (!StartsInsideFile(entry, fileSize)) return facts;
  const HeaderFacts header = FactsOf(ReadImageHeader(file, entry.imageOffset));
  // Image 1 and the examined image must start with a header; others may.
  if (index == 1 || index == examined || header.packageSignature) facts.header = header;
  return facts;
}

CheckGroup PackageHeaderChecks(const FileReport& report) {
  if (report.examinedEntry < 1) {
    return {"package checks", {{"header", false, "the package lists no images"}}};
  }
  CheckGroup group{"package checks (image " + std::to_string(report.examinedEntry) + ")", {}};
  const auto examined =
      std::find_if(report.entries.begin(), report.entries.end(),
                   [&](const EntryFacts& entry) { return entry.index == report.examinedEntry; });
  if (examined == report.entries.end() || !examined->header) {
    group.checks.push_back({"header", false, "not examined: the package is damaged"});
    return group;
  }
  const HeaderFacts& header = *examined->header;
  group.checks.push_back(SignatureCheck(header.signature, header.packageSignature));
  group.checks.push_back(TargetCheck(header));
  return group;
}

FileReport InspectPackage(FirmwareFile& file, const std::string& path) {
  FileReport report;
  report.path = path;
  report.kind = FileKind::kPackage;
  PackageLayout layout;
  const PackageCheck damage = CheckPackageFile(file, &layout);
  report.size = std::max<std::int64_t>(layout.fileSize, 0);
  report.entryCount = layout.directory.entryCount;
  report.examinedEntry =
      ExaminedPackageEntry(report.entryCount);

  const std::size_t listed = std::min(layout.entries.size(), kMostEntriesListed);
  for (std::size_t i = 0; i < listed; ++i) {
    report.entries.push_back(FactsOfEntry(file, layout.entries[i], static_cast<int>(i + 1),
                                          report.examinedEntry, report.size));
  }
  // The examined entry is always listed, even in a long package.
  const auto examined = static_cast<std::size_t>(std::max(report.examinedEntry, 0));
  if (examined > listed && examined <= layout.entries.size()) {
    report.entries.push_back(FactsOfEntry(file, layout.entries[examined - 1], report.examinedEntry,
                                          report.examinedEntry, report.size));
  }
  report.entriesLeftOut = static_cast<int>(layout.entries.size() - report.entries.size());

  report.groups.push_back({"damaged-package check", {{"layout", damage.ok(), damage.Describe()}}});
  report.groups.push_back(PackageHeaderChecks(report));
  return report;
}

}  // namespace

bool CheckGroup::passed() const {
  return std::all_of(checks.begin(), checks.end(), [](const CheckResult& c) { return c.passed; });
}

bool FileReport::passed() const {
  return std::all_of(groups.begin(), groups.end(), [](const CheckGroup& g) { return g.passed(); });
}

FileKind KindOfFileName(const std::string& path) {
  return NamesPackage(path) ? FileKind::kPackage : FileKind::kImage;
}

std::optional<std::string> FirstFailure(const FileReport& report) {
  for (const CheckGroup& group : report.groups) {
    for (const CheckResult& check : group.checks) {
      if (!check.passed) return check.detail;
    }
  }
  return std::nullopt;
}

std::optional<FileReport> InspectFirmwareFile(FileSystem& files, const std::string& path) {
  const auto file = files.OpenForReading(path);
  if (!file) return std::nullopt;
  return KindOfFileName(path) == FileKind::kPackage ? InspectPackage(*file, path)
                                                    : InspectImage(*file, path);
}

void AddMeterCheck(FileReport& report, FileSystem& files, const std::string& meterResource,
                   const MeterVersions& versions) {
  report.meter = meterResource;
  const auto refusal = CheckFileAgainstMeter(files, report.path, versions);
  CheckGroup group{"against the meter (versions " + PrintableField(versions.tail) + ")", {}};
  if (refusal) {
    std::string text = refusal->text;
    std::replace(text.begin(), text.end(), '\n', ' ');
    group.checks.push_back({"update", false, PrintableField(text)});
  } else {
    group.checks.push_back({"update", true, "the meter would take this file, its version included"});
  }
  report.groups.push_back(std::move(group));
}

std::optional<std::string> RefusalCause(FileSystem& files, const std::string& path,
                                        const MeterVersions& versions) {
  std::optional<FileReport> report = InspectFirmwareFile(files, path);
  if (!report) return std::nullopt;
  AddMeterCheck(*report, files, {}, versions);
  return FirstFailure(*report);
}

}  // namespace quorvel
