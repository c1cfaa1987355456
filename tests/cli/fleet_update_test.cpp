// The fleet update in one process, against several simulated meters on a
// fast real clock: each meter gets its own frames, paced as a single update
// paces them, and a failing meter changes nothing for the others.
#include "fleet/fleet_update.h"

#include <gtest/gtest.h>

#include <mutex>

#include "common/scaled_clock.h"
#include "firmware/file_source.h"
#include "sim/sim_visa.h"
#include "support/firmware_builder.h"
#include "support/memory_history.h"

namespace quorvel::testing {
namespace {

class CountingObserver final : public FleetObserver {
 public:
  void Line(std::size_t, std::string_view) override {}
  void Progress(std::size_t meter, const ProgressReport& report) override {
    const std::lock_guard lock(mutex_);
    if (!report.finished) ++progress[meter];
  }
  void Finished(std::size_t meter, const UpdateReport&) override {
    const std::lock_guard lock(mutex_);
    ++finished[meter];
  }
  std::mutex mutex_;
  std::map<std::size_t, int> progress;
  std::map<std::size_t, int> finished;
};

std::vector<std::string> TextWrites(const std::vector<TimelineEvent>& timeline) {
  std::vector<std::string> texts;
  for (const TimelineEvent& event : timeline) {
    if (event.kind == TimelineKind::Write && event.role == WriteRole::Text) {
      texts.push_back(event.text());
    }
  }
  return texts;
}

TEST(FleetUpdate, EachMeterGetsItsOwnPacedFramesAndAFailureStaysWithItsMeter) {
  std::string error;
  const auto config = SimConfig::Parse("meters=3,status1@2=2", &error);
  ASSERT_TRUE(config) << error;
  ScaledClock clock(0.01);
  SimVisa sim(*config, clock);
  // Closed numbers come back at once: a stale close would end another worker's session.
  sim.ReuseLowestFreeHandles();
  DiskFileSystem files;
  TempDir dir;
  const BinBuilder image = BinBuilder().Version("01.21").Payload(1000).WithCrc();
  const std::string path = dir.Write("dsp.bin", image.Bytes());

  MemoryHistory history;
  CountingObserver observer;
  FleetRequest request{
      .path = path,
      .resources = {sim.meter(0).resourceName(), sim.meter(1).resourceName(),
                    sim.meter(2).resourceName()},
      .history = &history,
      .origin = {.tool = "test", .toolVersion = "0", .backend = "sim"},
  };
  const std::vector<UpdateReport> reports = RunFleetUpdate(sim, clock, files, request, observer);

  ASSERT_EQ(reports.size(), 3u);
  for (std::size_t meter = 0; meter < 3; ++meter) {
    const UpdateReport& report = reports[meter];
    SimMeter& simMeter = sim.meter(meter);
    const bool failing = meter == 1;
    EXPECT_EQ(report.serial, simMeter.serial());
    EXPECT_EQ(report.outcome,
              failing ? UpdateOutcome::kTransferFailed : UpdateOutcome::kInstalled);
    EXPECT_EQ(report.reason, failing ? "the meter reported CHECKSUM_ERROR for the image" : "");
    EXPECT_EQ(report.identityBefore, "NAVIR,Q1000," + simMeter.serial() + ",01.20.05.12");
    EXPECT_EQ(observer.finished[meter], 1);
    EXPECT_EQ(observer.progress[meter], 5) << "one report per frame";

    // Its identity and serial, then exactly the commands of a single update.
    EXPECT_EQ(TextWrites(simMeter.timeline()),
              (std::vector<std::string>{"L0\n", "*idn?\n", "cal:sec:serial?\n", "L0\n",
                                        "*idn?\n", "cal:sec:serial?\n", "system:update\n",
                                        "*IDN?\n"}))
        << meter;
    // Its own frames, each once and in order: nothing of another meter's.
    const std::vector<TimelineEvent> frames = DataFrames(simMeter.timeline());
    std::vector<std::uint8_t> received;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      received.insert(received.end(), frames[i].bytes.begin(), frames[i].bytes.end());
      if (i > 0) {
        EXPECT_GE(frames[i].time - frames[i - 1].time, Millis{100}) << meter << " frame " << i;
      }
    }
    EXPECT_EQ(received, image.Body()) << meter;
    EXPECT_EQ(simMeter.installedImages().size(), failing ? 0u : 1u);
  }
  EXPECT_EQ(sim.OpenHandleCount(), 0) << "every worker closed what it opened";

  const HistoryListing listing = history.Read();
  ASSERT_EQ(listing.records.size(), 3u);
  for (const HistoryRecord& record : listing.records) {
    EXPECT_EQ(record.fileSize, image.Bytes().size());
    EXPECT_EQ(record.outcome, record.serial == "SN000124" ? "transfer failed" : "installed");
  }
}

}  // namespace
}  // namespace quorvel::testing
