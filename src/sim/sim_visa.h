#pragma once
// The `sim` VISA backend: the simulated meters behind the VISA operations.
// This class does the session bookkeeping and the waiting (on the clock);
// what a meter answers is SimMeter's business.
//
// Several threads may use it at once (one per meter in a fleet update): one
// lock covers the handles and the meters, and is never held while a call
// waits, so each meter's exchanges keep their own pace. The clock it is given
// must be safe to read from several threads (the real ones are; VirtualClock
// is for one thread).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/clock.h"
#include "sim/sim_config.h"
#include "sim/sim_meter.h"
#include "visa/handle_table.h"
#include "visa/visa_library.h"

namespace quorvel {

class SimVisa : public VisaLibrary {
 public:
  SimVisa(SimConfig config, Clock& clock);
  SimVisa(const SimVisa&) = delete;
  SimVisa& operator=(const SimVisa&) = delete;

  ViStatus viOpenDefaultRM(ViSession* resourceManager) override;
  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viOpen(ViSession resourceManager, const ViChar* resourceName, ViAccessMode accessMode,
                  ViUInt32 openTimeout, ViSession* session) override;
  ViStatus viClose(ViObject object) override;
  ViStatus viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) override;
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override;
  ViStatus viClear(ViSession session) override;
  bool ServesSimulatedMeter() const override { return true; }

  // For tests. No meters at all with `absent=1`.
  std::size_t meterCount() const { return meters_.size(); }
  SimMeter& meter(std::size_t index) { return *meters_.at(index); }
  const SimConfig& config() const { return config_; }
  void ReuseLowestFreeHandles() { handles_.ReuseLowestFreeHandles(); }
  int OpenHandleCount() const {
    const std::lock_guard lock(mutex_);
    return handles_.OpenHandleCount();
  }

 private:
  struct Connection {
    std::size_t meterIndex = 0;
    std::uint64_t generation = 0;  // the meter's, when the session was opened
  };

  // The meter behind a session that is still connected to it; null otherwise.
  SimMeter* ConnectedMeter(const Connection& connection);
  // Opens, checks and resolves a session handle for I/O: INV_OBJECT or
  // CONN_LOST when it cannot be used.
  ViStatus Resolve(ViSession session, SimMeter** meter, Millis* timeout);

  SimConfig config_;
  Clock& clock_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<SimMeter>> meters_;
  HandleTable<Connection> handles_;
};

}  // namespace quorvel
