#pragma once
// The update history in memory, for tests; safe to append from several workers.
#include <mutex>
#include <vector>

#include "history/update_history.h"

namespace quorvel::testing {

class MemoryHistory final : public UpdateHistory {
 public:
  bool Append(const HistoryRecord& record, std::string*) override {
    const std::lock_guard lock(mutex_);
    records_.push_back(record);
    return true;
  }
  HistoryListing Read() override {
    const std::lock_guard lock(mutex_);
    return {.records = records_, .warnings = {}};
  }

 private:
  std::mutex mutex_;
  std::vector<HistoryRecord> records_;
};

}  // namespace quorvel::testing
