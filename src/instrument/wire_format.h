#pragma once
// The meter's wire format for firmware: the binary frames of a transfer, their
// pacing, and the meter's status verdict. The procedures and the simulated
// meter both follow it from here.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/clock.h"

namespace quorvel {

class OperatorConsole;

inline constexpr std::size_t kMaxDataFrame = 240;  // bytes of payload in one frame

// The meter needs this long before every data frame of a single image, before
// every full chunk of a package, and between the steps of a transfer (status
// reads, the end frame); the waits for its switch to update mode count in it.
inline constexpr Millis kFrameGap{100};
// Before the last chunk of a package's images 2 onward, and before their status read.
inline constexpr Millis kShortFrameGap{10};

// A DataFrame is 1..240 payload bytes sent as they stand with one viWrite;
// this is the view the procedures hand to the VISA layer.
using DataFrame = std::span<const std::uint8_t>;

// Sent once after the payload has been accepted.
inline constexpr std::array<std::uint8_t, 10> kEndFrame = {0xAB, 0x00, 0x00, 0x00, 0x00,
                                                          0x00, 0x00, 0x01, 0xFF, 0xFF};
using EndFrame = decltype(kEndFrame);

// The package path's flush marker after a last chunk of 52, 116 or 180 bytes.
inline constexpr std::array<std::uint8_t, 3> kFlushFrame = {0x40, 0x3F, 0x0A};

inline constexpr std::uint8_t kStatusAccepted = '0';
// Some meter firmware puts this byte before its status character.
inline constexpr std::uint8_t kStatusPrefix = 0xAB;

// The meter's verdict on an image, from one status reply. It is an acceptance
// only when the read that brought it succeeded: a '0' followed by a time-out
// or a lost connection accepts nothing.
struct ImageVerdict {
  std::uint8_t character = 0;  // StatusCharacter of the bytes delivered
  bool readSucceeded = false;
  bool accepted() const { return readSucceeded && character == kStatusAccepted; }
};

// Byte 0 of a status reply, or byte 1 when byte 0 is 0xAB; 0x00 where the
// reply does not reach.
std::uint8_t StatusCharacter(std::span<const std::uint8_t> reply);

// "FRAME_ERROR" ... "FW_ERROR" for '1'..'6'; empty for every other byte.
std::string_view StatusName(std::uint8_t statusCharacter);

// Logs the status name for '1'..'6'; does nothing for other values.
void ReportStatusCode(OperatorConsole& console, std::uint8_t statusCharacter);

}  // namespace quorvel
