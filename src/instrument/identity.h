#pragma once
// What the meter says about itself in reply to "*idn?", and whether that is
// enough to judge firmware against.
#include <cstddef>
#include <string>
#include <string_view>

#include "firmware/image_header.h"

namespace quorvel {

// The identity's last eleven characters carry the firmware versions,
// "01.20.05.12": DSP, Panel and MSP 430.
inline constexpr std::size_t kVersionTailLength = 11;
// instrumentVersion: the first characters of that tail.
inline constexpr std::size_t kInstrumentVersionLength = 5;
// A meter in its update mode reports this where its DSP version would be.
inline constexpr std::string_view kUpdateModeMarker = "WDL";

// Shown when the meter gives no identity that firmware could be judged against.
inline constexpr std::string_view kNoIdentityText =
    "The meter did not identify itself. Check the cable and try again.";

struct MeterIdentity {
  std::string reply;      // the "*idn?" reply as the meter sent it
  bool answered = false;  // the query went out and its reply came back without an error
  MeterVersions versions;
};

// True when firmware may be judged against this identity: the meter answered
// and the reply holds the whole version tail. An empty identity would let
// every version check pass, so such a meter must never be sent firmware.
bool IsUsableIdentity(const MeterIdentity& identity);

// Derives the versions from an identification reply: the tail is its last 11
// characters, instrumentVersion the first five of the tail.
MeterVersions VersionsFromIdentity(std::string_view reply);

// The meter is not in its normal mode: instrumentVersion starts with "WDL".
bool IsWrongMode(const MeterVersions& versions);

// A reply without the line end the meter closes it with.
std::string WithoutLineEnd(std::string reply);

}  // namespace quorvel
