#pragma once
// Where each processor's version sits in the last eleven characters of the
// meter's identity, "01.20.05.12": DSP at 0-4, Panel at 6-7, MSP 430 at 9-10,
// and how much of an image header's five-character version field it shows.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "firmware/image_header.h"

namespace quorvel {

struct VersionSlot {
  std::size_t position;
  std::size_t length;
};

constexpr std::optional<VersionSlot> VersionSlotOf(std::uint8_t functionId) {
  switch (static_cast<TargetProcessor>(functionId)) {
    case TargetProcessor::kDsp: return VersionSlot{0, 5};
    case TargetProcessor::kPanel: return VersionSlot{6, 2};
    case TargetProcessor::kMsp430: return VersionSlot{9, 2};
  }
  return std::nullopt;
}

}  // namespace quorvel
