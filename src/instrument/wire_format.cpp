#include "instrument/wire_format.h"

#include "common/operator_console.h"

namespace quorvel {

namespace {

constexpr std::array<std::string_view, 6> kStatusNames = {
    "FRAME_ERROR",   "CHECKSUM_ERROR", "ERASE_ERROR",
    "PROGRAM_ERROR", "VERSION_ERROR",  "FW_ERROR"};
constexpr std::uint8_t kFirstNamedStatus = '1';

}  // namespace

std::uint8_t StatusCharacter(std::span<const std::uint8_t> reply) {
  // Only one leading prefix byte is skipped.
  const std::size_t position = !reply.empty() && reply[0] == kStatusPrefix ? 1 : 0;
  return position < reply.size() ? reply[position] : std::uint8_t{0};
}

std::string_view StatusName(std::uint8_t statusCharacter) {
  if (statusCharacter < kFirstNamedStatus) return {};
  const std::size_t index = statusCharacter - kFirstNamedStatus;
  return index < kStatusNames.size() ? kStatusNames[index] : std::string_view{};
}

void ReportStatusCode(OperatorConsole& console, std::uint8_t statusCharacter) {
  const std::string_view name = StatusName(statusCharacter);
  if (!name.empty()) console.AppendLog(name);
}

}  // namespace quorvel
