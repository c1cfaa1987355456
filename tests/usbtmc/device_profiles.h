#pragma once
// Named device profiles: misbehaviour that real USBTMC instruments are known
// to show, each as the emulated device's faults. The profile tests run our
// backend against every row, the meter host serves a row to pyvisa-py, and
// scripts/usb-quirk-matrix publishes the results in docs/usb-compatibility.md.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "usbtmc/emulated_usb.h"

namespace quorvel::testing {

struct DeviceProfile {
  const char* name;       // also the CTest name: usbtmc.profile.<name>
  const char* behaviour;  // what the device does, for the table
  const char* seenIn;     // where real devices were seen doing it
  DeviceFaults faults{};
  std::uint16_t maxPacket = 512;
  int speedMbps = 480;
  // The product id the meter shows in its update mode, when not its own.
  std::optional<std::uint16_t> updateModeProductId{};
  // The first reply comes too late for the host, which gives up on it.
  bool lateFirstReply = false;
  // Our backend's options for this device ("" when it needs none).
  const char* ourOptions = "";
  // What our backend says when it cannot work with the device ("" when it can).
  const char* ourRefusal = "";
};

const std::vector<DeviceProfile>& DeviceProfiles();
// Null for an unknown name.
const DeviceProfile* FindDeviceProfile(std::string_view name);

}  // namespace quorvel::testing
