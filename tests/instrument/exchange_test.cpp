// The command/query rule of the command exchange, the reply text, and the
// identification values taken from the meter's replies.
#include <gtest/gtest.h>

#include "common/clock.h"
#include "instrument/instrument_session.h"
#include "support/memory_file_system.h"
#include "support/recording_console.h"
#include "support/scripted_visa.h"

namespace quorvel {
namespace {

using testing::MemoryFileSystem;
using testing::RecordingConsole;
using testing::ScriptedVisa;

// A session opened on the scripted library, as discovery leaves it.
InstrumentSession OpenedSession(ScriptedVisa& visa) {
  InstrumentSession session;
  session.resourceManager = OpenResourceManager(visa);
  session.instrument = OpenSession(visa, session.resourceManager, "USB0::1::2::A::INSTR").session;
  return session;
}

struct QueryCase {
  const char* command;
  bool isQuery;
};

class QueryRuleTest : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryRuleTest, ReadsAReplyOnlyForQueries) {
  VirtualClock clock;
  ScriptedVisa visa(clock);
  RecordingConsole console;
  MemoryFileSystem files;
  Services services{visa, console, clock, files};
  InstrumentSession session = OpenedSession(visa);
  visa.replies.push_back("answer\n");

  const std::string reply = ExchangeCommand(services, session, GetParam().command);

  const bool read = visa.calls.back().operation == "read";
  EXPECT_EQ(read, GetParam().isQuery);
  EXPECT_EQ(reply, GetParam().isQuery ? "answer\n" : "");
  // A query waits half a second for the meter before reading.
  EXPECT_EQ(clock.Now(), Millis{GetParam().isQuery ? 500 : 0});
}

INSTANTIATE_TEST_SUITE_P(Commands, QueryRuleTest,
                         ::testing::Values(QueryCase{"L0\n", false},
                                           QueryCase{"*idn?\n", true},
                                           QueryCase{"cal:sec:serial?\n", true},
                                           QueryCase{"?\n", false},
                                           QueryCase{"?abc", false},
                                           QueryCase{"?a?", true},
                                           QueryCase{"*TRG;TRIG\n", true},
                                           QueryCase{"trig\n", false},
                                           QueryCase{"system:update\n", false}));

struct ExchangeFixture : ::testing::Test {
  VirtualClock clock;
  ScriptedVisa visa{clock};
  RecordingConsole console;
  MemoryFileSystem files;
  Services services{visa, console, clock, files};
  InstrumentSession session = OpenedSession(visa);
};

TEST_F(ExchangeFixture, AddsTheNewlineOnlyWhenTheCommandHasNone) {
  ExchangeCommand(services, session, "L0");
  ExchangeCommand(services, session, "L0\n");
  ExchangeCommand(services, session, "A\nB");
  EXPECT_EQ(visa.Writes(), (std::vector<std::string>{"L0\n", "L0\n", "A\nB"}));
  EXPECT_STREQ(session.commandBuffer.data(), "A\nB");
}

TEST_F(ExchangeFixture, RefusesACommandLongerThanItsBufferAndSendsNothing) {
  const std::string longest(kCommandBufferSize - 2, 'x');  // with its newline and NUL it fits
  ExchangeCommand(services, session, longest);
  EXPECT_EQ(visa.Writes().size(), 1u);

  // 1023 characters and the newline added to them leave no room for the NUL.
  ExchangeCommand(services, session, std::string(kCommandBufferSize - 1, 'x'));
  EXPECT_EQ(visa.Writes().size(), 1u);
  EXPECT_EQ(session.commandBuffer.back(), '\0');
  ExchangeCommand(services, session, std::string(kCommandBufferSize - 2, 'x') + "\n");
  EXPECT_EQ(visa.Writes().size(), 2u) << "1023 characters with their own newline fit";

  const std::string tooLong(kCommandBufferSize, 'x');
  EXPECT_EQ(ExchangeCommand(services, session, tooLong + "?"), "");
  EXPECT_EQ(visa.Writes().size(), 2u);
  EXPECT_EQ(session.count, 0u);
  EXPECT_EQ(session.lastStatus, VI_ERROR_INV_PARAMETER);
}

TEST_F(ExchangeFixture, ReplyIsCutToTheTransferCountAndAtANul) {
  visa.replies.push_back(std::string("SN1\0junk", 8));
  EXPECT_EQ(ExchangeCommand(services, session, "cal:sec:serial?\n"), "SN1");

  visa.replies.push_back(std::string(300, 'a'));  // more than one read may take
  EXPECT_EQ(ExchangeCommand(services, session, "*idn?\n").size(), kReplyReadSize);
}

TEST_F(ExchangeFixture, SilentMeterGivesAnEmptyReply) {
  EXPECT_EQ(ExchangeCommand(services, session, "*idn?\n"), "");
  EXPECT_EQ(session.count, 0u);
}

struct IdentityCase {
  std::string reply;
  std::string instrumentVersion;
  std::string tail;
  bool wrongMode;
  bool usable;  // firmware may be judged against it (when the reply really arrived)
};

class IdentityTest : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(IdentityTest, TakesTheVersionFromTheLastElevenCharacters) {
  const MeterVersions versions = VersionsFromIdentity(GetParam().reply);
  EXPECT_EQ(versions.instrumentVersion, GetParam().instrumentVersion);
  EXPECT_EQ(versions.tail, GetParam().tail);
  EXPECT_EQ(IsWrongMode(versions), GetParam().wrongMode);
  EXPECT_EQ(IsUsableIdentity({GetParam().reply, true, versions}), GetParam().usable);
  EXPECT_FALSE(IsUsableIdentity({GetParam().reply, false, versions})) << "a failed read";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IdentityTest,
    ::testing::Values(
        IdentityCase{"NAVIR,Q1000,SN000123,01.20.05.12", "01.20", "01.20.05.12", false, true},
        // A trailing newline counts as one of the eleven characters.
        IdentityCase{"NAVIR,Q1000,SN000123,01.20.05.12\n", "1.20.", "1.20.05.12\n", false,
                     true},
        IdentityCase{"X,02.xx.00.0\n", "02.xx", "02.xx.00.0\n", false, true},
        IdentityCase{"NAVIR,Q1000 BOOT,SN000123,WDL00.00.00", "WDL00", "WDL00.00.00", true, true},
        IdentityCase{"wdl00.00.00", "wdl00", "wdl00.00.00", false, true},
        IdentityCase{"", "", "", false, false}, IdentityCase{"01.2", "01.2", "01.2", false, false},
        IdentityCase{"WDL", "WDL", "WDL", true, false},
        IdentityCase{"0123456789", "01234", "0123456789", false, false}));

TEST_F(ExchangeFixture, OnlyAnIdentityThatArrivedCounts) {
  visa.replies.push_back("NAVIR,Q1000,SN000123,01.20.05.12");
  EXPECT_TRUE(IsUsableIdentity(ReadIdentity(services, session)));
  // No reply: the read times out.
  const MeterIdentity silent = ReadIdentity(services, session);
  EXPECT_FALSE(silent.answered);
  EXPECT_FALSE(IsUsableIdentity(silent));
}

TEST_F(ExchangeFixture, IdentificationSendsL0WaitsThenAsks) {
  visa.replies.push_back("NAVIR,Q1000,SN000123,01.20.05.12");
  const MeterVersions versions = IdentifyInstrument(services, session);
  EXPECT_EQ(visa.Writes(), (std::vector<std::string>{"L0\n", "*idn?\n"}));
  // 30 ms after "L0", then the query's 500 ms.
  EXPECT_EQ(clock.Now(), Millis{530});
  EXPECT_EQ(versions.instrumentVersion, "01.20");
  EXPECT_EQ(session.lastReply, "01.20.05.12");
}

TEST_F(ExchangeFixture, SerialKeepsItsNewline) {
  visa.replies.push_back("SN000123\n");
  EXPECT_EQ(ReadSerial(services, session), "SN000123\n");
}

}  // namespace
}  // namespace quorvel
