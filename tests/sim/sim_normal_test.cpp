// The meter in normal mode behind the sim VISA backend: identity, replies,
// sessions, time-outs, several meters.
#include <gtest/gtest.h>

#include <array>

#include "sim/sim_bench.h"

namespace quorvel::testing {
namespace {

TEST(SimNormal, AnswersItsQueries) {
  struct Case {
    const char* knobs;
    const char* query;
    const char* reply;
  };
  const Case cases[] = {
      {"", "*idn?\n", "NAVIR,Q1000,SN000123,01.20.05.12"},
      {"", "*IDN?\n", "NAVIR,Q1000,SN000123,01.20.05.12"},
      {"", "*idn?", "NAVIR,Q1000,SN000123,01.20.05.12"},
      {"", "cal:sec:serial?\n", "SN000123\n"},
      {"", "CAL:SEC:SERIAL?\n", "SN000123\n"},
      {"", "meas:volt:dc?\n", "\n"},
      {"", "@?\n", "\n"},
      {"serial=XY42", "*idn?\n", "NAVIR,Q1000,XY42,01.20.05.12"},
      {"serial=XY42", "cal:sec:serial?\n", "XY42\n"},
      {"version=02.xx.05.12", "*idn?\n", "NAVIR,Q1000,SN000123,02.xx.05.12"},
      {"idn=ACME,M1,7,T1.00.00.00", "*idn?\n", "ACME,M1,7,T1.00.00.00"},
      {"idn=ACME,M1,7,T1.00.00.00,version=01.21.05.12", "*idn?\n", "ACME,M1,7,01.21.05.12"},
      {"idn=SHORT,version=01.21.05.12", "*idn?\n", "01.21.05.12"},
      {"newline=1", "*idn?\n", "NAVIR,Q1000,SN000123,01.20.05.12\n"},
  };
  for (const Case& c : cases) {
    SimBench bench(c.knobs);
    const ViSession session = bench.Open();
    EXPECT_EQ(bench.Query(session, c.query), c.reply) << c.knobs << " " << c.query;
  }
}

TEST(SimNormal, CommandsGetNoReply) {
  for (const char* command : {"L0\n", "*rst\n", "syst:beep\n"}) {
    SimBench bench;
    const ViSession session = bench.Open();
    EXPECT_EQ(bench.Write(session, command).count, std::string_view(command).size());
    const Millis before = bench.clock.Now();
    const Reading reading = bench.Read(session);
    EXPECT_EQ(reading.status, VI_ERROR_TMO) << command;
    EXPECT_TRUE(reading.bytes.empty()) << command;
    EXPECT_EQ(bench.clock.Now() - before, Millis{2000}) << "VISA's default time-out";
  }
}

TEST(SimNormal, BinaryDataIsAnIgnoredCommand) {
  SimBench bench;
  const ViSession session = bench.Open();
  Bytes binary = Pattern(240);
  binary.back() = '?';
  bench.Write(session, binary);
  EXPECT_EQ(bench.Read(session).status, VI_ERROR_TMO) << "binary data is no query";
  EXPECT_TRUE(DataFrames(bench.meter().timeline()).empty());
  EXPECT_EQ(bench.meter().mode(), SimMode::Normal);
}

TEST(SimNormal, ShortReadsKeepTheRestOfTheReply) {
  SimBench bench;
  const ViSession session = bench.Open();
  bench.Write(session, "*idn?\n");
  const Reading first = bench.Read(session, 20);
  EXPECT_EQ(first.status, VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(first.text(), "NAVIR,Q1000,SN000123");
  const Reading rest = bench.Read(session, 240);
  EXPECT_EQ(rest.status, VI_SUCCESS);
  EXPECT_EQ(rest.text(), ",01.20.05.12");
  EXPECT_EQ(bench.Read(session).status, VI_ERROR_TMO);
}

TEST(SimNormal, ANewQueryReplacesAnUnreadReply) {
  SimBench bench;
  const ViSession session = bench.Open();
  bench.Write(session, "*idn?\n");
  EXPECT_EQ(bench.Query(session, "cal:sec:serial?\n"), "SN000123\n");
}

TEST(SimNormal, ClearDropsThePendingReply) {
  SimBench bench;
  const ViSession session = bench.Open();
  bench.Write(session, "*idn?\n");
  EXPECT_EQ(bench.visa->viClear(session), VI_SUCCESS);
  EXPECT_EQ(bench.Read(session).status, VI_ERROR_TMO);
  EXPECT_EQ(EventsOfKind(bench.meter().timeline(), TimelineKind::Cleared).size(), 1u);
}

TEST(SimNormal, ReadsWaitTheSessionTimeoutOnTheClock) {
  struct Case {
    const char* knobs;
    ViUInt32 timeoutMs;
    const char* query;  // nothing asked when null
    ViStatus status;
    Millis waited;
  };
  const Case cases[] = {
      {"", 20000, nullptr, VI_ERROR_TMO, Millis{20000}},
      {"silent=1", 20000, "*idn?\n", VI_ERROR_TMO, Millis{20000}},
      {"silent=1", 500, "*idn?\n", VI_ERROR_TMO, Millis{500}},
      {"slow_ms=300", 20000, "*idn?\n", VI_SUCCESS, Millis{300}},
      {"slow_ms=300", 300, "*idn?\n", VI_SUCCESS, Millis{300}},
      {"slow_ms=3000", 2000, "*idn?\n", VI_ERROR_TMO, Millis{2000}},
      {"slow_ms=300", 20000, nullptr, VI_ERROR_TMO, Millis{20000}},
      // A slow identity holds up "*idn?" alone, on top of every reply's delay.
      {"idn_slow_ms=25000", 20000, "*idn?\n", VI_ERROR_TMO, Millis{20000}},
      {"idn_slow_ms=700,slow_ms=300", 20000, "*idn?\n", VI_SUCCESS, Millis{1000}},
      {"idn_slow_ms=25000", 20000, "cal:sec:serial?\n", VI_SUCCESS, Millis{0}},
  };
  for (const Case& c : cases) {
    SimBench bench(c.knobs);
    const ViSession session = bench.Open();
    ASSERT_EQ(bench.visa->viSetAttribute(session, VI_ATTR_TMO_VALUE, c.timeoutMs), VI_SUCCESS);
    if (c.query != nullptr) bench.Write(session, c.query);
    const Millis before = bench.clock.Now();
    const Reading reading = bench.Read(session);
    EXPECT_EQ(reading.status, c.status) << c.knobs << " timeout " << c.timeoutMs;
    EXPECT_EQ(reading.bytes.empty(), c.status == VI_ERROR_TMO) << c.knobs;
    EXPECT_EQ(bench.clock.Now() - before, c.waited) << c.knobs << " timeout " << c.timeoutMs;
  }
}

TEST(SimNormal, EachMeterHasItsOwnSerialAndSession) {
  SimBench bench("meters=2");
  ASSERT_EQ(bench.visa->meterCount(), 2u);
  EXPECT_EQ(bench.meter(1).resourceName(), "USB0::0x1D7C::0x4A35::SN000124::INSTR");

  ViFindList list = VI_NULL;
  ViUInt32 count = 0;
  std::array<ViChar, VI_FIND_BUFLEN> descriptor{};
  ASSERT_EQ(bench.visa->viFindRsrc(bench.rm, "USB0::0x1D7C::0x4A35::?*INSTR", &list, &count,
                                   descriptor.data()),
            VI_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(descriptor.data(), "USB0::0x1D7C::0x4A35::SN000123::INSTR");
  ASSERT_EQ(bench.visa->viFindNext(list, descriptor.data()), VI_SUCCESS);
  EXPECT_STREQ(descriptor.data(), "USB0::0x1D7C::0x4A35::SN000124::INSTR");

  const ViSession second = bench.Open(1);
  EXPECT_EQ(bench.Query(second, "*idn?\n"), "NAVIR,Q1000,SN000124,01.20.05.12");
  EXPECT_TRUE(EventsOfKind(bench.meter(0).timeline(), TimelineKind::Write).empty());
}

TEST(SimNormal, AbsentMeansNothingToFind) {
  SimBench bench("absent=1");
  EXPECT_EQ(bench.visa->meterCount(), 0u);
  ViUInt32 count = 7;
  ViFindList list = VI_NULL;
  EXPECT_EQ(bench.visa->viFindRsrc(bench.rm, "?*INSTR", &list, &count, nullptr),
            VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(count, 0u);
  ViSession session = VI_NULL;
  EXPECT_EQ(bench.visa->viOpen(bench.rm, "USB0::0x1D7C::0x4A35::SN000123::INSTR", 0, 0, &session),
            VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(bench.visa->OpenHandleCount(), 1);
}

TEST(SimNormal, OpenAcceptsAnySpellingOfTheMetersName) {
  struct Case {
    const char* name;
    ViStatus status;
  };
  for (const Case& c : {Case{"usb0::0x1d7c::0x4a35::sn000123::instr", VI_SUCCESS},
                        Case{"USB0::7548::18997::SN000123::0::INSTR", VI_SUCCESS},
                        Case{"USB0::0x1D7C::0x4A35::SN000999::INSTR", VI_ERROR_RSRC_NFOUND},
                        Case{"USB0::0x1D7C::0x4A35::SN000123::1::INSTR", VI_ERROR_RSRC_NFOUND},
                        Case{"TCPIP0::10.0.0.1::INSTR", VI_ERROR_INV_RSRC_NAME},
                        Case{nullptr, VI_ERROR_INV_RSRC_NAME}}) {
    SimBench bench;
    ViSession session = VI_NULL;
    EXPECT_EQ(bench.visa->viOpen(bench.rm, c.name, 0, 0, &session), c.status)
        << (c.name ? c.name : "null");
    EXPECT_EQ(session != VI_NULL, c.status == VI_SUCCESS);
  }
}

TEST(SimSessions, ClosedAndUnknownHandlesTransferNothing) {
  SimBench bench;
  const ViSession session = bench.Open();
  const ViSession spare = bench.Open();
  ASSERT_EQ(bench.visa->viClose(session), VI_SUCCESS);
  EXPECT_EQ(bench.visa->viClose(session), VI_ERROR_INV_OBJECT);

  ASSERT_EQ(bench.visa->viClose(bench.rm), VI_SUCCESS);  // takes `spare` with it
  for (const ViSession handle : {session, spare, ViSession{12345}}) {
    ViUInt32 count = 99;
    const Bytes command = ToBytes("*idn?\n");
    EXPECT_EQ(bench.visa->viWrite(handle, command.data(), 6, &count), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(count, 0u);
    std::array<ViByte, 16> buffer{};
    count = 99;
    EXPECT_EQ(bench.visa->viRead(handle, buffer.data(), 16, &count), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bench.visa->viClear(handle), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(bench.visa->viSetAttribute(handle, VI_ATTR_TMO_VALUE, 1), VI_ERROR_INV_OBJECT);
  }
  EXPECT_EQ(bench.visa->OpenHandleCount(), 0);
  EXPECT_TRUE(EventsOfKind(bench.meter().timeline(), TimelineKind::Write).empty());
}

TEST(SimSessions, OpenAndCloseAreOnTheTimeline) {
  SimBench bench;
  const ViSession session = bench.Open();
  bench.clock.Advance(Millis{40});
  bench.visa->viClose(session);
  const auto& timeline = bench.meter().timeline();
  ASSERT_EQ(timeline.size(), 2u);
  EXPECT_EQ(timeline[0].kind, TimelineKind::Opened);
  EXPECT_EQ(timeline[1].kind, TimelineKind::Closed);
  EXPECT_EQ(timeline[1].time, Millis{40});
}

}  // namespace
}  // namespace quorvel::testing
