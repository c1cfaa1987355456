// Cut at every moment, through the usbtmc backend and libusb against the meter
// on the emulated USB bus: a pulled cable is a device that leaves the bus
// with its transfers failing, as a real one does. Waits run a thousand times
// faster than real time.
#include "replay/cut_bench.h"

#include "usbtmc/meter_on_usb.h"
#include "visa/usbtmc/usbtmc_visa.h"

namespace quorvel::testing {
namespace {

class UsbWorld final : public MeterWorld {
 public:
  UsbWorld() : bus_(clock_), rack_(bus_, SimConfig{}, clock_), procedureClock_(clock_, rack_) {
    std::string error;
    visa_ = UsbtmcVisa::Create(&error);
    EXPECT_TRUE(visa_) << error;
  }
  VisaLibrary& visa() override { return *visa_; }
  Clock& clock() override { return procedureClock_; }
  std::string resource() override {
    const auto lock = bus_.Lock();
    return rack_.meter(0).resourceName();
  }
  void PullPlug() override {
    {
      const auto lock = bus_.Lock();
      rack_.meter(0).PullPlug();
    }
    rack_.Sync();
  }
  bool Switched() override {
    const auto lock = bus_.Lock();
    const auto& timeline = rack_.meter(0).timeline();
    return std::any_of(timeline.begin(), timeline.end(), [](const TimelineEvent& event) {
      return event.kind == TimelineKind::Write && event.text().starts_with("system:update");
    });
  }
  std::size_t InstalledImages() override {
    const auto lock = bus_.Lock();
    return rack_.meter(0).installedImages().size();
  }

 private:
  ScaledClock clock_{1000, Millis{0}};
  EmulatedUsbBus bus_;
  MeterRack rack_;
  RackFollowingClock procedureClock_;
  std::unique_ptr<UsbtmcVisa> visa_;
};

class CutEverywhereOnUsb : public ::testing::TestWithParam<CutScenario> {};

TEST_P(CutEverywhereOnUsb, NoClaimGoesBeyondWhatTheMeterWentThrough) {
  CheckEveryInterruption([] { return std::make_unique<UsbWorld>(); }, GetParam().file(),
                         GetParam().interruption);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CutEverywhereOnUsb, ::testing::ValuesIn(kCutScenarios),
                         CutScenarioName);

}  // namespace
}  // namespace quorvel::testing
