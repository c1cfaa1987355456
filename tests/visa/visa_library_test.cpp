// The default formatted I/O, the backend factory and resource names.
#include "backends/backends.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sim/sim_visa.h"
#include "visa/resource_name.h"

namespace quorvel {
namespace {

// Records writes; answers reads from queued replies, honouring the read count.
class LoopbackVisa : public VisaLibrary {
 public:
  ViStatus viOpenDefaultRM(ViSession*) override { return VI_SUCCESS; }
  ViStatus viFindRsrc(ViSession, const ViChar*, ViFindList*, ViUInt32*, ViChar*) override {
    return VI_ERROR_RSRC_NFOUND;
  }
  ViStatus viFindNext(ViFindList, ViChar*) override { return VI_ERROR_RSRC_NFOUND; }
  ViStatus viOpen(ViSession, const ViChar*, ViAccessMode, ViUInt32, ViSession*) override {
    return VI_ERROR_RSRC_NFOUND;
  }
  ViStatus viClose(ViObject) override { return VI_SUCCESS; }
  ViStatus viSetAttribute(ViObject, ViAttr, ViAttrState) override { return VI_SUCCESS; }
  ViStatus viWrite(ViSession, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override {
    writes.emplace_back(reinterpret_cast<const char*>(buffer), count);
    *returnCount = std::min(count, writeLimit);
    return VI_SUCCESS;
  }
  ViStatus viRead(ViSession, ViByte* buffer, ViUInt32 count, ViUInt32* returnCount) override {
    readCounts.push_back(count);
    *returnCount = 0;
    if (replies.empty()) return VI_ERROR_TMO;
    const std::string reply = replies.front();
    replies.pop_front();
    *returnCount = static_cast<ViUInt32>(std::min<std::size_t>(count, reply.size()));
    std::memcpy(buffer, reply.data(), *returnCount);
    return *returnCount < reply.size() ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
  }
  ViStatus viClear(ViSession) override { return VI_SUCCESS; }

  std::vector<std::string> writes;
  std::vector<ViUInt32> readCounts;
  std::deque<std::string> replies;
  ViUInt32 writeLimit = 0xFFFFFFFF;
};

TEST(FormattedIo, PrintfSendsPlainTextAndRefusesConversions) {
  struct Case {
    const char* format;
    ViStatus status;
    std::vector<std::string> writes;
  };
  for (const Case& c :
       {Case{"*IDN?\n", VI_SUCCESS, {"*IDN?\n"}}, Case{"100%% done\n", VI_SUCCESS, {"100% done\n"}},
        Case{"%d\n", VI_ERROR_NSUP_FMT, {}}, Case{"ends in %", VI_ERROR_NSUP_FMT, {}},
        Case{"%s", VI_ERROR_NSUP_FMT, {}}, Case{nullptr, VI_ERROR_INV_PARAMETER, {}}}) {
    LoopbackVisa visa;
    EXPECT_EQ(visa.viPrintf(1, c.format), c.status) << (c.format ? c.format : "null");
    EXPECT_EQ(visa.writes, c.writes);
  }
}

TEST(FormattedIo, PrintfReportsAShortWrite) {
  LoopbackVisa visa;
  visa.writeLimit = 2;
  EXPECT_EQ(visa.viPrintf(1, "*IDN?\n"), VI_ERROR_IO);
}

TEST(FormattedIo, ScanfReadsOneMessageIntoTheBuffer) {
  LoopbackVisa visa;
  visa.replies = {"NAVIR,Q1000,SN000123,01.20.05.12"};
  std::vector<ViChar> buffer(8, '#');
  EXPECT_EQ(visa.viScanf(1, "%t", buffer.data(), buffer.size()), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(visa.readCounts, std::vector<ViUInt32>{7});
  EXPECT_STREQ(buffer.data(), "NAVIR,Q");

  visa.replies = {"ok"};
  EXPECT_EQ(visa.viScanf(1, "%t", buffer.data(), buffer.size()), VI_SUCCESS);
  EXPECT_STREQ(buffer.data(), "ok");

  EXPECT_EQ(visa.viScanf(1, "%t", buffer.data(), buffer.size()), VI_ERROR_TMO);
  EXPECT_STREQ(buffer.data(), "");
}

TEST(FormattedIo, ScanfRefusesOtherFormatsAndTinyBuffers) {
  LoopbackVisa visa;
  visa.replies = {"x"};
  std::vector<ViChar> buffer(8, '#');
  EXPECT_EQ(visa.viScanf(1, "%s", buffer.data(), buffer.size()), VI_ERROR_NSUP_FMT);
  EXPECT_EQ(visa.viScanf(1, "%t%t", buffer.data(), buffer.size()), VI_ERROR_NSUP_FMT);
  EXPECT_EQ(visa.viScanf(1, nullptr, buffer.data(), buffer.size()), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visa.viScanf(1, "%t", buffer.data(), 1), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], '#');
  EXPECT_EQ(visa.viScanf(1, "%t", buffer.data(), 0), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visa.viScanf(1, "%t", nullptr, 8), VI_ERROR_INV_PARAMETER);
  EXPECT_TRUE(visa.readCounts.empty());
}

TEST(VisaFactory, MakesTheSimBackendWithItsKnobs) {
  VirtualClock clock;
  std::string error;
  auto plain = MakeVisaLibrary("sim", clock, &error);
  ASSERT_NE(plain, nullptr) << error;
  auto* sim =
      dynamic_cast<SimVisa*>(MakeVisaLibrary("sim:meters=2,silent=1", clock, &error).release());
  ASSERT_NE(sim, nullptr) << error;
  std::unique_ptr<SimVisa> owner(sim);
  EXPECT_EQ(sim->meterCount(), 2u);
  EXPECT_TRUE(sim->config().silent);
}

// The usbtmc backend is not built for Windows and says so whatever it is given.
#ifdef _WIN32
constexpr const char* kUsbtmcWithOptionsRefusal = "built for Linux only";
#else
constexpr const char* kUsbtmcWithOptionsRefusal = "bad usbtmc option \"fast=1\"";
#endif

TEST(VisaFactory, RefusalsSayWhy) {
  struct Case {
    const char* name;
    const char* errorPart;
  };
  for (const Case& c :
       {Case{"sim:bogus=1", "\"bogus\""}, Case{"sim:min_gap_ms=soon", "\"min_gap_ms\""},
        Case{"usbtmc:fast=1", kUsbtmcWithOptionsRefusal},
        Case{"system:path=/no/such/libvisa.so", "\"/no/such/libvisa.so\""},
        Case{"visa32", "known: sim, usbtmc, system"}, Case{"", "known: sim, usbtmc, system"}}) {
    VirtualClock clock;
    std::string error;
    EXPECT_EQ(MakeVisaLibrary(c.name, clock, &error), nullptr) << c.name;
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.name << ": " << error;
  }
}

TEST(ResourceName, ParsesAndSpellsUsbInstrNames) {
  struct Case {
    const char* text;
    bool valid;
    const char* canonical;
  };
  for (const Case& c :
       {Case{"USB0::0x1D7C::0x4A35::SN000123::INSTR", true,
             "USB0::0x1D7C::0x4A35::SN000123::INSTR"},
        Case{"usb0::0x1d7c::0x4a35::SN000123::instr", true,
             "USB0::0x1D7C::0x4A35::SN000123::INSTR"},
        Case{"USB1::7548::18997::S::0::INSTR", true, "USB1::0x1D7C::0x4A35::S::0::INSTR"},
        Case{"USB0::0x1D7C::0x4A35::SN000123", false, ""},
        Case{"USB0::0x1D7C::0x4A35::::INSTR", false, ""},
        Case{"USB0::0x11D7C::0x4A35::S::INSTR", false, ""},
        Case{"USB0::0xZZ::0x4A35::S::INSTR", false, ""},
        Case{"USB::0x1D7C::0x4A35::S::INSTR", false, ""},
        Case{"GPIB0::0x1D7C::0x4A35::S::INSTR", false, ""},
        Case{"USB0::0x1D7C::0x4A35::S::1::2::INSTR", false, ""}, Case{"", false, ""}}) {
    const auto parsed = ParseUsbResourceName(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
    if (parsed) {
      EXPECT_EQ(parsed->ToString(), c.canonical);
    }
  }
}

TEST(ResourceName, SameResourceIgnoresCaseOfTheSerial) {
  const auto a = ParseUsbResourceName("USB0::0x1D7C::0x4A35::sn000123::INSTR");
  const auto b = ParseUsbResourceName("USB0::0x1D7C::0x4A35::SN000123::0::INSTR");
  const auto c = ParseUsbResourceName("USB0::0x1D7C::0x4A35::SN000124::INSTR");
  ASSERT_TRUE(a && b && c);
  EXPECT_TRUE(SameUsbResource(*a, *b));
  EXPECT_FALSE(SameUsbResource(*a, *c));
}

}  // namespace
}  // namespace quorvel
