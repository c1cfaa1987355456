#include "cli/firmware_info.h"

#include <algorithm>
#include <sstream>

#include "cli/text_output.h"
#include "common/json_text.h"
#include "firmware/image_header.h"
#include "firmware/package.h"
#include "firmware/package_check.h"
#include "update/file_check.h"

namespace quorvel::cli {

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

// ---- text ----

std::string HeaderLine(const HeaderFacts& header) {
  std::ostringstream line;
  line << "signature " << Quoted(header.signature) << ", version " << Quoted(header.version)
       << ", target " << (header.target.empty() ? "unknown" : header.target) << " (function ID "
       << header.functionId << ")";
  return line.str();
}

void RenderEntriesText(std::ostream& out, const FileReport& report) {
  if (report.entries.empty()) return;
  out << "Entries:\n";
  for (const EntryFacts& entry : report.entries) {
    out << "  " << entry.index << ": offset " << entry.offset << ", size " << entry.size
        << ", name " << Quoted(entry.name) << '\n';
    if (entry.header) out << "     header: " << HeaderLine(*entry.header) << '\n';
  }
  if (report.entriesLeftOut > 0)
    out << "  (" << report.entriesLeftOut << " more entries not listed)\n";
}

void RenderChecksText(std::ostream& out, const FileReport& report) {
  for (const CheckGroup& group : report.groups) {
    out << '\n' << group.name << ": " << (group.passed() ? "passed" : "FAILED") << '\n';
    for (const CheckResult& check : group.checks) {
      out << "  " << check.name << ": " << (check.passed ? "ok" : "FAILED") << " - " << check.detail
          << '\n';
    }
  }
}

// ---- JSON ----

Json HeaderJson(const std::optional<HeaderFacts>& header) {
  if (!header) return nullptr;
  return {{"signature", JsonString(header->signature)},
          {"version", JsonString(header->version)},
          {"functionId", header->functionId},
          {"target", header->target.empty() ? Json() : JsonString(header->target)}};
}

void AddEntriesJson(Json& json, const FileReport& report) {
  json["entryCount"] = report.entryCount;
  json["examinedEntry"] = report.examinedEntry;
  Json entries = Json::array();
  for (const EntryFacts& entry : report.entries) {
    entries.push_back({{"index", entry.index},
                       {"offset", entry.offset},
                       {"size", entry.size},
                       {"name", JsonString(entry.name)},
                       {"header", HeaderJson(entry.header)}});
  }
  json["entries"] = std::move(entries);
  json["entriesLeftOut"] = report.entriesLeftOut;
}

Json ChecksJson(const FileReport& report) {
  Json groups = Json::array();
  for (const CheckGroup& group : report.groups) {
    Json checks = Json::array();
    for (const CheckResult& check : group.checks) {
      checks.push_back({{"name", check.name},
                        {"passed", check.passed},
                        {"detail", JsonString(check.detail)}});
    }
    groups.push_back(
        {{"name", group.name}, {"passed", group.passed()}, {"checks", std::move(checks)}});
  }
  return groups;
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

std::string RenderReportText(const FileReport& report) {
  std::ostringstream out;
  // What was checked comes first: the file alone cannot say whether the
  // meter takes its version.
  const std::string_view layout = report.kind == FileKind::kImage ? "header" : "package layout";
  if (!report.meter.empty()) {
    out << "Verdict: the update would " << (report.passed() ? "take" : "refuse")
        << " this file for meter " << PrintableField(report.meter) << " (signature, target, "
        << layout << " and version checked)";
    const CheckResult& judged = report.groups.back().checks.back();
    if (!judged.passed) out << ": " << judged.detail;  // the update's own sentence
    out << (judged.passed ? ".\n\n" : "\n\n");
  } else if (report.passed()) {
    out << "Verdict: signature, target and " << layout
        << " pass. The version check needs a meter: info FILE --resource NAME (or --visa NAME) "
           "judges the file against it.\n\n";
  } else {
    out << "Verdict: the update would refuse this file (signature, target and " << layout
        << " checked).\n\n";
  }
  out << "File:    " << PrintableField(report.path) << '\n';
  out << "Size:    " << report.size << " bytes\n";
  if (report.kind == FileKind::kImage) {
    out << "Kind:    single image\n";
    if (report.header) out << "Header:  " << HeaderLine(*report.header) << '\n';
    out << "Payload: " << report.payloadSize << " bytes\n";
  } else {
    out << "Kind:    package, " << report.entryCount << " entries";
    if (report.examinedEntry > 0)
      out << " (the update checks the header of image " << report.examinedEntry << ")";
    out << '\n';
    RenderEntriesText(out, report);
  }
  RenderChecksText(out, report);
  return out.str();
}

Json ReportJson(const FileReport& report) {
  Json json = {{"file", JsonString(report.path)},
                         {"kind", report.kind == FileKind::kImage ? "image" : "package"},
                         {"size", report.size}};
  if (report.kind == FileKind::kImage) {
    json["header"] = HeaderJson(report.header);
    json["payloadSize"] = report.payloadSize;
  } else {
    AddEntriesJson(json, report);
  }
  json["checkGroups"] = ChecksJson(report);
  json["versionChecked"] = !report.meter.empty();
  json["meter"] = report.meter.empty() ? Json() : JsonString(report.meter);
  json["passed"] = report.passed();
  return json;
}

std::string RenderReportJson(const FileReport& report) { return JsonDocument(ReportJson(report)); }

}  // namespace quorvel::cli
