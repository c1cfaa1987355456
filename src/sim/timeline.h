#pragma once
// What the simulated meter saw, in order, with its virtual time. Tests assert
// on this record rather than on the tool's internals.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/clock.h"

namespace quorvel {

enum class TimelineKind {
  Opened,        // a session to the meter was opened
  Closed,        // a live session was closed
  Write,         // bytes as the meter took them (for a partial write, the part taken)
  Read,          // bytes answered (possibly none: an empty reply)
  ReadTimedOut,  // a read that got no answer within its time-out
  Cleared,       // device clear: pending replies dropped
  LeftBus,
  ReturnedToBus,
  ImageInstalled,  // bytes: the image
  ImageRejected,   // statusCharacter: the verdict sent (0x00 for an empty reply)
};

// How the meter understood a write.
enum class WriteRole {
  None,         // not a write
  Text,         // a command or query
  DataFrame,    // image bytes (update mode)
  FlushMarker,  // '@' '?' "\n" in update mode
  EndFrame,     // AB 00 00 00 00 00 00 01 FF FF in update mode
};

struct TimelineEvent {
  Millis time{0};
  TimelineKind kind = TimelineKind::Write;
  std::vector<std::uint8_t> bytes{};
  std::size_t offered = 0;  // Write: bytes the host sent; Read/ReadTimedOut: bytes asked for
  WriteRole role = WriteRole::None;
  bool updateMode = false;  // the meter's mode when the event happened
  std::uint8_t statusCharacter = 0;

  std::string text() const { return {bytes.begin(), bytes.end()}; }
};

struct InstalledImage {
  Millis time{0};
  std::vector<std::uint8_t> bytes{};
};

// The data frames among the events: writes in update mode that were image
// bytes (not the end frame, the flush marker or a recognised command).
std::vector<TimelineEvent> DataFrames(const std::vector<TimelineEvent>& timeline);

// The events of one kind, in order.
std::vector<TimelineEvent> EventsOfKind(const std::vector<TimelineEvent>& timeline,
                                        TimelineKind kind);

// One line per event ("1200 ms write data 240 bytes"), for test failure output.
std::string DescribeTimeline(const std::vector<TimelineEvent>& timeline);

}  // namespace quorvel
