#include "history/attempt_record.h"

#include "history/sha256.h"
#include "update/update_procedures.h"
#include "visa/resource_filter_visa.h"

namespace quorvel {

std::string_view UpdateOutcomeName(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::kInstalled: return "installed";
    case UpdateOutcome::kUnconfirmed: return "unconfirmed";
    case UpdateOutcome::kRediscovered:
    case UpdateOutcome::kNoMeter: return "no meter";
    case UpdateOutcome::kWrongMode: return "wrong mode";
    case UpdateOutcome::kChooserCancelled:
    case UpdateOutcome::kStopped: return "stopped";
    case UpdateOutcome::kFileNotOpened:
    case UpdateOutcome::kFileRefused: return "file refused";
    case UpdateOutcome::kTransferFailed: return "transfer failed";
  }
  return "unknown";
}

bool IsRecordedAttempt(UpdateOutcome outcome) {
  return outcome != UpdateOutcome::kRediscovered && outcome != UpdateOutcome::kWrongMode &&
         outcome != UpdateOutcome::kChooserCancelled;
}

bool RecordSelectAttempt(UpdateHistory& history, const HistoryOrigin& origin,
                         const UpdateReport& report, FileSystem& files, const std::string& path,
                         std::string reason, std::string* error) {
  if (!IsRecordedAttempt(report.outcome)) return true;
  HistoryRecord record =
      MakeAttemptRecord(origin, files, path, report.resource, report.identityBefore, report);
  record.outcome = std::string(UpdateOutcomeName(report.outcome));
  record.reason = std::move(reason);
  return history.Append(record, error);
}

HistoryRecord MakeAttemptRecord(const HistoryOrigin& origin, FileSystem& files,
                                const std::string& path, std::string resource,
                                std::string identityBefore, const UpdateReport& report) {
  HistoryRecord record;
  record.time = HistoryTimeNow();
  record.tool = origin.tool;
  record.toolVersion = origin.toolVersion;
  record.backend = origin.backend;
  record.serial = SerialOfResource(resource);
  record.resource = std::move(resource);
  record.identityBefore = std::move(identityBefore);
  record.fileName = SplitPath(path).second;
  if (!report.fileSha256.empty()) {
    record.fileSize = report.fileSize;
    record.fileSha256 = report.fileSha256;
  } else if (const auto digest = DigestFile(files, path)) {
    record.fileSize = digest->size;
    record.fileSha256 = digest->sha256;
  }
  return record;
}

}  // namespace quorvel
