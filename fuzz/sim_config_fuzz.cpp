// Arbitrary text as the simulated meter's knobs (what follows "sim:"). A
// refusal names its reason; a meter built from knobs that parse can be found
// by the tool's search under a name that parses back to it, answers through
// the VISA door without overrunning a buffer, and leaves no handle open.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "fuzz_support.h"
#include "instrument/instrument_session.h"
#include "sim/sim_config.h"
#include "sim/sim_visa.h"
#include "visa/resource_name.h"
#include "visa/text_case.h"

namespace quorvel {
namespace {

using fuzz::Require;

void RequireDistinctNamedMeters(const SimConfig& config) {
  Require(config.meters >= 1 && config.meters <= kMostSimulatedMeters);
  std::set<std::string> serials;
  for (std::size_t index = 0; index < config.meters; ++index) {
    const std::string serial = config.SerialOf(index);
    Require(serials.insert(ToLowerAscii(serial)).second);
    const UsbResourceName name{.vendorId = kMeterVendorId,
                                        .productId = kMeterProductId,
                                        .serial = serial};
    Require(name.ToString().size() < VI_FIND_BUFLEN);
    const auto parsed = ParseUsbResourceName(name.ToString());
    Require(parsed && parsed->serial == serial);
  }
}

// Finds every meter, asks each for its identity, and closes everything.
void QueryEveryMeter(const SimConfig& config) {
  VirtualClock clock;
  SimVisa visa(config, clock);
  ViSession manager = VI_NULL;
  Require(visa.viOpenDefaultRM(&manager) == VI_SUCCESS);

  ViFindList found = VI_NULL;
  ViUInt32 count = 0;
  ViChar descriptor[VI_FIND_BUFLEN] = {};
  const ViStatus search =
      visa.viFindRsrc(manager, kDialogSearchExpression, &found, &count, descriptor);
  Require(count == (config.absent ? 0 : config.meters));
  Require((search == VI_SUCCESS) == (count > 0));

  for (ViUInt32 match = 0; match < count; ++match) {
    if (match > 0) Require(visa.viFindNext(found, descriptor) == VI_SUCCESS);
    ViSession meter = VI_NULL;
    Require(visa.viOpen(manager, descriptor, VI_NULL, VI_NULL, &meter) == VI_SUCCESS);
    static constexpr std::string_view kQuery = "*idn?\n";
    ViUInt32 written = 0;
    visa.viWrite(meter, reinterpret_cast<const ViByte*>(kQuery.data()),
                 static_cast<ViUInt32>(kQuery.size()), &written);
    Require(written <= kQuery.size());
    ViByte reply[kReplyReadSize] = {};
    ViUInt32 received = 0;
    visa.viRead(meter, reply, sizeof reply, &received);
    Require(received <= sizeof reply);
    Require(visa.viClose(meter) == VI_SUCCESS);
  }
  if (found != VI_NULL) visa.viClose(found);
  Require(visa.viClose(manager) == VI_SUCCESS);
  Require(visa.OpenHandleCount() == 0);
}

}  // namespace
}  // namespace quorvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view knobs(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto config = quorvel::SimConfig::Parse(knobs, &error);
  if (!config) {
    quorvel::fuzz::Require(!error.empty());
    return 0;
  }
  quorvel::RequireDistinctNamedMeters(*config);
  quorvel::QueryEveryMeter(*config);
  return 0;
}
