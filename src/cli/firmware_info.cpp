#include "cli/firmware_info.h"

#include <sstream>

#include "common/printable_text.h"

namespace quorvel::cli {

namespace {

std::string Quoted(std::string_view text) { return "\"" + PrintableField(text) + "\""; }

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
