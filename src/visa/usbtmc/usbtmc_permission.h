#pragma once
// Tells the operator why an attached meter cannot be used when the reason is
// a missing udev rule rather than a missing meter.
#include <string>
#include <vector>

namespace quorvel {

// Where `cmake --install` puts the rule that gives the logged-in user the meter.
inline constexpr const char* kMeterUdevRuleName = "70-quorvel-meter.rules";

// A hint naming the devices found but not openable (permissions), or empty
// when every USBTMC device on the bus can be opened.
std::string UsbtmcPermissionHint();

// The hint's text for devices described as "1d7c:4a35 on bus 1 address 2"; empty for none.
std::string PermissionHintFor(const std::vector<std::string>& inaccessibleDevices);

}  // namespace quorvel
