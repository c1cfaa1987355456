#include "visa/resource_filter_visa.h"

#include <gtest/gtest.h>

#include <array>

#include "backends/backends.h"
#include "common/clock.h"
#include "firmware/file_source.h"
#include "instrument/instrument_session.h"
#include "support/recording_console.h"
#include "visa/handle_table.h"

namespace quorvel {
namespace {

constexpr const char* kSecondMeter = "USB0::0x1D7C::0x4A35::SN000124::INSTR";

class ResourceFilterVisaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    sim_ = MakeVisaLibrary("sim:meters=3", clock_, &error);
    ASSERT_TRUE(sim_) << error;
  }

  VirtualClock clock_;
  std::unique_ptr<VisaLibrary> sim_;
};

TEST_F(ResourceFilterVisaTest, EverySearchFindsOnlyThePinnedMeter) {
  ResourceFilterVisa pinned(*sim_, SameResource("usb0::0x1d7c::0x4a35::sn000124::instr"));  // any case
  ViSession manager = VI_NULL;
  ASSERT_EQ(pinned.viOpenDefaultRM(&manager), VI_SUCCESS);
  for (const char* expression : {kDialogSearchExpression, kPackageSearchExpression}) {
    ViFindList list = VI_NULL;
    ViUInt32 count = 99;
    std::array<ViChar, VI_FIND_BUFLEN> descriptor{};
    EXPECT_EQ(pinned.viFindRsrc(manager, expression, &list, &count, descriptor.data()), VI_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(descriptor.data(), kSecondMeter);
    EXPECT_FALSE(ViSucceeded(pinned.viFindNext(list, descriptor.data())));
  }
  pinned.viClose(manager);
}

TEST_F(ResourceFilterVisaTest, AMeterThatIsNotAttachedIsNotFound) {
  ResourceFilterVisa pinned(*sim_, SameResource("USB0::0x1D7C::0x4A35::SN999999::INSTR"));
  ViSession manager = VI_NULL;
  pinned.viOpenDefaultRM(&manager);
  ViFindList list = VI_NULL;
  ViUInt32 count = 99;
  std::array<ViChar, VI_FIND_BUFLEN> descriptor{};
  descriptor.fill('x');
  EXPECT_EQ(pinned.viFindRsrc(manager, kPackageSearchExpression, &list, &count, descriptor.data()),
            VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(descriptor[0], '\0');
  pinned.viClose(manager);
}

TEST_F(ResourceFilterVisaTest, DiscoveryOpensThePinnedMeterInsteadOfTheLastOne) {
  testing::RecordingConsole console;
  DiskFileSystem files;
  const auto serialOfDiscoveredMeter = [&](VisaLibrary& visa) {
    Services services{visa, console, clock_, files};
    InstrumentSession session;
    bool ready = false;
    DiscoverInstrument(services, session, ready);
    EXPECT_TRUE(ready);
    const std::string serial = ReadSerial(services, session);
    CloseSessions(session);
    return serial;
  };
  EXPECT_EQ(serialOfDiscoveredMeter(*sim_), "SN000125\n");
  ResourceFilterVisa pinned(*sim_, SameResource(kSecondMeter));
  EXPECT_EQ(serialOfDiscoveredMeter(pinned), "SN000124\n");
  ResourceFilterVisa bySerial(*sim_, SameSerial("sn000124"));
  EXPECT_EQ(serialOfDiscoveredMeter(bySerial), "SN000124\n");
}

TEST_F(ResourceFilterVisaTest, FindAllResourcesListsEveryMatchInOrderUpToTheLimit) {
  ViSession manager = VI_NULL;
  sim_->viOpenDefaultRM(&manager);
  const auto all = FindAllResources(*sim_, manager, kPackageSearchExpression, 10);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], "USB0::0x1D7C::0x4A35::SN000123::INSTR");
  EXPECT_EQ(all[2], "USB0::0x1D7C::0x4A35::SN000125::INSTR");
  EXPECT_EQ(FindAllResources(*sim_, manager, kPackageSearchExpression, 2).size(), 2u);
  EXPECT_TRUE(FindAllResources(*sim_, manager, "GPIB?*INSTR", 10).empty());
  sim_->viClose(manager);
}

TEST(ResourceNames, CompareWithoutRegardToCaseAndFitTheDescriptorBuffer) {
  EXPECT_TRUE(
      SameResource("USB0::0x1D7C::0x4A35::SN1::INSTR")("usb0::0x1d7c::0x4a35::sn1::instr"));
  EXPECT_FALSE(
      SameResource("USB0::0x1D7C::0x4A35::SN1::INSTR")("USB0::0x1D7C::0x4A35::SN12::INSTR"));
  EXPECT_TRUE(SameSerial("SN1")("USB1::0x1D7C::0x4A35::sn1::INSTR")) << "on any board";
  EXPECT_FALSE(SameSerial("SN1")("USB0::0x1D7C::0x4A35::SN12::INSTR"));
  std::array<ViChar, VI_FIND_BUFLEN + 8> buffer{};
  buffer.fill('x');
  CopyDescriptor(std::string(1000, 'A'), buffer.data());
  EXPECT_EQ(buffer[VI_FIND_BUFLEN - 1], '\0');
  EXPECT_EQ(buffer[VI_FIND_BUFLEN], 'x');  // nothing written past the descriptor buffer
}

}  // namespace
}  // namespace quorvel
