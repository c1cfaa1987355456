#pragma once
// Which files the `system` backend tries, in which order, and why each one:
// the one home of the search, for the backend and for the diagnosis alike.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// Names the library explicitly, ahead of the usual places.
inline constexpr const char* kVisaLibraryVariable = "QUORVEL_VISA_LIBRARY";

// Every function the tool calls; a library lacking one is not used.
inline constexpr std::array<const char*, 11> kRequiredVisaFunctions = {
    "viOpenDefaultRM", "viFindRsrc", "viFindNext", "viOpen",   "viClose",  "viSetAttribute",
    "viWrite",         "viRead",     "viClear",    "viPrintf", "viScanf"};

struct LibraryCandidate {
  std::string file;    // a bare name for the platform's loader to find, or a path
  std::string origin;  // why it is tried: "named by QUORVEL_VISA_LIBRARY", ...
  bool named = false;  // named by the user rather than one of the usual places
};

// The files the backend tries for its options ("" or "path=FILE"), in order:
// the file named by path= or QUORVEL_VISA_LIBRARY alone, else the platform's
// usual names and places. Nothing, and the reason in *error, for options it
// does not take.
std::optional<std::vector<LibraryCandidate>> SystemLibrarySearch(std::string_view options,
                                                                 std::string* error);

}  // namespace quorvel
