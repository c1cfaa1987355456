// Cut at every moment, through the sim backend in virtual time: the update of
// a small image and of a small package, its meter cut off (or Ctrl+C pressed)
// before each VISA call in turn, must never claim more than happened.
#include "replay/cut_bench.h"

#include "sim/sim_visa.h"

namespace quorvel::testing {
namespace {

class SimWorld final : public MeterWorld {
 public:
  SimWorld() : sim_(SimConfig{}, clock_) {}
  VisaLibrary& visa() override { return sim_; }
  Clock& clock() override { return clock_; }
  std::string resource() override { return meter().resourceName(); }
  void PullPlug() override { meter().PullPlug(); }
  bool Switched() override {
    const auto& timeline = meter().timeline();
    return std::any_of(timeline.begin(), timeline.end(), [](const TimelineEvent& event) {
      return event.kind == TimelineKind::Write && event.text().starts_with("system:update");
    });
  }
  std::size_t InstalledImages() override { return meter().installedImages().size(); }

 private:
  SimMeter& meter() { return sim_.meter(0); }

  VirtualClock clock_;
  SimVisa sim_;
};

class CutEverywhereOnSim : public ::testing::TestWithParam<CutScenario> {};

TEST_P(CutEverywhereOnSim, NoClaimGoesBeyondWhatTheMeterWentThrough) {
  CheckEveryInterruption([] { return std::make_unique<SimWorld>(); }, GetParam().file(),
                         GetParam().interruption);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CutEverywhereOnSim, ::testing::ValuesIn(kCutScenarios),
                         CutScenarioName);

}  // namespace
}  // namespace quorvel::testing
