#pragma once
// USB INSTR resource names: USB<board>::<vendor>::<product>::<serial>[::<interface>]::INSTR,
// vendor and product written 0x%04X. Parsing is case-insensitive and accepts
// the numbers in hexadecimal (0x...) or decimal.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// The meter on the USB bus.
inline constexpr std::uint16_t kMeterVendorId = 0x1D7C;
inline constexpr std::uint16_t kMeterProductId = 0x4A35;

struct UsbResourceName {
  unsigned board = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial{};
  std::optional<unsigned> interfaceNumber{};  // written only when given

  // The canonical spelling, e.g. "USB0::0x1D7C::0x4A35::SN000123::INSTR".
  std::string ToString() const;
};

std::optional<UsbResourceName> ParseUsbResourceName(std::string_view name);

// Same device: board, ids and interface equal, serial equal ignoring case.
bool SameUsbResource(const UsbResourceName& a, const UsbResourceName& b);

}  // namespace quorvel
