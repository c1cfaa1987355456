#pragma once
// What the history records about an update attempt, gathered without asking
// the meter anything extra: the program, the meter's resource and the
// identity it gave, the file, the outcome.
#include <map>
#include <mutex>
#include <string>

#include "history/update_history.h"
#include "update/update_procedures.h"
#include "visa/forwarding_visa.h"

namespace quorvel {

class FileSystem;

// The program that writes a record.
struct HistoryOrigin {
  std::string tool{};
  std::string toolVersion{};
  std::string backend{};
};

// Sits between a procedure and the VISA library and notes the resource it
// opened last and the first identity reply it read.
class AttemptWitness final : public ForwardingVisaLibrary {
 public:
  using ForwardingVisaLibrary::ForwardingVisaLibrary;

  ViStatus viOpen(ViSession resourceManager, const ViChar* resourceName, ViAccessMode accessMode,
                  ViUInt32 openTimeout, ViSession* session) override;
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override;

  std::string resource() const;
  std::string identity() const;
  // Starts afresh for the next attempt.
  void Forget();

 private:
  mutable std::mutex mutex_;
  std::string resource_;
  std::string identity_;
  std::map<ViSession, bool> askedIdentity_;
};

// "installed", "transfer failed", ...: an outcome as reports and the history name it.
std::string_view UpdateOutcomeName(UpdateOutcome outcome);

// A press of Select that chose no file, or met a meter in update mode,
// attempted nothing and leaves no record.
bool IsRecordedAttempt(UpdateOutcome outcome);

// A record of one attempt; the file's size and SHA-256 are read from `path`.
HistoryRecord MakeAttemptRecord(const HistoryOrigin& origin, FileSystem& files,
                                const std::string& path, std::string resource,
                                std::string identityBefore);

// Records one press of Select that attempted an update, as the witness saw it.
// True when there was nothing to record or it was stored.
bool RecordSelectAttempt(UpdateHistory& history, const HistoryOrigin& origin,
                         const AttemptWitness& witness, FileSystem& files,
                         const std::string& path, UpdateOutcome outcome, std::string reason,
                         std::string* error);

}  // namespace quorvel
