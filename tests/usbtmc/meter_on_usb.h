#pragma once
// The simulated meter behind the emulated USB bus: the same SimMeter model the
// sim backend drives, reached here through libusb and URBs. A MeterRack plugs
// each meter in while it is on the bus and pulls it out when it leaves, so
// re-enumeration looks to libusb as it does with the real meter.
#include <atomic>
#include <memory>
#include <vector>

#include "common/clock.h"
#include "sim/sim_config.h"
#include "sim/sim_meter.h"
#include "usbtmc/device_profiles.h"
#include "usbtmc/emulated_usb.h"

namespace quorvel::testing {

// One connection generation of a meter as a USBTMC function.
class SimMeterFunction final : public UsbtmcFunction {
 public:
  // `patience` stands for the host's time-out, which a device cannot know:
  // a reply later than that is never sent.
  SimMeterFunction(SimMeter& meter, std::uint64_t generation, Millis patience);

  std::size_t Receive(std::span<const std::uint8_t> payload) override;
  std::optional<Answer> Reply(std::size_t maxBytes) override;
  void Clear() override { meter_.Clear(); }
  bool Present() override;
  void Opened() override { meter_.NoteOpened(); }
  void Closed() override { meter_.NoteClosed(); }

 private:
  SimMeter& meter_;
  std::uint64_t generation_;
  Millis patience_;
};

class MeterRack {
 public:
  // With a `profile`, every device the rack plugs in misbehaves as it says.
  MeterRack(EmulatedUsbBus& bus, SimConfig config, Clock& meterClock,
            Millis patience = Millis{20000}, const DeviceProfile* profile = nullptr);
  // Pulls out the meters' devices, which must not outlive the meters.
  ~MeterRack();
  MeterRack(const MeterRack&) = delete;
  MeterRack& operator=(const MeterRack&) = delete;

  // Plugs in meters that are on the bus and pulls out those that left.
  void Sync();

  std::size_t meterCount() const { return meters_.size(); }
  SimMeter& meter(std::size_t index) { return *meters_.at(index); }
  // The meter's device while it is plugged in, else null. Under the bus lock.
  EmulatedDevice* device(std::size_t index) { return slots_.at(index).device; }
  EmulatedUsbBus& bus() { return bus_; }

 private:
  struct Slot {
    EmulatedDevice* device = nullptr;
    std::uint64_t generation = 0;
  };

  DeviceIdentity IdentityOf(SimMeter& meter) const;

  EmulatedUsbBus& bus_;
  SimConfig config_;
  Millis patience_;
  const DeviceProfile* profile_;
  std::vector<std::unique_ptr<SimMeter>> meters_;
  std::vector<Slot> slots_;
};

// Real time, except that waits pass `factor` times faster; the skipped time is
// added to Now(), so the meter sees every wait at its full length. Pumped
// waits of up to `realTimeLimit` stay real: those are the gaps before data
// frames, so with a limit of 150 ms their pacing is checked as it really
// happens while the seconds of settling around them fly by.
class ScaledClock final : public Clock {
 public:
  ScaledClock(int factor, Millis realTimeLimit) : factor_(factor), realTimeLimit_(realTimeLimit) {}

  Millis Now() const override;
  void Sleep(Millis duration) override;
  void WaitUntil(Millis deadline, const std::function<void()>& pump) override;
  void PumpedWait(Millis duration, const std::function<void()>& pump) override;

 private:
  int factor_;
  Millis realTimeLimit_;
  SteadyClock real_;
  std::atomic<Millis::rep> skipped_{0};
};

// The procedures' clock: after every wait the rack follows the meters, as the
// bus would have while the host slept.
class RackFollowingClock final : public Clock {
 public:
  RackFollowingClock(Clock& inner, MeterRack& rack) : inner_(inner), rack_(rack) {}
  Millis Now() const override { return inner_.Now(); }
  void Sleep(Millis duration) override;
  void WaitUntil(Millis deadline, const std::function<void()>& pump) override;
  void PumpedWait(Millis duration, const std::function<void()>& pump) override;

 private:
  Clock& inner_;
  MeterRack& rack_;
};

}  // namespace quorvel::testing
