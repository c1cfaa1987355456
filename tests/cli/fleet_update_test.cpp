// The fleet update in one process, against several simulated meters on a
// fast real clock: each meter gets its own frames, paced as a single update
// paces them, and a failing meter changes nothing for the others.
#include "fleet/fleet_update.h"
#include "fleet/verify_update.h"

#include <gtest/gtest.h>

#include <mutex>

#include "common/scaled_clock.h"
#include "firmware/file_source.h"
#include "sim/sim_visa.h"
#include "support/firmware_builder.h"
#include "support/memory_file_system.h"
#include "support/memory_history.h"
#include "visa/resource_filter_visa.h"

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

// One meter through the pipeline: what it concludes, what the history keeps
// of it, and how far the meter was touched.
TEST(MeterPipeline, EachEndingIsConcludedAndRecordedOnce) {
  TempDir dir;
  const std::string image = dir.Write(
      "dsp.bin", BinBuilder().Version("01.21").Payload(1000).RecordVersionInPayload().WithCrc().Bytes());
  // Its examined header (the third) passes; its second entry runs past the end.
  const std::string damaged = dir.Write(
      "damaged.pak", PakBuilder()
                         .AddImage(BinBuilder().Version("01.30").Payload(300).WithCrc())
                         .AddImage(BinBuilder().Target(1).Version("06.00").Payload(300).WithCrc())
                         .AddImage(BinBuilder().Target(2).Version("13.00").Payload(300).WithCrc())
                         .EntrySize(2, 1 << 20)
                         .Bytes());
  const struct {
    const char* label;
    std::string knobs;
    std::string path;
    bool leaveUpdateModeMeters = false;
    bool verify = false;
    bool hiddenFromSearches = false;  // opens by name, but no search finds it
    UpdateOutcome outcome;
    std::string reason;
    std::string verification;
    std::size_t records;
    std::size_t textWrites;  // 0: not counted
  } cases[] = {
      {"installed", "meters=1", image, false, false, false, UpdateOutcome::kInstalled, "", "", 1, 0},
      {"skipped in update mode", "mode=update", image, true, false, false,
       UpdateOutcome::kWrongMode, "in update mode; left alone", "", 0, 3},
      {"identified, then the update's message box", "meters=1", image, false, false, true,
       UpdateOutcome::kNoMeter, "USBTMC device not found.", "", 1, 3},
      // It stays in update mode for 8 s before it restarts: present is not yet back.
      {"lingers before its restart", "reboot_ms=8000", image, false, true, false,
       UpdateOutcome::kInstalled, "", "verified", 1, 0},
      // Recorded for the cause `info` names, as the CLI says it.
      {"damaged package, examined header fine", "meters=1", damaged, false, false, false,
       UpdateOutcome::kFileRefused, "entry 2: the image runs past the end of the file", "", 1, 3},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto config = SimConfig::Parse(c.knobs, &error);
    ASSERT_TRUE(config) << error;
    ScaledClock clock(0.01);
    SimVisa sim(*config, clock);
    ResourceFilterVisa hidden(sim, [](std::string_view) { return false; });
    DiskFileSystem files;
    MemoryHistory history;
    CountingObserver observer;
    const FleetRequest request{
        .path = c.path,
        .resources = {sim.meter(0).resourceName()},
        .leaveUpdateModeMeters = c.leaveUpdateModeMeters,
        .verify = c.verify,
        .history = &history,
        .origin = {.tool = "test", .toolVersion = "0", .backend = "sim"},
    };
    VisaLibrary& visa = c.hiddenFromSearches ? static_cast<VisaLibrary&>(hidden) : sim;
    const UpdateReport report = RunMeterPipeline(visa, clock, files, request, 0, observer);
    EXPECT_EQ(report.outcome, c.outcome) << c.label;
    EXPECT_EQ(report.reason, c.reason) << c.label;
    EXPECT_EQ(report.verificationText, c.verification) << c.label;
    EXPECT_EQ(observer.finished[0], 1) << c.label;
    const HistoryListing listing = history.Read();
    ASSERT_EQ(listing.records.size(), c.records) << c.label;
    if (c.records > 0) {
      EXPECT_EQ(listing.records[0].reason, c.reason) << c.label;
    }
    if (c.textWrites > 0) {
      EXPECT_EQ(TextWrites(sim.meter(0).timeline()).size(), c.textWrites)
          << c.label << ": only asked who it is";
    }
  }
}

// The file is read once, when it is checked: the transfer sends those bytes
// and --verify reads its versions from them, whatever happens on disk later.
TEST(MeterPipeline, ReadsTheFileOnceFromCheckToVerify) {
  const struct {
    const char* path;
    ByteVector bytes;
  } files[] = {
      {"/fw/dsp.bin",
       BinBuilder().Version("01.21").Payload(600).RecordVersionInPayload().WithCrc().Bytes()},
      // Image 1 goes without its header, so its payload names its version.
      {"/fw/two.pak", PakBuilder()
                          .AddImage(BinBuilder()
                                        .Version("01.30")
                                        .Payload(300)
                                        .RecordVersionInPayload()
                                        .WithCrc())
                          .AddImage(BinBuilder().Target(1).Version("06.00").Payload(300).WithCrc())
                          .Bytes()},
  };
  for (const auto& f : files) {
    ScaledClock clock(0.01);
    SimVisa sim(*SimConfig::Parse("meters=1", nullptr), clock);
    MemoryFileSystem disk;
    disk.AddFile(f.path, f.bytes);
    CountingObserver observer;
    const FleetRequest request{.path = f.path, .resources = {sim.meter(0).resourceName()},
                               .verify = true};
    const UpdateReport report = RunMeterPipeline(sim, clock, disk, request, 0, observer);
    EXPECT_EQ(report.verification, Verification::kVerified)
        << f.path << ": " << UpdateOutcomeName(report.outcome) << ", " << report.reason;
    EXPECT_EQ(disk.usage(f.path).opens, 1) << f.path;
  }
}

// What --verify expects: every signed image's version, the last for a processor winning.
TEST(ExpectedVersions, ComeFromEverySignedImageOfTheFile) {
  TempDir dir;
  ByteVector raw(300, 0xFF);  // no header: its bytes decode as the DSP, but promise nothing
  AppendLittleEndian32(raw, Crc32(raw));
  const struct {
    const char* label;
    std::string path;
    std::optional<std::string> dsp, panel, msp430;
  } cases[] = {
      {"image", dir.Write("dsp.bin", BinBuilder().Version("01.21").Payload(10).Bytes()), "01.21",
       {}, {}},
      {"three images",
       dir.Write("three.pak",
                 PakBuilder()
                     .AddImage(BinBuilder().Version("01.30").Payload(10).WithCrc())
                     .AddImage(BinBuilder().Target(1).Version("06.00").Payload(10).WithCrc())
                     .AddImage(BinBuilder().Target(2).Version("13.00").Payload(10).WithCrc())
                     .Bytes()),
       "01.30", "06", "13"},
      {"raw image between",
       dir.Write("raw.pak", PakBuilder()
                                .AddImage(BinBuilder().Target(1).Version("07.00").Payload(10).WithCrc())
                                .AddImage(raw)
                                .Bytes()),
       {}, "07", {}},
  };
  DiskFileSystem files;
  for (const auto& c : cases) {
    const auto expected = ExpectedVersionsOf(files, c.path);
    ASSERT_TRUE(expected) << c.label;
    EXPECT_EQ(expected->dsp, c.dsp) << c.label;
    EXPECT_EQ(expected->panel, c.panel) << c.label;
    EXPECT_EQ(expected->msp430, c.msp430) << c.label;
  }
}

}  // namespace
}  // namespace quorvel::testing
