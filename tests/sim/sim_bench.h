#pragma once
// A simulated meter on a virtual clock, with the few VISA steps the sim tests
// repeat: open a session, exchange text, send an image in paced frames.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "sim/sim_visa.h"

namespace quorvel::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ToBytes(std::string_view text) { return {text.begin(), text.end()}; }

// The payload followed by its CRC-32, low byte first, as the meter verifies it.
inline Bytes WithCrc(Bytes payload) {
  const auto crc = static_cast<std::uint32_t>(crc32_z(0L, payload.data(), payload.size()));
  for (int shift = 0; shift < 32; shift += 8)
    payload.push_back(static_cast<std::uint8_t>(crc >> shift));
  return payload;
}

inline Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return bytes;
}

inline const Bytes kEndFrame = {0xAB, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF};
inline const Bytes kFlushMarker = {'@', '?', '\n'};

struct Reading {
  ViStatus status = VI_SUCCESS;
  Bytes bytes;
  std::string text() const { return {bytes.begin(), bytes.end()}; }
};

struct Written {
  ViStatus status = VI_SUCCESS;
  ViUInt32 count = 0;
};

class SimBench {
 public:
  explicit SimBench(std::string_view knobs = "") {
    std::string error;
    auto config = SimConfig::Parse(knobs, &error);
    EXPECT_TRUE(config.has_value()) << error;
    visa = std::make_unique<SimVisa>(config.value_or(SimConfig{}), clock);
    EXPECT_EQ(visa->viOpenDefaultRM(&rm), VI_SUCCESS);
  }

  SimMeter& meter(std::size_t index = 0) { return visa->meter(index); }

  ViSession Open(std::size_t index = 0) {
    ViSession session = VI_NULL;
    const std::string name = meter(index).resourceName();
    EXPECT_EQ(visa->viOpen(rm, name.c_str(), 0, 0, &session), VI_SUCCESS) << name;
    return session;
  }

  Written Write(ViSession session, const Bytes& bytes) {
    Written written;
    written.status =
        visa->viWrite(session, bytes.data(), static_cast<ViUInt32>(bytes.size()), &written.count);
    return written;
  }
  Written Write(ViSession session, std::string_view text) { return Write(session, ToBytes(text)); }

  Reading Read(ViSession session, ViUInt32 maxBytes = 240) {
    Bytes buffer(maxBytes);
    ViUInt32 count = 0;
    Reading reading;
    reading.status = visa->viRead(session, buffer.data(), maxBytes, &count);
    reading.bytes.assign(buffer.begin(), buffer.begin() + count);
    return reading;
  }

  std::string Query(ViSession session, std::string_view text) {
    Write(session, text);
    return Read(session).text();
  }

  // "system:update", the wait for re-enumeration, a fresh session.
  ViSession EnterUpdateMode(ViSession session) {
    Write(session, "system:update\n");
    clock.Advance(visa->config().reenumerate);
    return Open();
  }

  // The image in frames of at most 240 bytes, `gap` apart.
  void SendFrames(ViSession session, const Bytes& image, Millis gap = Millis{100}) {
    for (std::size_t offset = 0; offset < image.size(); offset += 240) {
      clock.Advance(gap);
      const std::size_t size = std::min<std::size_t>(240, image.size() - offset);
      Write(session, Bytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
                           image.begin() + static_cast<std::ptrdiff_t>(offset + size)));
    }
  }

  // Frames, first status, end frame, second status; returns both status replies.
  std::pair<std::string, std::string> SendImage(ViSession session, const Bytes& image) {
    SendFrames(session, image);
    clock.Advance(Millis{1100});
    const std::string first = Read(session).text();
    Write(session, kEndFrame);
    clock.Advance(Millis{1100});
    return {first, Read(session).text()};
  }

  VirtualClock clock;
  std::unique_ptr<SimVisa> visa;
  ViSession rm = VI_NULL;
};

}  // namespace quorvel::testing
