#include "visa/usbtmc/usbtmc_permission.h"

#include "visa/usbtmc/usbtmc_link.h"

namespace quorvel {

std::string UsbtmcPermissionHint() {
  const auto context = usbtmc::UsbContext::Create(nullptr);
  if (!context) return {};
  return PermissionHintFor(usbtmc::ScanBus(context->get()).inaccessibleDevices);
}

std::string PermissionHintFor(const std::vector<std::string>& inaccessibleDevices) {
  if (inaccessibleDevices.empty()) return {};
  std::string devices;
  for (const auto& device : inaccessibleDevices) {
    if (!devices.empty()) devices += ", ";
    devices += device;
  }
  return "A USB instrument is attached but this user may not open it (" + devices +
         "). Install the udev rule " + kMeterUdevRuleName +
         " (the quorvel package installs it in /usr/lib/udev/rules.d), then unplug and replug the meter.";
}

}  // namespace quorvel
