#pragma once
// The knobs of the simulated meter, as given after "sim:" in a backend name,
// e.g. "status1=2,prefix_ab=1". Every default gives a healthy meter.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "instrument/identity.h"

namespace quorvel {

// A forced status reply: one byte, or an empty reply.
struct ForcedStatus {
  bool empty = false;          // `none`: the read delivers zero bytes
  std::uint8_t character = 0;  // used when !empty
};

// How many meters `meters=N` may attach: enough for a bench and for a search
// that finds more than a listing shows.
constexpr std::size_t kMostSimulatedMeters = 128;

struct SimConfig {
  // Identity (normal mode).
  std::optional<std::string> idn;      // the whole "*idn?" reply; default built from serial
  std::optional<std::string> version;  // replaces the identity's last eleven characters
  std::string serial = "SN000123";     // the first meter's; later meters count up
  bool newline = false;                // append "\n" to the normal-mode identity
  bool startInUpdateMode = false;      // mode=update
  std::size_t meters = 1;
  bool absent = false;  // no meter attached at all

  // Leaving and rejoining the bus.
  Millis reenumerate = Millis{3000};
  bool returnsAfterSwitch = true;  // return=0: gone for good after "system:update"
  bool returnsAfterReboot = true;  // return=once: back in update mode, then gone after its reboot
  Millis reboot = Millis{2000};    // idle time after an installed image before the reboot
  bool adopt = true;               // adopt=0: after its reboot the meter keeps its old versions

  // Image reception.
  Millis minGap = Millis{5};  // catches only a sender that does not wait at all
  bool verifyChecksum = true;
  bool prefixAb = false;

  // Faults.
  std::optional<ForcedStatus> status1;
  std::optional<ForcedStatus> status2;
  // end_reply=none: the end frame's verdict stands (an accepted image is
  // installed), but the meter says nothing of it: the read is empty.
  bool endReplySilent = false;
  std::optional<std::size_t> unplugAfter;  // leave for good after this many data frames
  std::optional<std::size_t> partialAt;    // this data frame (1-based) is only half taken
  bool silent = false;
  Millis slow = Millis{0};          // every reply comes this late
  Millis identitySlow = Millis{0};  // the reply to "*idn?" comes this much later still

  // Knobs for one meter only, written `knob@N=value` (N counted from 1): they
  // apply to meter N on top of the knobs for all.
  std::map<std::size_t, std::vector<std::pair<std::string, std::string>>> meterKnobs;

  // Parses comma-separated key=value knobs (without the "sim:" prefix). A
  // piece without '=' continues the previous value, so "idn=A,B,C,D" keeps
  // its commas. On failure returns nullopt and a message naming the knob.
  static std::optional<SimConfig> Parse(std::string_view knobs, std::string* error);

  // The serial of meter `index` (0-based): the trailing number counted up.
  std::string SerialOf(std::size_t index) const;

  // The knobs of meter `index` (0-based): these knobs with its own applied.
  SimConfig ForMeter(std::size_t index) const;
};

}  // namespace quorvel
