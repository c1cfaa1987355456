// Knob parsing: the values each knob takes and the refusals that name it.
#include "sim/sim_config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace quorvel {
namespace {

SimConfig ParseOrFail(std::string_view knobs) {
  std::string error;
  const auto config = SimConfig::Parse(knobs, &error);
  EXPECT_TRUE(config.has_value()) << knobs << ": " << error;
  return config.value_or(SimConfig{});
}

TEST(SimConfig, EachKnobSetsItsField) {
  struct Case {
    const char* knobs;
    std::function<bool(const SimConfig&)> holds;
  };
  const Case cases[] = {
      {"idn=ACME,X1,SN9,02.00.00.01", [](auto& c) { return c.idn == "ACME,X1,SN9,02.00.00.01"; }},
      {"idn=", [](auto& c) { return c.idn == ""; }},
      {"version=02.xx.05.12", [](auto& c) { return c.version == "02.xx.05.12"; }},
      {"serial=AB12", [](auto& c) { return c.serial == "AB12"; }},
      {"newline=1", [](auto& c) { return c.newline; }},
      {"mode=update", [](auto& c) { return c.startInUpdateMode; }},
      {"mode=normal", [](auto& c) { return !c.startInUpdateMode; }},
      {"meters=3", [](auto& c) { return c.meters == 3; }},
      {"absent=1", [](auto& c) { return c.absent; }},
      {"reenumerate_ms=0", [](auto& c) { return c.reenumerate == Millis{0}; }},
      {"return=0", [](auto& c) { return !c.returnsAfterSwitch; }},
      {"min_gap_ms=50", [](auto& c) { return c.minGap == Millis{50}; }},
      {"verify=0", [](auto& c) { return !c.verifyChecksum; }},
      {"reboot_ms=7000", [](auto& c) { return c.reboot == Millis{7000}; }},
      {"prefix_ab=1", [](auto& c) { return c.prefixAb; }},
      {"status1=3",
       [](auto& c) { return c.status1 && !c.status1->empty && c.status1->character == '3'; }},
      {"status2=none", [](auto& c) { return c.status2 && c.status2->empty; }},
      {"end_reply=none", [](auto& c) { return c.endReplySilent && !c.status2; }},
      {"end_reply=status", [](auto& c) { return !c.endReplySilent; }},
      {"status1=0xAB", [](auto& c) { return c.status1 && c.status1->character == 0xAB; }},
      {"unplug_after=4", [](auto& c) { return c.unplugAfter == 4u; }},
      {"partial_at=2", [](auto& c) { return c.partialAt == 2u; }},
      {"silent=1", [](auto& c) { return c.silent; }},
      {"slow_ms=300", [](auto& c) { return c.slow == Millis{300}; }},
      {"idn_slow_ms=20000",
       [](auto& c) { return c.identitySlow == Millis{20000} && c.slow == Millis{0}; }},
      {"status1=2,prefix_ab=1", [](auto& c) { return c.status1->character == '2' && c.prefixAb; }},
      {"idn=A,B,C,verify=0", [](auto& c) { return c.idn == "A,B,C" && !c.verifyChecksum; }},
      {"adopt=0", [](auto& c) { return !c.adopt; }},
      {"return=once", [](auto& c) { return c.returnsAfterSwitch && !c.returnsAfterReboot; }},
      {"return=0", [](auto& c) { return !c.returnsAfterSwitch && !c.returnsAfterReboot; }},
      // A knob for one meter changes that meter only, on top of the knobs for all.
      {"meters=3,status1@2=2,slow_ms=5",
       [](auto& c) {
         return !c.status1 && !c.ForMeter(0).status1 && c.ForMeter(1).status1->character == '2' &&
                !c.ForMeter(2).status1 && c.ForMeter(1).slow == Millis{5};
       }},
      {"adopt@2=0,meters=2,return@1=once",
       [](auto& c) {
         return c.ForMeter(0).adopt && !c.ForMeter(1).adopt && !c.ForMeter(0).returnsAfterReboot &&
                c.ForMeter(1).returnsAfterReboot;
       }},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.holds(ParseOrFail(c.knobs))) << c.knobs;
  }
}

TEST(SimConfig, RefusalsNameTheKnob) {
  struct Case {
    const char* knobs;
    const char* named;
  };
  const Case cases[] = {
      {"colour=red", "colour"},
      {"status1=22", "status1"},
      {"status2=0xZZ", "status2"},
      {"end_reply=0", "end_reply"},
      {"meters=0", "meters"},
      {"meters=1000", "meters"},
      {"meters=-1", "meters"},
      {"mode=boot", "mode"},
      {"verify=yes", "verify"},
      {"return=2", "return"},
      {"slow_ms=", "slow_ms"},
      {"slow_ms=1e3", "slow_ms"},
      {"min_gap_ms=-5", "min_gap_ms"},
      {"reboot_ms=99999999999", "reboot_ms"},
      {"unplug_after=0", "unplug_after"},
      {"partial_at=x", "partial_at"},
      {"version=1.2", "version"},
      {"serial=", "serial"},
      {"serial=SN:1", "serial"},
      {"serial=SN 1", "serial"},
      {"silent=1,silent=0", "silent"},
      {"idn=bad\tidn", "idn"},
      {"novalue", "novalue"},
      {"status1@2=2", "status1@2"},
      {"meters=2,status1@0=2", "status1@0"},
      {"meters=2,status1@x=2", "status1@x"},
      {"meters=2,meters@2=3", "meters"},
      {"meters=2,serial@2=AB", "serial"},
      {"meters=2,status1@2=xx", "status1@2"},
      {"meters=2,colour@2=1", "colour"},
      {"meters=2,adopt@2=0,adopt@2=1", "adopt@2"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(SimConfig::Parse(c.knobs, &error).has_value()) << c.knobs;
    EXPECT_NE(error.find(std::string("\"") + c.named + "\""), std::string::npos)
        << c.knobs << ": " << error;
  }
}

TEST(SimConfig, LaterMetersCountTheSerialUp) {
  struct Case {
    const char* serial;
    std::size_t index;
    const char* expected;
  };
  for (const Case& c : {Case{"SN000123", 0, "SN000123"}, Case{"SN000123", 1, "SN000124"},
                        Case{"SN000199", 1, "SN000200"}, Case{"SN99", 1, "SN100"},
                        Case{"ABC", 0, "ABC"}, Case{"ABC", 2, "ABC-3"}}) {
    SimConfig config;
    config.serial = c.serial;
    EXPECT_EQ(config.SerialOf(c.index), c.expected) << c.serial << " #" << c.index;
  }
}

}  // namespace
}  // namespace quorvel
