// The meter's update mode: leaving and rejoining the bus, image frames,
// verdicts, installation, reboot, and the fault knobs.
#include <gtest/gtest.h>

#include <optional>

#include "sim/sim_bench.h"
#include "firmware/version_record.h"
#include "support/firmware_builder.h"

namespace quorvel::testing {
namespace {

using Verdicts = std::pair<std::string, std::string>;

const Verdicts kInstalled{"0", "0"};

// A headerless image whose payload names its version: the record, then a pattern.
Bytes Recorded(std::uint8_t target, std::string_view version, std::size_t size = 300) {
  const auto record = MakeVersionRecord(target, version);
  Bytes image(record.begin(), record.end());
  const Bytes rest = Pattern(size - record.size());
  image.insert(image.end(), rest.begin(), rest.end());
  return image;
}

Bytes Spoilt(Bytes bytes, std::size_t at, std::uint8_t value) {
  bytes.at(at) = value;
  return bytes;
}

// What one meter shows to a fixed sequence of host actions: its mode, its
// identity (and how long it took), both verdicts for a damaged and a good
// image, its mode soon after the install and its identity after the restart.
// No absolute times, so meters probed one after another compare equal.
std::string Probe(SimBench& bench, std::size_t index) {
  SimMeter& meter = bench.meter(index);
  const std::string name = meter.resourceName();
  std::string seen = "mode " + std::to_string(static_cast<int>(meter.mode()));
  const auto open = [&] {
    ViSession session = VI_NULL;
    bench.visa->viOpen(bench.rm, name.c_str(), 0, 0, &session);
    return session;
  };
  const auto identify = [&](ViSession session) {
    const Millis before = bench.clock.Now();
    const std::string identity = bench.Query(session, "*idn?\n");
    seen += "; idn " + identity + " in " + std::to_string((bench.clock.Now() - before).count());
  };
  identify(open());
  bench.Write(open(), "system:update\n");
  bench.clock.Advance(Millis{3000});
  seen += "; switched " + std::to_string(static_cast<int>(meter.mode()));
  const ViSession session = open();
  const auto [bad1, bad2] = bench.SendImage(session, Spoilt(WithCrc(Pattern(300)), 299, 0));
  const auto [good1, good2] = bench.SendImage(session, WithCrc(Recorded(0, "01.21")));
  seen += "; verdicts " + bad1 + "/" + bad2 + " " + good1 + "/" + good2;
  bench.clock.Advance(Millis{1500});
  seen += "; soon after " + std::to_string(static_cast<int>(meter.mode()));
  bench.clock.Advance(Millis{60'000});
  seen += "; later " + std::to_string(static_cast<int>(meter.mode()));
  if (meter.mode() != SimMode::OffBus) identify(open());
  return seen;
}

TEST(SimModeSwitch, LeavesAtOnceAndReturnsInUpdateModeUnderTheSameName) {
  SimBench bench;
  const ViSession old = bench.Open();
  const std::string name = bench.meter().resourceName();
  bench.Write(old, "system:update\n");

  EXPECT_EQ(bench.meter().mode(), SimMode::OffBus);
  const Written write = bench.Write(old, "*idn?\n");
  EXPECT_EQ(write.status, VI_ERROR_CONN_LOST);
  EXPECT_EQ(write.count, 0u);
  const Reading read = bench.Read(old);
  EXPECT_EQ(read.status, VI_ERROR_CONN_LOST);
  EXPECT_TRUE(read.bytes.empty());
  EXPECT_EQ(bench.visa->viClear(old), VI_ERROR_CONN_LOST);
  ViUInt32 count = 9;
  EXPECT_EQ(bench.visa->viFindRsrc(bench.rm, "?*INSTR", nullptr, &count, nullptr),
            VI_ERROR_RSRC_NFOUND);
  ViSession session = VI_NULL;
  EXPECT_EQ(bench.visa->viOpen(bench.rm, name.c_str(), 0, 0, &session), VI_ERROR_RSRC_NFOUND);

  bench.clock.Advance(Millis{2999});
  EXPECT_EQ(bench.meter().mode(), SimMode::OffBus);
  bench.clock.Advance(Millis{1});
  EXPECT_EQ(bench.meter().mode(), SimMode::Update);
  EXPECT_EQ(bench.meter().resourceName(), name);
  EXPECT_EQ(bench.Write(old, "*idn?\n").status, VI_ERROR_CONN_LOST) << "old sessions stay dead";

  const ViSession fresh = bench.Open();
  EXPECT_EQ(bench.Query(fresh, "*IDN?\n"), "NAVIR,Q1000 BOOT,SN000123,WDL00.00.00");
  EXPECT_EQ(bench.Query(fresh, "cal:sec:serial?\n"), "SN000123\n");

  const auto left = EventsOfKind(bench.meter().timeline(), TimelineKind::LeftBus);
  const auto back = EventsOfKind(bench.meter().timeline(), TimelineKind::ReturnedToBus);
  ASSERT_EQ(left.size(), 1u);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(left[0].time, Millis{0});
  EXPECT_EQ(back[0].time, Millis{3000});
}

TEST(SimModeSwitch, ReenumerationDelayAndNeverReturning) {
  struct Case {
    const char* knobs;
    Millis wait;
    SimMode mode;
  };
  for (const Case& c : {Case{"reenumerate_ms=500", Millis{500}, SimMode::Update},
                        Case{"reenumerate_ms=500", Millis{499}, SimMode::OffBus},
                        Case{"return=0", Millis{3'600'000}, SimMode::OffBus}}) {
    SimBench bench(c.knobs);
    bench.Write(bench.Open(), "SYSTEM:UPDATE\n");
    bench.clock.Advance(c.wait);
    EXPECT_EQ(bench.meter().mode(), c.mode) << c.knobs << " after " << c.wait.count();
  }
}

TEST(SimModeSwitch, StartsInUpdateModeWhenAsked) {
  SimBench bench("mode=update");
  const ViSession session = bench.Open();
  EXPECT_EQ(bench.meter().mode(), SimMode::Update);
  EXPECT_EQ(bench.Query(session, "*idn?\n"), "NAVIR,Q1000 BOOT,SN000123,WDL00.00.00");
  EXPECT_EQ(bench.SendImage(session, WithCrc(Pattern(100))), kInstalled);
}

TEST(SimImage, GoodImageIsAcceptedAndInstalled) {
  SimBench bench;
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  const Bytes image = WithCrc(Pattern(500));

  EXPECT_EQ(bench.SendImage(session, image), kInstalled);

  const auto& installed = bench.meter().installedImages();
  ASSERT_EQ(installed.size(), 1u);
  EXPECT_EQ(installed[0].bytes, image);
  EXPECT_EQ(installed[0].time, bench.clock.Now());
  const auto frames = DataFrames(bench.meter().timeline());
  ASSERT_EQ(frames.size(), 3u) << DescribeTimeline(bench.meter().timeline());
  EXPECT_EQ(frames[0].bytes.size(), 240u);
  EXPECT_EQ(frames[2].bytes.size(), 24u);
  EXPECT_EQ(frames[1].time - frames[0].time, Millis{100});
  const auto reads = EventsOfKind(bench.meter().timeline(), TimelineKind::Read);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].text(), "0");
  EXPECT_EQ(reads[0].offered, 240u);
}

TEST(SimImage, VerdictsOfFlawedImages) {
  struct Case {
    const char* name;
    const char* knobs;
    Bytes image;
    Millis gap;
    Verdicts verdicts;
    std::optional<bool> installs{};  // unset: as the verdicts say
  };
  const Bytes good = WithCrc(Pattern(700));
  Bytes corrupted = good;
  corrupted[100] ^= 0x01;
  const Case cases[] = {
      {"good", "", good, Millis{100}, kInstalled},
      {"gap exactly the minimum", "", good, Millis{5}, kInstalled},
      {"gap too short", "", good, Millis{4}, {"1", ""}},
      {"custom gap", "min_gap_ms=10", good, Millis{10}, kInstalled},
      {"checksum mismatch", "", corrupted, Millis{100}, {"2", ""}},
      {"checksum not verified", "verify=0", corrupted, Millis{100}, kInstalled},
      {"too short for a checksum", "", Pattern(3), Millis{100}, {"2", ""}},
      {"short image unverified", "verify=0", Pattern(3), Millis{100}, kInstalled},
      {"status prefix",
       "prefix_ab=1",
       good,
       Millis{100},
       {"\xAB"
        "0",
        "\xAB"
        "0"}},
      {"forced first status", "status1=3", good, Millis{100}, {"3", ""}},
      {"forced first status byte", "status1=0x36,prefix_ab=1", good, Millis{100}, {"\xAB\x36", ""}},
      {"forced empty first status", "status1=none", good, Millis{100}, {"", ""}},
      {"forced acceptance of a bad image", "status1=0", corrupted, Millis{100}, kInstalled},
      {"forced second status", "status2=4", good, Millis{100}, {"0", "4"}},
      {"forced empty second status", "status2=none", good, Millis{100}, {"0", ""}},
      // The same silence on the wire, but the meter installed the image.
      {"silent after the end frame", "end_reply=none", good, Millis{100}, {"0", ""}, true},
      {"silent refusal after the end frame", "end_reply=none,status2=4", good, Millis{100},
       {"0", ""}, false},
      {"silent after a bad image's data", "end_reply=none", corrupted, Millis{100}, {"2", ""}},
  };
  for (const Case& c : cases) {
    SimBench bench(c.knobs);
    const ViSession session = bench.EnterUpdateMode(bench.Open());
    bench.SendFrames(session, c.image, c.gap);
    bench.clock.Advance(Millis{1100});
    const std::string first = bench.Read(session).text();
    std::string second;
    if (first == "0" || first ==
                            "\xAB"
                            "0") {
      bench.Write(session, kEndFrame);
      second = bench.Read(session).text();
    }
    EXPECT_EQ(std::make_pair(first, second), c.verdicts) << c.name;
    const bool installed = c.installs.value_or(c.verdicts == kInstalled || c.verdicts.second ==
                                                                             "\xAB"
                                                                             "0");
    EXPECT_EQ(bench.meter().installedImages().size(), installed ? 1u : 0u) << c.name;
    EXPECT_EQ(EventsOfKind(bench.meter().timeline(), TimelineKind::ImageRejected).size(),
              installed ? 0u : 1u)
        << c.name;
  }
}

TEST(SimImage, FrameLongerThan240BytesIsAFrameError) {
  SimBench bench;
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  bench.clock.Advance(Millis{100});
  const Bytes frame = WithCrc(Pattern(237));
  EXPECT_EQ(bench.Write(session, frame).count, 241u);
  EXPECT_EQ(bench.Read(session).text(), "1");
  const auto rejected = EventsOfKind(bench.meter().timeline(), TimelineKind::ImageRejected);
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0].statusCharacter, '1');
}

TEST(SimImage, EndFrameOutOfTurnIsAFrameError) {
  struct Case {
    const char* name;
    bool framesFirst;
    bool readBeforeEnd;
  };
  for (const Case& c : {Case{"end frame before any data", false, false},
                        Case{"end frame before the first status", true, false}}) {
    SimBench bench;
    const ViSession session = bench.EnterUpdateMode(bench.Open());
    if (c.framesFirst) bench.SendFrames(session, WithCrc(Pattern(300)));
    bench.clock.Advance(Millis{100});
    bench.Write(session, kEndFrame);
    EXPECT_EQ(bench.Read(session).text(), "1") << c.name;
    EXPECT_TRUE(bench.meter().installedImages().empty()) << c.name;
  }
}

TEST(SimImage, DataWhereTheEndFrameIsDueSpoilsTheImage) {
  SimBench bench;
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  bench.SendFrames(session, WithCrc(Pattern(300)));
  ASSERT_EQ(bench.Read(session).text(), "0");
  bench.SendFrames(session, Pattern(10));
  EXPECT_EQ(bench.Read(session).text(), "1");
  EXPECT_TRUE(bench.meter().installedImages().empty());
}

TEST(SimImage, FlushMarkerAndCommandsAreNotImageBytes) {
  SimBench bench;
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  const Bytes image = WithCrc(Pattern(292));
  bench.SendFrames(session, image);
  bench.clock.Advance(Millis{100});
  bench.Write(session, kFlushMarker);
  bench.Write(session, "*IDN?\n");
  EXPECT_EQ(bench.Read(session).text(), "NAVIR,Q1000 BOOT,SN000123,WDL00.00.00");
  EXPECT_EQ(bench.Read(session).text(), "0");
  bench.Write(session, kEndFrame);
  EXPECT_EQ(bench.Read(session).text(), "0");
  ASSERT_EQ(bench.meter().installedImages().size(), 1u);
  EXPECT_EQ(bench.meter().installedImages()[0].bytes, image);

  const auto writes = EventsOfKind(bench.meter().timeline(), TimelineKind::Write);
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(DataFrames(bench.meter().timeline()).size(), 2u);
  EXPECT_EQ(writes[writes.size() - 3].role, WriteRole::FlushMarker);
  EXPECT_EQ(writes[writes.size() - 2].role, WriteRole::Text);
  EXPECT_EQ(writes.back().role, WriteRole::EndFrame);
}

TEST(SimImage, StatusReadShorterThanTheReplyKeepsTheRest) {
  SimBench bench("prefix_ab=1");
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  bench.SendFrames(session, WithCrc(Pattern(50)));
  const Reading first = bench.Read(session, 1);
  EXPECT_EQ(first.status, VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(first.bytes, Bytes{0xAB});
  EXPECT_EQ(bench.Read(session, 64).text(), "0");
}

TEST(SimImage, SeveralImagesInOneUpdate) {
  SimBench bench;
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  const Bytes images[] = {WithCrc(Pattern(400)), WithCrc(Pattern(48)), WithCrc(Pattern(1000))};
  for (const Bytes& image : images) {
    EXPECT_EQ(bench.SendImage(session, image), kInstalled);
    bench.clock.Advance(Millis{100});
  }
  ASSERT_EQ(bench.meter().installedImages().size(), 3u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(bench.meter().installedImages()[i].bytes, images[i]);
}

TEST(SimReboot, RebootsIntoNormalModeWhenLeftAloneAfterAnInstall) {
  SimBench bench("reboot_ms=2000,reenumerate_ms=3000");
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  ASSERT_EQ(bench.SendImage(session, WithCrc(Pattern(300))), kInstalled);
  const Millis installedAt = bench.clock.Now();

  bench.clock.Advance(Millis{1500});
  bench.Write(session, "*idn?\n");  // activity restarts the wait
  bench.Read(session);
  const Millis lastTouch = bench.clock.Now();
  bench.clock.Advance(Millis{1999});
  EXPECT_EQ(bench.meter().mode(), SimMode::Update);
  bench.clock.Advance(Millis{1});
  EXPECT_EQ(bench.meter().mode(), SimMode::OffBus);
  bench.clock.Advance(Millis{3000});
  EXPECT_EQ(bench.meter().mode(), SimMode::Normal);

  const auto left = EventsOfKind(bench.meter().timeline(), TimelineKind::LeftBus);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_GT(lastTouch, installedAt);
  EXPECT_EQ(left[1].time, lastTouch + Millis{2000});
  EXPECT_EQ(bench.Write(session, "*idn?\n").status, VI_ERROR_CONN_LOST);
  EXPECT_EQ(bench.Query(bench.Open(), "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
}

TEST(SimReboot, TransitionsDueLongAgoAreRecordedAtTheirTimes) {
  SimBench bench;
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  ASSERT_EQ(bench.SendImage(session, WithCrc(Pattern(10))), kInstalled);
  const Millis installedAt = bench.clock.Now();
  bench.clock.Advance(Millis{60'000});
  const auto& timeline = bench.meter().timeline();
  ASSERT_GE(timeline.size(), 2u);
  EXPECT_EQ(timeline[timeline.size() - 2].kind, TimelineKind::LeftBus);
  EXPECT_EQ(timeline[timeline.size() - 2].time, installedAt + Millis{2000});
  EXPECT_EQ(timeline.back().kind, TimelineKind::ReturnedToBus);
  EXPECT_EQ(timeline.back().time, installedAt + Millis{5000});
}

TEST(SimReboot, FailedImageKeepsUpdateModeUntilPowerCycle) {
  SimBench bench("status1=5");
  ViSession session = bench.EnterUpdateMode(bench.Open());
  EXPECT_EQ(bench.SendImage(session, WithCrc(Pattern(300))).first, "5");
  bench.clock.Advance(Millis{600'000});
  EXPECT_EQ(bench.meter().mode(), SimMode::Update);

  bench.meter().PowerCycle();
  EXPECT_EQ(bench.meter().mode(), SimMode::Normal);
  EXPECT_EQ(bench.Write(session, "*idn?\n").status, VI_ERROR_CONN_LOST);
  EXPECT_EQ(bench.Query(bench.Open(), "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
}

// After its restart the meter reports the versions of the images it
// installed that begin with a genuine header, unless told to keep its old ones.
TEST(SimReboot, ComesBackWithTheVersionsItInstalled) {
  const auto whole = [](BinBuilder image) {
    return image.Payload(300).WithCrc(CrcCovers::kWholeImage).Bytes();
  };
  const struct {
    const char* label;
    std::string knobs;
    std::vector<Bytes> images;
    bool powerCycle;  // the operator's power cycle instead of the meter's own restart
    std::string identityAfter;
  } cases[] = {
      {"DSP", "", {whole(BinBuilder().Version("01.30"))}, false, "01.30.05.12"},
      {"Panel", "", {whole(BinBuilder().Target(1).Version("06.00"))}, false, "01.20.06.12"},
      {"MSP 430", "", {whole(BinBuilder().Target(2).Version("13.00"))}, false, "01.20.05.13"},
      {"two images", "", {whole(BinBuilder().Version("01.30")), whole(BinBuilder().Target(1).Version("07.00"))},
       false, "01.30.07.12"},
      {"power cycle", "", {whole(BinBuilder().Version("01.31"))}, true, "01.31.05.12"},
      {"kept by adopt=0", "adopt=0", {whole(BinBuilder().Version("01.30"))}, false, "01.20.05.12"},
      {"no header", "", {WithCrc(Pattern(300))}, false, "01.20.05.12"},
      {"foreign header", "", {whole(BinBuilder().Signature("OTHER").Version("01.30"))}, false,
       "01.20.05.12"},
      {"unknown target", "", {whole(BinBuilder().Target(7).Version("01.30"))}, false, "01.20.05.12"},
      {"payload record, DSP", "", {WithCrc(Recorded(0, "01.21"))}, false, "01.21.05.12"},
      {"payload record, MSP 430", "", {WithCrc(Recorded(2, "14.00"))}, false, "01.20.05.14"},
      {"payload record without its NUL", "", {WithCrc(Spoilt(Recorded(0, "01.21"), 9, 'x'))}, false,
       "01.20.05.12"},
      {"payload record of no target", "", {WithCrc(Recorded(5, "01.21"))}, false, "01.20.05.12"},
  };
  for (const auto& c : cases) {
    SimBench bench(c.knobs);
    const ViSession session = bench.EnterUpdateMode(bench.Open());
    for (const Bytes& image : c.images) {
      ASSERT_EQ(bench.SendImage(session, image), kInstalled) << c.label;
    }
    if (c.powerCycle) {
      bench.meter().PowerCycle();
    } else {
      bench.clock.Advance(Millis{60'000});
    }
    ASSERT_EQ(bench.meter().mode(), SimMode::Normal) << c.label;
    EXPECT_EQ(bench.Query(bench.Open(), "*idn?\n"), "NAVIR,Q1000,SN000123," + c.identityAfter)
        << c.label;
  }
}

TEST(SimReboot, ReturnOnceComesBackForTheUpdateButNotAfterTheRestart) {
  SimBench bench("return=once");
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  ASSERT_EQ(bench.meter().mode(), SimMode::Update);
  ASSERT_EQ(bench.SendImage(session, WithCrc(Pattern(300))), kInstalled);
  bench.clock.Advance(Millis{600'000});
  EXPECT_EQ(bench.meter().mode(), SimMode::OffBus);
}

TEST(SimFaults, UnplugAfterNFramesLeavesForGood) {
  SimBench bench("unplug_after=2");
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  const Bytes image = WithCrc(Pattern(700));
  bench.SendFrames(session, image);
  EXPECT_EQ(DataFrames(bench.meter().timeline()).size(), 2u);
  EXPECT_EQ(bench.Read(session).status, VI_ERROR_CONN_LOST);
  bench.clock.Advance(Millis{3'600'000});
  EXPECT_EQ(bench.meter().mode(), SimMode::OffBus);
  bench.meter().PowerCycle();
  EXPECT_EQ(bench.meter().mode(), SimMode::OffBus) << "an unplugged meter stays unplugged";
}

TEST(SimFaults, PartialFrameIsOnlyPartlyTaken) {
  SimBench bench("partial_at=2");
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  ASSERT_EQ(bench.visa->viSetAttribute(session, VI_ATTR_TMO_VALUE, 20000), VI_SUCCESS);
  const Bytes image = WithCrc(Pattern(600));
  bench.clock.Advance(Millis{100});
  EXPECT_EQ(bench.Write(session, Bytes(image.begin(), image.begin() + 240)).count, 240u);
  bench.clock.Advance(Millis{100});
  const Millis before = bench.clock.Now();
  const Written partial = bench.Write(session, Bytes(image.begin() + 240, image.begin() + 480));
  EXPECT_EQ(partial.status, VI_ERROR_TMO);
  EXPECT_EQ(partial.count, 120u);
  EXPECT_EQ(bench.clock.Now() - before, Millis{20000});

  const auto frames = DataFrames(bench.meter().timeline());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].bytes, Bytes(image.begin() + 240, image.begin() + 360));
  EXPECT_EQ(frames[1].offered, 240u);
}

TEST(SimFaults, SilentMeterNeverGivesAVerdict) {
  SimBench bench("silent=1");
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  bench.visa->viSetAttribute(session, VI_ATTR_TMO_VALUE, 20000);
  bench.SendFrames(session, WithCrc(Pattern(300)));
  const Millis before = bench.clock.Now();
  const Reading reading = bench.Read(session);
  EXPECT_EQ(reading.status, VI_ERROR_TMO);
  EXPECT_TRUE(reading.bytes.empty());
  EXPECT_EQ(bench.clock.Now() - before, Millis{20000});
  EXPECT_EQ(EventsOfKind(bench.meter().timeline(), TimelineKind::ReadTimedOut).size(), 1u);
}

TEST(SimFaults, SlowVerdictArrivesLate) {
  SimBench bench("slow_ms=700");
  const ViSession session = bench.EnterUpdateMode(bench.Open());
  bench.SendFrames(session, WithCrc(Pattern(300)));
  const Millis before = bench.clock.Now();
  EXPECT_EQ(bench.Read(session).text(), "0");
  EXPECT_EQ(bench.clock.Now() - before, Millis{700});
  EXPECT_EQ(EventsOfKind(bench.meter().timeline(), TimelineKind::Read).back().time,
            bench.clock.Now());
}

TEST(SimMeters, AKnobForOneMeterChangesThatMeterOnly) {
  SimBench bench("meters=3,status1@2=2,version@3=01.22.05.12");
  EXPECT_EQ(bench.Query(bench.Open(0), "*idn?\n"), "NAVIR,Q1000,SN000123,01.20.05.12");
  EXPECT_EQ(bench.Query(bench.Open(2), "*idn?\n"), "NAVIR,Q1000,SN000125,01.22.05.12");
  for (std::size_t meter = 0; meter < 3; ++meter) {
    const ViSession session = bench.Open(meter);
    bench.Write(session, "system:update\n");
  }
  bench.clock.Advance(bench.visa->config().reenumerate);
  for (std::size_t meter = 0; meter < 3; ++meter) {
    const auto verdicts = bench.SendImage(bench.Open(meter), WithCrc(Pattern(300)));
    EXPECT_EQ(verdicts.first, meter == 1 ? "2" : "0") << "meter " << meter + 1;
  }
}

// Every knob that can differ between meters changes meter 2 alone.
TEST(SimMeters, EveryKnobForOneMeterChangesThatMeterOnly) {
  SimBench single;
  const std::string healthy = Probe(single, 0);
  SimBench pair("meters=2");
  const std::string healthySecond = Probe(pair, 1);
  for (const char* knob :
       {"idn@2=ACME,Q9,SN9,09.09.09.09", "version@2=01.22.05.12", "newline@2=1", "mode@2=update",
        "reenumerate_ms@2=5000", "return@2=0", "return@2=once", "reboot_ms@2=500", "adopt@2=0",
        "min_gap_ms@2=200", "verify@2=0", "prefix_ab@2=1", "status1@2=3", "status2@2=none",
        "end_reply@2=none", "unplug_after@2=1", "partial_at@2=3", "silent@2=1", "slow_ms@2=700"}) {
    SimBench bench(std::string("meters=2,") + knob);
    EXPECT_EQ(Probe(bench, 0), healthy) << knob;
    EXPECT_NE(Probe(bench, 1), healthySecond) << knob;
  }
}

TEST(SimMeters, UpdatingOneMeterLeavesTheOtherAlone) {
  SimBench bench("meters=2");
  const ViSession other = bench.Open(1);
  bench.EnterUpdateMode(bench.Open(0));
  EXPECT_EQ(bench.meter(0).mode(), SimMode::Update);
  EXPECT_EQ(bench.meter(1).mode(), SimMode::Normal);
  EXPECT_EQ(bench.Query(other, "*idn?\n"), "NAVIR,Q1000,SN000124,01.20.05.12");
}

}  // namespace
}  // namespace quorvel::testing
