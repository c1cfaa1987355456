#include "visa/resource_name.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "visa/text_case.h"

namespace quorvel {

namespace {

std::vector<std::string_view> SplitFields(std::string_view name) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t separator = name.find("::");
    fields.push_back(name.substr(0, separator));
    if (separator == std::string_view::npos) return fields;
    name.remove_prefix(separator + 2);
  }
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, failure] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || failure != std::errc{} || stop != end || value > max) return std::nullopt;
  return value;
}

}  // namespace

std::string UsbResourceName::ToString() const {
  char ids[32];
  std::snprintf(ids, sizeof ids, "::0x%04X::0x%04X::", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId));
  std::string text = "USB" + std::to_string(board) + ids + serial;
  if (interfaceNumber) text += "::" + std::to_string(*interfaceNumber);
  return text + "::INSTR";
}

std::optional<UsbResourceName> ParseUsbResourceName(std::string_view name) {
  const std::vector<std::string_view> fields = SplitFields(name);
  if (fields.size() != 5 && fields.size() != 6) return std::nullopt;
  if (!EqualsIgnoringCase(fields.back(), "INSTR")) return std::nullopt;
  const std::string_view interface = fields[0];
  if (interface.size() < 4 || !EqualsIgnoringCase(interface.substr(0, 3), "USB")) {
    return std::nullopt;
  }
  const auto board = ParseNumber(interface.substr(3), 0xFFFF);
  const auto vendor = ParseNumber(fields[1], 0xFFFF);
  const auto product = ParseNumber(fields[2], 0xFFFF);
  if (!board || !vendor || !product || fields[3].empty()) return std::nullopt;

  UsbResourceName parsed;
  parsed.board = static_cast<unsigned>(*board);
  parsed.vendorId = static_cast<std::uint16_t>(*vendor);
  parsed.productId = static_cast<std::uint16_t>(*product);
  parsed.serial = std::string(fields[3]);
  if (fields.size() == 6) {
    const auto number = ParseNumber(fields[4], 0xFF);
    if (!number) return std::nullopt;
    parsed.interfaceNumber = static_cast<unsigned>(*number);
  }
  return parsed;
}

bool SameUsbResource(const UsbResourceName& a, const UsbResourceName& b) {
  return a.board == b.board && a.vendorId == b.vendorId && a.productId == b.productId &&
         a.interfaceNumber.value_or(0) == b.interfaceNumber.value_or(0) &&
         EqualsIgnoringCase(a.serial, b.serial);
}

}  // namespace quorvel
