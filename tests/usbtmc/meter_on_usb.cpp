#include "usbtmc/meter_on_usb.h"

#include <algorithm>
#include <thread>

namespace quorvel::testing {

SimMeterFunction::SimMeterFunction(SimMeter& meter, std::uint64_t generation, Millis patience)
    : meter_(meter), generation_(generation), patience_(patience) {}

std::size_t SimMeterFunction::Receive(std::span<const std::uint8_t> payload) {
  const WriteResult result = meter_.Receive(payload);
  return result.delivered ? result.taken : 0;
}

std::optional<UsbtmcFunction::Answer> SimMeterFunction::Reply(std::size_t maxBytes) {
  ReadResult result = meter_.Reply(maxBytes, patience_);
  if (result.outcome != ReadOutcome::Answered) return std::nullopt;
  return Answer{.bytes = std::move(result.bytes), .more = result.more, .delay = result.waited};
}

bool SimMeterFunction::Present() {
  return meter_.IsPresent() && meter_.generation() == generation_;
}

MeterRack::MeterRack(EmulatedUsbBus& bus, SimConfig config, Clock& meterClock, Millis patience,
                     const DeviceProfile* profile)
    : bus_(bus), config_(std::move(config)), patience_(patience), profile_(profile) {
  const std::size_t count = config_.absent ? 0 : config_.meters;
  for (std::size_t i = 0; i < count; ++i) {
    meters_.push_back(std::make_unique<SimMeter>(config_, i, meterClock));
  }
  slots_.resize(count);
  Sync();
}

MeterRack::~MeterRack() {
  for (Slot& slot : slots_) {
    if (slot.device) bus_.Unplug(*slot.device);
  }
}

void MeterRack::Sync() {
  for (std::size_t i = 0; i < meters_.size(); ++i) {
    bool present = false;
    std::uint64_t generation = 0;
    bool pluggedCurrent = false;
    {
      const auto lock = bus_.Lock();
      present = meters_[i]->IsPresent();
      generation = meters_[i]->generation();
      pluggedCurrent = slots_[i].device && slots_[i].generation == generation;
    }
    if (slots_[i].device && (!present || !pluggedCurrent)) {
      bus_.Unplug(*slots_[i].device);
      slots_[i].device = nullptr;
    }
    if (present && !slots_[i].device) {
      auto function = std::make_shared<SimMeterFunction>(*meters_[i], generation, patience_);
      EmulatedDevice& device = bus_.Plug(IdentityOf(*meters_[i]), function, static_cast<int>(i) + 1);
      if (profile_) {
        const auto lock = bus_.Lock();
        device.faults = profile_->faults;
      }
      slots_[i] = {&device, generation};
    }
  }
}

DeviceIdentity MeterRack::IdentityOf(SimMeter& meter) const {
  DeviceIdentity identity;
  const auto lock = bus_.Lock();
  identity.serial = meter.serial();
  if (!profile_) return identity;
  identity.maxPacket = profile_->maxPacket;
  identity.speedMbps = profile_->speedMbps;
  if (profile_->updateModeProductId && meter.mode() == SimMode::Update)
    identity.productId = *profile_->updateModeProductId;
  return identity;
}

Millis ScaledClock::Now() const { return real_.Now() + Millis{skipped_.load()}; }

void ScaledClock::Sleep(Millis duration) {
  const Millis shortened = duration / factor_;
  real_.Sleep(shortened);
  skipped_ += (duration - shortened).count();
}

void ScaledClock::WaitUntil(Millis deadline, const std::function<void()>& pump) {
  if (pump) pump();
  const Millis wait = std::max(Millis{0}, deadline - Now());
  if (wait <= realTimeLimit_) {
    real_.WaitUntil(real_.Now() + wait, pump);
  } else {
    Sleep(wait);
  }
  if (pump) pump();
}

void ScaledClock::PumpedWait(Millis duration, const std::function<void()>& pump) {
  if (duration <= realTimeLimit_) {
    real_.PumpedWait(duration, pump);  // exact in real time, like the real clock
  } else {
    WaitUntil(Now() + duration, pump);
  }
}

void RackFollowingClock::Sleep(Millis duration) {
  inner_.Sleep(duration);
  rack_.Sync();
}

void RackFollowingClock::WaitUntil(Millis deadline, const std::function<void()>& pump) {
  inner_.WaitUntil(deadline, pump);
  rack_.Sync();
}

void RackFollowingClock::PumpedWait(Millis duration, const std::function<void()>& pump) {
  inner_.PumpedWait(duration, pump);
  rack_.Sync();
}

}  // namespace quorvel::testing
