#pragma once
// What the USB side looks like to this user, for the diagnosis: libusb's
// version, every device with a USBTMC interface, whether this user may open
// it, whether the kernel's usbtmc driver holds it, and where the udev rule
// that grants access is installed.
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

struct UsbtmcDeviceReport {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint8_t busNumber = 0;
  std::uint8_t deviceAddress = 0;
  std::string serial;     // empty when the device could not be opened to read it
  bool openable = false;  // this user may open it
  std::string openError;  // libusb's name for why not
  // A kernel driver is bound to its USBTMC interface, and its name ("usbtmc")
  // when the system says.
  bool kernelDriverBound = false;
  std::string kernelDriver;

  // "1d7c:4a35 on bus 1 address 2"
  std::string Describe() const;
};

struct UsbSurvey {
  bool started = false;  // libusb could start
  std::string error;     // why not
  std::string libusbVersion;
  std::vector<UsbtmcDeviceReport> devices;
};

UsbSurvey SurveyUsb();

// Where the udev rule that gives the logged-in user the meter is installed,
// and the folders looked in.
struct UdevRuleState {
  std::string installedAt;  // the rule's path; empty when it is nowhere
  std::vector<std::string> folders;
};
UdevRuleState FindMeterUdevRule();

}  // namespace quorvel
