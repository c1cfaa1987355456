// doctor's view of USB through the real libusb, against meters emulated by
// umockdev: each USBTMC device with its IDs, serial, access and the kernel
// driver that holds it, and the meters the usbtmc backend then reaches.
#include <gtest/gtest.h>

#include <algorithm>

#include "doctor/doctor.h"
#include "sim/sim_config.h"
#include "usbtmc/meter_on_usb.h"
#include "visa/resource_name.h"
#include "visa/usbtmc/usb_survey.h"

namespace quorvel::testing {
namespace {

class UsbSurveyTest : public ::testing::Test {
 protected:
  void Plug(std::string_view knobs) {
    std::string error;
    auto config = SimConfig::Parse(knobs, &error);
    ASSERT_TRUE(config) << error;
    rack = std::make_unique<MeterRack>(bus, *config, clock);
  }

  SteadyClock clock;
  EmulatedUsbBus bus{clock};
  std::unique_ptr<MeterRack> rack;
};

TEST_F(UsbSurveyTest, NamesEachMeterWithSerialAccessAndKernelDriver) {
  Plug("meters=2");
  const UsbSurvey survey = SurveyUsb();
  ASSERT_TRUE(survey.started) << survey.error;
  EXPECT_FALSE(survey.libusbVersion.empty());
  ASSERT_EQ(survey.devices.size(), 2u);
  std::vector<std::string> serials;
  for (const UsbtmcDeviceReport& device : survey.devices) {
    EXPECT_EQ(device.vendorId, kMeterVendorId);
    EXPECT_EQ(device.productId, kMeterProductId);
    EXPECT_TRUE(device.openable);  // the tests run as root
    EXPECT_TRUE(device.kernelDriverBound);  // the emulated meter starts held by usbtmc
    serials.push_back(device.serial);
  }
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::string>{"SN000123", "SN000124"}));
}

TEST_F(UsbSurveyTest, DoctorSaysTheDriverIsFineAndReachesTheMeter) {
  Plug("");
  const DoctorReport report = RunDoctor({.backend = "usbtmc", .clock = clock, .simulatedClock = clock});
  EXPECT_TRUE(report.defaultBackendReachesMeter);
  const auto device = std::find_if(report.checks.begin(), report.checks.end(),
                                   [](const DoctorCheck& c) { return c.facts.contains("openable"); });
  ASSERT_NE(device, report.checks.end());
  EXPECT_EQ(device->verdict, Verdict::kOk);
  EXPECT_NE(device->finding.find("the meter, serial SN000123; this user may open it; a kernel driver "
                                 "is bound to it, which is fine"),
            std::string::npos)
      << device->finding;
  const auto meter = std::find_if(report.checks.begin(), report.checks.end(), [](const DoctorCheck& c) {
    return c.subject == "usbtmc USB0::0x1D7C::0x4A35::SN000123::INSTR";
  });
  ASSERT_NE(meter, report.checks.end());
  EXPECT_EQ(meter->finding, "identity NAVIR,Q1000,SN000123,01.20.05.12, serial SN000123");
}

}  // namespace
}  // namespace quorvel::testing
