// The window's presenter without a toolkit, on the simulated meter in virtual
// time: what it shows and enables, which meter Select updates, a meter that
// arrives late, and the strip's sentence for every outcome.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "presenter/window_sentences.h"
#include "presenter_harness.h"
#include "support/firmware_builder.h"
#include "visa/forwarding_visa.h"
#include "visa/resource_filter_visa.h"

namespace quorvel::testing {
namespace {

const std::string kNewerImage = "dsp-newer.bin";
const std::string kOlderImage = "dsp-older.bin";
const std::string kPackage = "package-3.pak";
const std::string kDamagedPackage = "damaged.pak";

// The sample files every case may choose from.
class Samples {
 public:
  Samples() {
    // It names its version, so the meter reports 01.21 after its restart.
    dir_.Write(
        kNewerImage,
        BinBuilder().Version("01.21").Payload(500).RecordVersionInPayload().WithCrc().Bytes());
    dir_.Write(kOlderImage, BinBuilder().Version("01.10").Payload(500).WithCrc().Bytes());
    dir_.Write(kPackage,
               PakBuilder()
                   .AddImage(BinBuilder().Version("01.21").Payload(300).WithCrc())
                   .AddImage(BinBuilder().Target(1).Version("06.00").Payload(200).WithCrc())
                   .AddImage(BinBuilder().Version("01.30").Payload(200).WithCrc())
                   .Bytes());
    dir_.Write(kDamagedPackage, ByteVector(100, 0));
  }
  std::string operator()(const std::string& name) const { return (dir_.path() / name).string(); }

 private:
  TempDir dir_;
};

TEST(WindowPresenter, OneMeterIsNamedAboveTheLogAndNothingElseChanges) {
  PresenterHarness harness;
  harness.Start();
  const WindowModel& model = harness.model();
  EXPECT_EQ(harness.view.startups, std::vector<bool>{true});
  EXPECT_EQ(model.select, (ButtonModel{"Select", true, true}));
  EXPECT_EQ(model.exit, (ButtonModel{"Exit", true, true}));
  EXPECT_EQ(model.defaultButton, ConsoleButton::kSelect);
  EXPECT_FALSE(model.meter.showsChooser());
  EXPECT_EQ(model.meter.text,
            "SN000123 \u00b7 Q1000 \u00b7 DSP 01.20 \u00b7 Panel 05 \u00b7 MSP 430 12 \u00b7 "
            "simulated meter");
  EXPECT_EQ(model.strip, StripModel{});
  EXPECT_EQ(model.transcript.rfind("Looking for the meter ...\r\nClick \"Select\"", 0), 0u);
  EXPECT_TRUE(harness.view.boxes.empty());
}

// Select updates exactly the meter the chooser shows, the first found unless
// the operator picked another, through the package's reconnection too.
TEST(WindowPresenter, WithSeveralMetersSelectUpdatesTheChosenOne) {
  struct Case {
    const char* name;
    std::optional<std::size_t> picked;  // nothing: the preselected meter
    std::string file;
    std::size_t updated;
  };
  const Case cases[] = {
      {"preselected, image", std::nullopt, kNewerImage, 0},
      {"preselected, package", std::nullopt, kPackage, 0},
      {"second, image", 1, kNewerImage, 1},
      {"second, package", 1, kPackage, 1},
      {"second then first, image", 0, kNewerImage, 0},
  };
  const Samples samples;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PresenterHarness harness("sim:meters=2");
    harness.Start();
    const MeterLineModel& line = harness.model().meter;
    ASSERT_EQ(line.entries, (std::vector<std::string>{"SN000123", "SN000124"}));
    EXPECT_EQ(line.chosen, 0u);
    EXPECT_TRUE(line.chooserEnabled);
    EXPECT_EQ(line.text.rfind("Q1000 \u00b7 DSP 01.20", 0), 0u) << line.text;
    if (c.picked) {
      harness.presenter().OnMeterChosen(1);
      harness.Settle();
      if (*c.picked == 0) {
        harness.presenter().OnMeterChosen(0);
        harness.Settle();
      }
      EXPECT_EQ(harness.model().meter.chosen, *c.picked);
      EXPECT_TRUE(harness.model().select.enabled);
    }
    harness.Select(samples(c.file));
    ASSERT_EQ(harness.view.outcomes, std::vector<UpdateOutcome>{UpdateOutcome::kInstalled});
    EXPECT_FALSE(harness.sim().meter(c.updated).installedImages().empty());
    EXPECT_TRUE(harness.sim().meter(1 - c.updated).installedImages().empty());
    EXPECT_EQ(harness.presenter().state().report.resource,
              harness.sim().meter(c.updated).resourceName());
  }
}

// A filter that hides every meter until the test plugs one in.
std::function<std::unique_ptr<VisaLibrary>(VisaLibrary&)> Unplugged(std::atomic<bool>& plugged) {
  return [&plugged](VisaLibrary& inner) {
    return std::make_unique<ResourceFilterVisa>(
        inner, [&plugged](std::string_view) { return plugged.load(); });
  };
}

TEST(WindowPresenter, AMeterPluggedInLateIsFoundWithoutASecondBox) {
  std::atomic<bool> plugged{false};
  PresenterHarness harness("sim", Unplugged(plugged));
  harness.accessHint = "Install the udev rule.";
  harness.Start();
  ASSERT_EQ(harness.view.startups, std::vector<bool>{false});
  ASSERT_EQ(harness.view.boxes.size(), 1u);
  EXPECT_EQ(harness.model().strip.kind, StripKind::kFailure);
  EXPECT_EQ(harness.model().strip.text,
            "No meter found. Check the USB cable and that the meter is switched on; the window "
            "looks again every few seconds. Install the udev rule.");
  EXPECT_FALSE(harness.model().select.enabled);

  // Nothing yet: the window keeps looking, quietly, every few seconds.
  for (int look = 0; look < 3; ++look) {
    harness.clock.Advance(WindowPresenter::kLookAgainEvery);
    harness.presenter().OnTick();
    harness.Settle();
  }
  EXPECT_FALSE(harness.presenter().state().readyForUpdate);
  // Ticks in between looks search nothing.
  harness.clock.Advance(WindowPresenter::kLookAgainEvery / 2);
  harness.presenter().OnTick();
  EXPECT_FALSE(harness.presenter().running());

  plugged = true;
  harness.clock.Advance(WindowPresenter::kLookAgainEvery);
  harness.presenter().OnTick();
  harness.Settle();
  EXPECT_TRUE(harness.presenter().state().readyForUpdate);
  EXPECT_TRUE(harness.model().select.enabled);
  EXPECT_EQ(harness.model().strip, StripModel{});
  EXPECT_EQ(harness.model().meter.text.rfind("SN000123", 0), 0u);
  EXPECT_EQ(harness.view.boxes.size(), 1u);

  // Ready: nothing is looked for any more.
  harness.clock.Advance(WindowPresenter::kLookAgainEvery);
  harness.presenter().OnTick();
  EXPECT_FALSE(harness.presenter().running());
}

TEST(WindowPresenter, EveryOutcomeIsASentenceWithWhatToDoNext) {
  struct Case {
    const char* backend;
    std::string file;
    StripModel strip;
  };
  const Case cases[] = {
      {"sim",
       kNewerImage,
       {"DSP updated to 01.21. Recycle the meter's power to start it.", StripKind::kSuccess}},
      {"sim",
       kPackage,
       {"DSP updated to 01.30, Panel to 06. Recycle the meter's power to start it.",
        StripKind::kSuccess}},
      {"sim:status1=2",
       kNewerImage,
       {"The meter refused the image: the image's checksum does not match its data "
        "(CHECKSUM_ERROR). Recycle the meter's power, then press Continue to try again.",
        StripKind::kFailure}},
      {"sim:status2=3",
       kNewerImage,
       {"The meter refused the image: the meter could not erase its memory (ERASE_ERROR). "
        "Recycle the meter's power, then press Continue to try again.",
        StripKind::kFailure}},
      {"sim:status2=none",
       kNewerImage,
       {"The meter gave no reply to the end frame of the image. Recycle the meter's power, "
        "then press Continue to try again.",
        StripKind::kFailure}},
      {"sim:status1=3",
       kPackage,
       {"The meter refused image 1 of 3: the meter could not erase its memory (ERASE_ERROR). "
        "Recycle the meter's power, then press Continue to try again.",
        StripKind::kFailure}},
      // Refused after the switch: both versions, and the meter is in update mode.
      {"sim",
       kOlderImage,
       {"Firmware Update Not Possible (DSP). Binary file version is older than instrument "
        "version. File: DSP 01.10; meter: DSP 01.20. Nothing was sent to the meter. The meter "
        "is in update mode: recycle its power before you try again.",
        StripKind::kWarning}},
      // Refused before the switch.
      {"sim",
       kDamagedPackage,
       {"The package file is damaged. Nothing was sent to the meter. The meter was not changed.",
        StripKind::kWarning}},
      {"sim:return=0",
       kNewerImage,
       {"The meter did not come back after switching to update mode. Check the cable, recycle "
        "the meter's power, then press Continue.",
        StripKind::kFailure}},
      {"sim:mode=update",
       kNewerImage,
       {"The meter is in update mode: recycle its power, wait until it has started, then press "
        "Select.",
        StripKind::kWarning}},
      {"sim",
       "",  // the chooser cancelled
       {}},
  };
  const Samples samples;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.backend) + " " + c.file);
    PresenterHarness harness(c.backend);
    harness.Start();
    harness.Select(c.file.empty() ? std::string() : samples(c.file));
    EXPECT_EQ(harness.model().strip.text, c.strip.text);
    EXPECT_EQ(harness.model().strip.kind, c.strip.kind);
    EXPECT_FALSE(harness.model().progress.visible);
  }
}

// Continue after an update finds the meter again: the line shows the versions
// it now reports, and after a failure the ready screen says it is still in
// update mode.
TEST(WindowPresenter, ContinueShowsTheMeterAsItNowReportsItself) {
  struct Case {
    const char* backend;
    std::string lineHas;
    StripModel strip;
  };
  const Case cases[] = {
      {"sim", "DSP 01.21", {}},
      {"sim:status1=2",
       "in update mode",
       {"The meter is still in update mode: recycle its power, wait until it has started, then "
        "press Select.",
        StripKind::kWarning}},
  };
  const Samples samples;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.backend);
    PresenterHarness harness(c.backend);
    harness.Start();
    harness.Select(samples(kNewerImage));
    ASSERT_EQ(harness.model().select.caption, "Continue");
    harness.clock.Advance(Millis{10000});  // the meter restarts
    harness.Select();                      // Continue
    EXPECT_TRUE(harness.presenter().state().readyForUpdate);
    EXPECT_NE(harness.model().meter.text.find(c.lineHas), std::string::npos)
        << harness.model().meter.text;
    EXPECT_EQ(harness.model().strip, c.strip);
  }
}

TEST(WindowPresenter, WaitingForTheMeterShowsABusyBarAndWhatItWaitsFor) {
  struct Case {
    WaitingReport report;
    std::string sentence;
  };
  const Case cases[] = {
      {{MeterWait::kSwitching, Millis{2000}},
       "Waiting for the meter to take the update command, about 2 s left."},
      {{MeterWait::kRestarting, Millis{11200}},
       "Waiting for the meter to restart in update mode, about 12 s left."},
      {{MeterWait::kReconnecting, Millis{0}}, "Looking for the meter again."},
  };
  PresenterHarness harness;
  harness.Start();
  for (const Case& c : cases) {
    harness.presenter().console().ShowWaiting(c.report);
    EXPECT_EQ(harness.model().strip, (StripModel{c.sentence, StripKind::kInfo}));
    EXPECT_TRUE(harness.model().progress.visible);
    EXPECT_TRUE(harness.model().progress.busy);
  }
  harness.presenter().console().ShowWaiting({MeterWait::kNone, Millis{0}});
  EXPECT_EQ(harness.model().strip, StripModel{});
}

// A VISA call that blocks: the operator is still answered, and the window
// goes once the call has come back.
class GatedVisa final : public ForwardingVisaLibrary {
 public:
  explicit GatedVisa(VisaLibrary& inner) : ForwardingVisaLibrary(inner) {}
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override {
    std::unique_lock lock(mutex_);
    blocked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    return inner_.viRead(session, buffer, count, returnCount);
  }
  bool blocked() {
    const std::lock_guard lock(mutex_);
    return blocked_;
  }
  void Open() {
    const std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool blocked_ = false;
  bool open_ = false;
};

TEST(WindowPresenter, ExitIsAnsweredWhileAVisaCallBlocks) {
  GatedVisa* gate = nullptr;
  PresenterHarness harness("sim", [&gate](VisaLibrary& inner) {
    auto visa = std::make_unique<GatedVisa>(inner);
    gate = visa.get();
    return visa;
  });
  harness.presenter().Start();
  // The first search identifies the meter; its read blocks until opened.
  harness.view.ServeUntil([&] { return gate->blocked(); });
  harness.presenter().OnExit();
  ASSERT_EQ(harness.view.boxes.size(), 1u);
  EXPECT_EQ(harness.view.boxes[0].text, "Are you sure, you want to quit?");
  EXPECT_FALSE(harness.view.closed) << "the run still holds the meter";
  gate->Open();
  harness.Settle();
  EXPECT_TRUE(harness.view.closed);
  EXPECT_EQ(harness.sim().OpenHandleCount(), 0);
}

TEST(MeterLine, NamesTheMeterItsVersionsAndTheBackend) {
  struct Case {
    const char* identity;
    const char* backend;
    bool withSerial;
    const char* line;
  };
  const Case cases[] = {
      {"NAVIR,Q1000,SN000123,01.20.05.12\n", "usbtmc", true,
       "SN000123 \u00b7 Q1000 \u00b7 DSP 01.20 \u00b7 Panel 05 \u00b7 MSP 430 12 \u00b7 usbtmc"},
      {"NAVIR,Q1000,SN000123,01.20.05.12", "system:path=/opt/visa.so", false,
       "Q1000 \u00b7 DSP 01.20 \u00b7 Panel 05 \u00b7 MSP 430 12 \u00b7 system"},
      {"NAVIR,Q1000 BOOT,SN000123,WDL00.00.00", "sim:meters=2", true,
       "SN000123 \u00b7 Q1000 BOOT \u00b7 in update mode \u00b7 simulated meter"},
      // Too short to hold the versions: none is made up.
      {"NAVIR,Q1000", "usbtmc", true, "SN000123 \u00b7 Q1000 \u00b7 usbtmc"},
      {"", "usbtmc", true, "SN000123 \u00b7 usbtmc"},
  };
  for (const Case& c : cases) {
    const MeterSummary meter = SummarizeMeter("USB0::0x1D7C::0x4A35::SN000123::INSTR", c.identity);
    EXPECT_EQ(MeterLineText(meter, c.backend, c.withSerial), c.line) << c.identity;
  }
}

}  // namespace
}  // namespace quorvel::testing
