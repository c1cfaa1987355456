#include "history/attempt_witness.h"

#include <algorithm>

#include "visa/resource_filter_visa.h"
#include "history/sha256.h"
#include "update/update_procedures.h"
#include "visa/handle_table.h"
#include "visa/text_case.h"

namespace quorvel {

namespace {

// Longer names and replies are not ours to keep whole.
constexpr std::size_t kMaxKept = 256;

bool IsIdentityQuery(const ViByte* buffer, ViUInt32 count) {
  if (buffer == nullptr || count > 16) return false;
  std::string_view text(reinterpret_cast<const char*>(buffer), count);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return EqualsIgnoringCase(text, "*idn?");
}

}  // namespace

ViStatus AttemptWitness::viOpen(ViSession resourceManager, const ViChar* resourceName,
                                ViAccessMode accessMode, ViUInt32 openTimeout,
                                ViSession* session) {
  const ViStatus status =
      inner_.viOpen(resourceManager, resourceName, accessMode, openTimeout, session);
  if (ViSucceeded(status)) {
    if (const auto name = BoundedCString(resourceName, kMaxKept)) {
      const std::lock_guard lock(mutex_);
      resource_ = std::string(*name);
    }
  }
  return status;
}

ViStatus AttemptWitness::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                                 ViUInt32* returnCount) {
  {
    const std::lock_guard lock(mutex_);
    askedIdentity_[session] = IsIdentityQuery(buffer, count);
  }
  return inner_.viWrite(session, buffer, count, returnCount);
}

ViStatus AttemptWitness::viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                                ViUInt32* returnCount) {
  ViUInt32 received = 0;
  const ViStatus status = inner_.viRead(session, buffer, count, &received);
  if (returnCount != nullptr) *returnCount = received;
  const std::lock_guard lock(mutex_);
  if (askedIdentity_[session] && identity_.empty() && buffer != nullptr) {
    const std::size_t kept = std::min<std::size_t>({received, count, kMaxKept});
    identity_.assign(reinterpret_cast<const char*>(buffer), kept);
    identity_.erase(std::find(identity_.begin(), identity_.end(), '\0'), identity_.end());
    while (!identity_.empty() && (identity_.back() == '\n' || identity_.back() == '\r')) {
      identity_.pop_back();
    }
  }
  askedIdentity_[session] = false;
  return status;
}

std::string AttemptWitness::resource() const {
  const std::lock_guard lock(mutex_);
  return resource_;
}

std::string AttemptWitness::identity() const {
  const std::lock_guard lock(mutex_);
  return identity_;
}

void AttemptWitness::Forget() {
  const std::lock_guard lock(mutex_);
  resource_.clear();
  identity_.clear();
  askedIdentity_.clear();
}

std::string_view UpdateOutcomeName(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::kInstalled: return "installed";
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
                         const AttemptWitness& witness, FileSystem& files,
                         const std::string& path, UpdateOutcome outcome, std::string reason,
                         std::string* error) {
  if (!IsRecordedAttempt(outcome)) return true;
  HistoryRecord record =
      MakeAttemptRecord(origin, files, path, witness.resource(), witness.identity());
  record.outcome = std::string(UpdateOutcomeName(outcome));
  record.reason = std::move(reason);
  return history.Append(record, error);
}

HistoryRecord MakeAttemptRecord(const HistoryOrigin& origin, FileSystem& files,
                                const std::string& path, std::string resource,
                                std::string identityBefore) {
  HistoryRecord record;
  record.time = HistoryTimeNow();
  record.tool = origin.tool;
  record.toolVersion = origin.toolVersion;
  record.backend = origin.backend;
  record.serial = SerialOfResource(resource);
  record.resource = std::move(resource);
  record.identityBefore = std::move(identityBefore);
  record.fileName = SplitPath(path).second;
  if (const auto digest = DigestFile(files, path)) {
    record.fileSize = digest->size;
    record.fileSha256 = digest->sha256;
  }
  return record;
}

}  // namespace quorvel
