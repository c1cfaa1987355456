#pragma once
// Finding the attached meters and asking one who it is, without changing
// anything on it: what `list`, `identify`, doctor and the update's identify
// step all do the same way.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "instrument/instrument_session.h"

namespace quorvel {

// The processor versions packed into the identity reply's last eleven
// characters, "01.20.05.12": DSP at 0-4, Panel at 6-7, MSP 430 at 9-10.
struct ProcessorVersions {
  std::string dsp;
  std::string panel;
  std::string msp430;
};
ProcessorVersions ProcessorVersionsOf(const MeterVersions& versions);

struct MeterRecord {
  std::string resource;
  bool opened = false;
  std::string identity;     // the "*idn?" reply as sent
  bool identified = false;  // the identity is one firmware could be judged against
  std::string serial;       // the serial reply as sent
  MeterVersions versions;
  bool updateMode = false;
};

// The resource names of the attached meters, on any USB board, in the
// library's order: the first 64, and how many more there are.
struct MeterSearch {
  std::vector<std::string> resources;
  std::size_t notListed = 0;
};
MeterSearch SearchMeters(VisaLibrary& visa, const VisaHandle& resourceManager);

// The resources of SearchMeters alone.
std::vector<std::string> FindMeters(VisaLibrary& visa, const VisaHandle& resourceManager);

// The meter a one-meter command works with: the one named, else the one
// attached. Never a guess among several: then `chosen` is empty and
// `attached` lists them all (and is empty when none was found).
struct MeterChoice {
  std::optional<std::string> chosen;
  std::vector<std::string> attached;
};
MeterChoice ChooseOneMeter(VisaLibrary& visa, const VisaHandle& resourceManager,
                           const std::optional<std::string>& named);

// Opens the named meter on `resourceManager`, asks for its identity and
// serial, and closes the session again.
MeterRecord QueryMeter(Services& services, const VisaHandle& resourceManager,
                       const std::string& resource);

}  // namespace quorvel
