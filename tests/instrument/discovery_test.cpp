// Finding and opening the meter, and talking to it, against the simulated
// meter in virtual time.
#include <gtest/gtest.h>

#include "support/update_scenario.h"

namespace quorvel::testing {
namespace {

class DiscoveryTest : public UpdateScenario {};

TEST_F(DiscoveryTest, FindsOpensAndTellsTheOperatorWhatToDo) {
  AttachMeter();
  const Millis start = clock.Now();
  OpenDialog();

  // One second before the search, one more before opening the meter.
  EXPECT_EQ(clock.Now() - start, Millis{2000});
  EXPECT_TRUE(dialog.readyForUpdate);
  EXPECT_EQ(logLines(), (std::vector<std::string>{
                            "Click \"Select\" button and find the file you want to update.", "",
                            "  5407 for DSP firmware.", "  1232 for 430 firmware."}));
  EXPECT_EQ(console.select, (ButtonState{"Select", true, true}));
  EXPECT_EQ(console.exit, (ButtonState{"Exit", true, true}));
  EXPECT_TRUE(console.messageBoxes.empty());

  // Commands and queries over the opened session: exact bytes at the meter.
  EXPECT_EQ(ExchangeCommand(*services, dialog.session, "L0"), "");
  EXPECT_EQ(ExchangeCommand(*services, dialog.session, "*idn?\n"),
            "NAVIR,Q1000,SN000123,01.20.05.12");
  EXPECT_EQ(ExchangeCommand(*services, dialog.session, "cal:sec:serial?"), "SN000123\n");
  EXPECT_EQ(textWrites(), (std::vector<std::string>{"L0\n", "*idn?\n", "cal:sec:serial?\n"}));
  const auto reads = EventsOfKind(timeline(), TimelineKind::Read);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].offered, kReplyReadSize);
}

TEST_F(DiscoveryTest, TwoMetersAreEachOpenedOnceAndTheLastIsKept) {
  AttachMeter("meters=2");
  const Millis start = clock.Now();
  OpenDialog();
  EXPECT_EQ(clock.Now() - start, Millis{3000}) << "a second before each open";
  EXPECT_EQ(EventsOfKind(sim->meter(0).timeline(), TimelineKind::Opened).size(), 1u);
  EXPECT_EQ(EventsOfKind(sim->meter(1).timeline(), TimelineKind::Opened).size(), 1u);

  ExchangeCommand(*services, dialog.session, "L0\n");
  EXPECT_TRUE(EventsOfKind(sim->meter(0).timeline(), TimelineKind::Write).empty());
  EXPECT_EQ(EventsOfKind(sim->meter(1).timeline(), TimelineKind::Write).size(), 1u);

  CloseSessionsForExit(dialog);
  EXPECT_EQ(sim->OpenHandleCount(), 0) << "closing the resource manager closes both";
}

TEST_F(DiscoveryTest, PackageReconnectWaitsFiveSecondsAndOpensEveryMatch) {
  AttachMeter("meters=2");
  InstrumentSession session;
  const Millis start = clock.Now();
  ReconnectPackageSession(*services, session);
  EXPECT_EQ(clock.Now() - start, Millis{5000});
  EXPECT_EQ(session.count, 2u);
  EXPECT_EQ(EventsOfKind(sim->meter(0).timeline(), TimelineKind::Opened).size(), 1u);
  EXPECT_EQ(EventsOfKind(sim->meter(1).timeline(), TimelineKind::Opened).size(), 1u);
  EXPECT_TRUE(console.messageBoxes.empty());
  EXPECT_TRUE(console.log.str().empty()) << "the package side writes no log";
  CloseSessions(session);
  EXPECT_EQ(sim->OpenHandleCount(), 0);
}

TEST_F(DiscoveryTest, PackageReconnectWithoutMeterWarnsWithoutOwner) {
  AttachMeter("absent=1");
  InstrumentSession session;
  ReconnectPackageSession(*services, session);
  EXPECT_EQ(session.count, 0u);
  ASSERT_EQ(console.messageBoxes.size(), 1u);
  EXPECT_EQ(console.messageBoxes[0].text, "Meter not found.");
  EXPECT_EQ(console.messageBoxes[0].caption, "Quorvel");
  EXPECT_EQ(console.messageBoxes[0].owner, MessageOwner::kNone);
  EXPECT_EQ(sim->OpenHandleCount(), 0);
}

TEST_F(DiscoveryTest, SilentMeterCostsTheSessionTimeOutAndGivesEmptyValues) {
  AttachMeterAndOpenDialog("silent=1");
  const Millis start = clock.Now();
  const MeterVersions versions = IdentifyInstrument(*services, dialog.session);
  // 30 ms, then half a second before the read, which waits the 20 s time-out.
  EXPECT_EQ(clock.Now() - start, Millis{30 + 500 + 20000});
  EXPECT_EQ(versions.instrumentVersion, "");
  EXPECT_FALSE(IsWrongMode(versions));
  EXPECT_EQ(ReadSerial(*services, dialog.session), "");
}

TEST_F(DiscoveryTest, ClosedSessionTransfersNothing) {
  AttachMeterAndOpenDialog();
  CloseSessionsForExit(dialog);
  EXPECT_EQ(ExchangeCommand(*services, dialog.session, "*idn?\n"), "");
  EXPECT_EQ(dialog.session.count, 0u);
  EXPECT_TRUE(textWrites().empty());
}

}  // namespace
}  // namespace quorvel::testing
