#pragma once
// What the history records about an update attempt, taken from its report
// without asking the meter anything extra: the program, the meter's resource
// and the identity it gave, the file, the outcome.
#include <string>

#include "history/update_history.h"
#include "update/update_procedures.h"

namespace quorvel {

class FileSystem;

// The program that writes a record.
struct HistoryOrigin {
  std::string tool{};
  std::string toolVersion{};
  std::string backend{};
};

// "installed", "transfer failed", ...: an outcome as reports and the history name it.
std::string_view UpdateOutcomeName(UpdateOutcome outcome);

// A press of Select that chose no file, or met a meter in update mode,
// attempted nothing and leaves no record.
bool IsRecordedAttempt(UpdateOutcome outcome);

// A record of one attempt. The file's size and SHA-256 are those of the bytes
// the update sent when `report` names them (no file is read again, so a stop
// never waits for hashing); otherwise they are read from `path`.
HistoryRecord MakeAttemptRecord(const HistoryOrigin& origin, FileSystem& files,
                                const std::string& path, std::string resource,
                                std::string identityBefore, const UpdateReport& report);

// Records one press of Select that attempted an update, as its report tells
// it. True when there was nothing to record or it was stored.
bool RecordSelectAttempt(UpdateHistory& history, const HistoryOrigin& origin,
                         const UpdateReport& report, FileSystem& files, const std::string& path,
                         std::string reason, std::string* error);

}  // namespace quorvel
