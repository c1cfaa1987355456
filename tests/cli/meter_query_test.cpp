#include "cli/meter_text.h"

#include <gtest/gtest.h>

namespace quorvel::cli {
namespace {

TEST(ProcessorVersions, AreCutFromTheIdentityTailWithinItsLength) {
  const struct {
    const char* reply;
    const char* dsp;
    const char* panel;
    const char* msp430;
  } cases[] = {
      {"NAVIR,Q1000,SN000123,01.20.05.12", "01.20", "05", "12"},
      {"NAVIR,Q1000,SN000123,02.10.06.13", "02.10", "06", "13"},
      // A trailing newline is one of the eleven characters, as for the update.
      {"NAVIR,Q1000,SN000123,01.20.05.12\n", "1.20.", "5.", "2\n"},
      {"01.20.05", "01.20", "05", ""},
      {"01.2", "01.2", "", ""},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    const ProcessorVersions versions = ProcessorVersionsOf(VersionsFromIdentity(c.reply));
    EXPECT_EQ(versions.dsp, c.dsp) << c.reply;
    EXPECT_EQ(versions.panel, c.panel) << c.reply;
    EXPECT_EQ(versions.msp430, c.msp430) << c.reply;
  }
}

TEST(MeterText, PrintsWhatTheMeterSentHarmlessly) {
  MeterRecord meter;
  meter.resource = "USB0::0x1D7C::0x4A35::SN000123::INSTR";
  meter.opened = true;
  meter.identity = "EVIL\x1b]0;owned\x07,01.20.05.12\n";
  meter.serial = "SN\r000123\n";
  meter.versions = VersionsFromIdentity(meter.identity);
  const std::string text = RenderMeterText(meter);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("  Identity: EVIL\\x1B]0;owned\\x07,01.20.05.12\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("  Serial:   SN\\x0D000123\n"), std::string::npos) << text;
}

TEST(MeterText, SaysWhenAMeterCouldNotBeOpenedIsInUpdateModeOrGaveNoIdentity) {
  MeterRecord closed;
  closed.resource = "USB0::0x1D7C::0x4A35::SN1::INSTR";
  EXPECT_EQ(RenderMeterText(closed), "USB0::0x1D7C::0x4A35::SN1::INSTR\n  could not be opened\n");

  MeterRecord booting;
  booting.resource = "USB0::0x1D7C::0x4A35::SN1::INSTR";
  booting.opened = true;
  booting.identity = "NAVIR,Q1000 BOOT,SN1,WDL00.00.00";
  booting.versions = VersionsFromIdentity(booting.identity);
  booting.updateMode = true;
  booting.identified = true;
  const std::string text = RenderMeterText(booting);
  EXPECT_NE(text.find("Versions: not reported in update mode"), std::string::npos);
  EXPECT_NE(text.find("Mode:     update"), std::string::npos);

  MeterRecord silent = booting;
  silent.identity.clear();
  silent.updateMode = false;
  silent.identified = false;
  EXPECT_NE(RenderMeterText(silent).find("Versions: none (the meter did not identify itself)"),
            std::string::npos);
}

}  // namespace
}  // namespace quorvel::cli
