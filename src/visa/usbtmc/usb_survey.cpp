#include "visa/usbtmc/usb_survey.h"

#include <libusb.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "visa/usbtmc/usbtmc_link.h"
#include "visa/usbtmc/usbtmc_permission.h"
#include "visa/usbtmc/usbtmc_protocol.h"

namespace quorvel {

namespace {

// udev reads rules from these folders, the administrator's first.
constexpr std::array<const char*, 4> kUdevRuleFolders = {
    "/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

// A device's USBTMC interface numbers and its configuration's value.
struct UsbtmcInterfaces {
  std::vector<std::uint8_t> numbers;
  std::uint8_t configuration = 1;
};

UsbtmcInterfaces FindUsbtmcInterfaces(libusb_device* device) {
  UsbtmcInterfaces found;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
    return found;
  }
  found.configuration = config->bConfigurationValue;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& usbInterface = config->interface[i];
    if (usbInterface.num_altsetting < 1) continue;
    const libusb_interface_descriptor& setting = usbInterface.altsetting[0];
    if (usbtmc::IsUsbtmcInterface(setting.bInterfaceClass, setting.bInterfaceSubClass,
                                  setting.bInterfaceProtocol)) {
      found.numbers.push_back(setting.bInterfaceNumber);
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

// The driver bound to the interface, as sysfs names it ("1-4.2:1.0/driver"),
// which needs no permission on the device itself.
std::string KernelDriverOf(libusb_device* device, std::uint8_t configuration,
                           std::uint8_t interfaceNumber) {
  std::array<std::uint8_t, 8> ports{};
  const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
  if (depth <= 0) return {};
  std::string name = std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < depth; ++i) {
    name += (i == 0 ? "" : ".") + std::to_string(ports[static_cast<std::size_t>(i)]);
  }
  name += ":" + std::to_string(configuration) + "." + std::to_string(interfaceNumber);
  std::error_code error;
  const auto driver =
      std::filesystem::read_symlink("/sys/bus/usb/devices/" + name + "/driver", error);
  return error ? std::string() : driver.filename().string();
}

std::string SerialOf(libusb_device_handle* handle, std::uint8_t index) {
  if (index == 0) return {};
  unsigned char text[256] = {};
  const int length = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
  if (length <= 0) return {};
  return usbtmc::SanitizeSerial(
      std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)));
}

std::optional<UsbtmcDeviceReport> Report(libusb_device* device) {
  const UsbtmcInterfaces interfaces = FindUsbtmcInterfaces(device);
  if (interfaces.numbers.empty()) return std::nullopt;
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return std::nullopt;

  UsbtmcDeviceReport report;
  report.vendorId = descriptor.idVendor;
  report.productId = descriptor.idProduct;
  report.busNumber = libusb_get_bus_number(device);
  report.deviceAddress = libusb_get_device_address(device);
  libusb_device_handle* handle = nullptr;
  const int opened = libusb_open(device, &handle);
  report.openable = opened == LIBUSB_SUCCESS;
  if (report.openable) {
    report.serial = SerialOf(handle, descriptor.iSerialNumber);
    report.kernelDriverBound = libusb_kernel_driver_active(handle, interfaces.numbers.front()) == 1;
    libusb_close(handle);
  } else {
    report.openError = usbtmc::LibusbErrorText(opened);
  }
  // sysfs names the driver even for a device this user may not open.
  report.kernelDriver = KernelDriverOf(device, interfaces.configuration, interfaces.numbers.front());
  report.kernelDriverBound = report.kernelDriverBound || !report.kernelDriver.empty();
  return report;
}

}  // namespace

std::string UsbtmcDeviceReport::Describe() const {
  char text[64];
  std::snprintf(text, sizeof text, "%04x:%04x on bus %u address %u", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId), static_cast<unsigned>(busNumber),
                static_cast<unsigned>(deviceAddress));
  return text;
}

UsbSurvey SurveyUsb() {
  UsbSurvey survey;
  const libusb_version* version = libusb_get_version();
  if (version != nullptr) {
    survey.libusbVersion = std::to_string(version->major) + "." + std::to_string(version->minor) +
                           "." + std::to_string(version->micro);
  }
  const auto context = usbtmc::UsbContext::Create(&survey.error);
  if (!context) return survey;
  survey.started = true;
  libusb_device** devices = nullptr;
  const ssize_t count = libusb_get_device_list(context->get(), &devices);
  for (ssize_t i = 0; i < count; ++i) {
    if (auto report = Report(devices[i])) survey.devices.push_back(std::move(*report));
  }
  if (count >= 0) libusb_free_device_list(devices, 1);
  return survey;
}

UdevRuleState FindMeterUdevRule() {
  UdevRuleState state;
  for (const char* folder : kUdevRuleFolders) {
    state.folders.emplace_back(folder);
    const std::string path = std::string(folder) + "/" + kMeterUdevRuleName;
    std::error_code error;
    if (state.installedAt.empty() && std::filesystem::exists(path, error)) state.installedAt = path;
  }
  return state;
}

}  // namespace quorvel
