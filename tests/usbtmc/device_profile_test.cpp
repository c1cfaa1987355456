// Our backend against every named device profile (device_profiles.h), through
// the real libusb and the emulated bus: a session that clears the device and
// asks for the identity and the serial, then a whole package update. A row
// that needs an option is first run without it, and the failure must name
// the option. One CTest entry per row, so a hang names its device.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "instrument/instrument_session.h"
#include "support/firmware_builder.h"
#include "support/memory_file_system.h"
#include "support/recording_console.h"
#include "update/update_procedures.h"
#include "usbtmc/device_profiles.h"
#include "usbtmc/meter_on_usb.h"
#include "visa/tracing_visa.h"
#include "visa/usbtmc/usbtmc_visa.h"

namespace quorvel::testing {
namespace {

constexpr const char* kMeterName = "USB0::0x1D7C::0x4A35::SN000123::INSTR";
constexpr const char* kIdentity = "NAVIR,Q1000,SN000123,01.20.05.12";

class UsbtmcProfile : public ::testing::TestWithParam<const DeviceProfile*> {
 protected:
  const DeviceProfile& profile() const { return *GetParam(); }

  // A fresh meter with the profile's misbehaviour, and a backend with `options`.
  void Start(std::string_view options) {
    traced.reset();
    visa.reset();
    rack.reset();
    std::string error;
    const auto config = SimConfig::Parse("", &error);
    ASSERT_TRUE(config) << error;
    rack = std::make_unique<MeterRack>(bus, *config, clock, Millis{20000}, &profile());
    const auto parsed = usbtmc::ParseLinkOptions(options, &error);
    ASSERT_TRUE(parsed) << error;
    visa = UsbtmcVisa::Create(&error, *parsed);
    ASSERT_TRUE(visa) << error;
    trace.str("");
    traced = std::make_unique<TracingVisa>(*visa, clock, trace);
  }

  // Clear, *IDN? and the serial in one session; "" when all went well, else
  // what failed with the backend's account of it.
  std::string Session() {
    ViSession rm = VI_NULL;
    ViSession session = VI_NULL;
    if (traced->viOpenDefaultRM(&rm) != VI_SUCCESS) return "no resource manager";
    if (traced->viOpen(rm, kMeterName, VI_NULL, 0, &session) != VI_SUCCESS) return "not opened";
    std::string problem = Exchange(session);
    traced->viClose(rm);
    return problem;
  }

  std::string Exchange(ViSession session) {
    traced->viSetAttribute(session, VI_ATTR_TMO_VALUE, 1000);
    if (traced->viClear(session) != VI_SUCCESS) return "clear: " + traced->LastFailure(session);
    if (profile().lateFirstReply) {
      // The host gives up on a late reply, which the device sends all the same.
      traced->viSetAttribute(session, VI_ATTR_TMO_VALUE, 150);
      if (!Query(session, "*idn?\n").starts_with("timed out")) return "the late reply was not late";
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      traced->viSetAttribute(session, VI_ATTR_TMO_VALUE, 1000);
    }
    const std::string identity = Query(session, "*idn?\n");
    if (identity != kIdentity) return "*IDN?: " + identity;
    const std::string serial = Query(session, "cal:sec:serial?\n");
    if (serial != "SN000123\n") return "cal:sec:serial?: " + serial;
    return {};
  }

  // The reply, or what went wrong.
  std::string Query(ViSession session, std::string_view text) {
    ViUInt32 count = 0;
    if (traced->viWrite(session, reinterpret_cast<const ViByte*>(text.data()),
                      static_cast<ViUInt32>(text.size()), &count) != VI_SUCCESS) {
      return "write failed: " + traced->LastFailure(session);
    }
    std::string reply(240, '\0');
    const ViStatus status =
        traced->viRead(session, reinterpret_cast<ViByte*>(reply.data()), 240, &count);
    if (status == VI_ERROR_TMO) return "timed out: " + traced->LastFailure(session);
    if (status != VI_SUCCESS) return "read failed: " + traced->LastFailure(session);
    reply.resize(count);
    return reply;
  }

  UpdateOutcome PackageUpdate(std::vector<ByteVector>* sent) {
    PakBuilder builder;
    for (int k = 1; k <= 2; ++k) {
      BinBuilder part = BinBuilder().Version(k == 2 ? "01.30" : "00.10");
      part.Payload(static_cast<std::size_t>(200 + 150 * k)).WithCrc();
      builder.AddImage(part, "image" + std::to_string(k) + ".bin");
    }
    const ByteVector pak = builder.Bytes();
    *sent = ImagesSentByPackageUpdate(pak);
    files.AddFile("/fw/pack.pak", pak);
    console.chooserAnswers.push_back("/fw/pack.pak");
    RackFollowingClock procedureClock(clock, *rack);
    Services services{*visa, console, procedureClock, files};
    DiscoverInstrument(services, dialog.session, dialog.readyForUpdate);
    if (!dialog.readyForUpdate) return UpdateOutcome::kNoMeter;
    return RunImageUpdate(services, dialog);
  }

  std::vector<ByteVector> Installed() {
    const auto lock = bus.Lock();
    std::vector<ByteVector> images;
    for (const InstalledImage& image : rack->meter(0).installedImages())
      images.push_back(image.bytes);
    return images;
  }

  // Waits the procedures make run 50 times faster; the meter still sees them whole.
  ScaledClock clock{50, Millis{0}};
  EmulatedUsbBus bus{clock};
  std::unique_ptr<MeterRack> rack;
  std::unique_ptr<UsbtmcVisa> visa;
  std::ostringstream trace;
  std::unique_ptr<TracingVisa> traced;  // the session's calls, as support would read them
  RecordingConsole console;
  MemoryFileSystem files;
  DialogState dialog;
};

TEST_P(UsbtmcProfile, SessionAndPackageUpdate) {
  const std::string options = profile().ourOptions;
  if (!options.empty() && options.find("update_product") == std::string::npos) {
    // Without its option the device fails, and the message names the option.
    Start("");
    const std::string without = Session();
    EXPECT_NE(without.find("--visa usbtmc:" + options), std::string::npos) << without;
    std::printf("[ QUIRK    ] %s without options: %s\n", profile().name, without.c_str());
  }
  Start(options);
  const std::string problem = Session();
  if (*profile().ourRefusal != '\0') {
    EXPECT_NE(problem.find(profile().ourRefusal), std::string::npos) << problem;
    EXPECT_NE(trace.str().find(std::string("device: ") + profile().ourRefusal), std::string::npos)
        << trace.str();
    std::printf("[ QUIRK    ] %s refused: %s\n", profile().name, problem.c_str());
    return;
  }
  EXPECT_EQ(problem, "");

  std::vector<ByteVector> sent;
  EXPECT_EQ(PackageUpdate(&sent), UpdateOutcome::kInstalled);
  EXPECT_EQ(Installed(), sent);
  EXPECT_EQ(visa->OpenHandleCount(), 0);
  if (!HasFailure()) std::printf("[ QUIRK    ] %s passes\n", profile().name);
}

std::string ProfileName(const ::testing::TestParamInfo<const DeviceProfile*>& info) {
  return info.param->name;
}

std::vector<const DeviceProfile*> AllProfiles() {
  std::vector<const DeviceProfile*> all;
  for (const DeviceProfile& profile : DeviceProfiles()) all.push_back(&profile);
  return all;
}

INSTANTIATE_TEST_SUITE_P(Profiles, UsbtmcProfile, ::testing::ValuesIn(AllProfiles()), ProfileName);

}  // namespace
}  // namespace quorvel::testing
