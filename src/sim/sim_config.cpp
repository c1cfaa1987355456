#include "sim/sim_config.h"

#include <charconv>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "common/message_text.h"

namespace quorvel {

namespace {

// Generous bounds that keep a mistyped knob from building something absurd.
constexpr std::uint64_t kMaxMillis = 24ull * 60 * 60 * 1000;
constexpr std::size_t kMaxFrameNumber = 10'000'000;
constexpr std::size_t kMaxSerialLength = 64;
constexpr std::size_t kMaxIdentityLength = 200;

struct Knob {
  std::string key;
  std::string value;
};

// "a=1,b=x,y" -> {a,1}, {b,"x,y"}; a piece without '=' continues the value before it.
std::optional<std::vector<Knob>> SplitKnobs(std::string_view text, std::string* error) {
  std::vector<Knob> knobs;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) {
      if (knobs.empty()) {
        *error = "sim knob \"" + ArgumentForMessage(piece) + "\" has no value (expected key=value)";
        return std::nullopt;
      }
      knobs.back().value += ',';
      knobs.back().value += piece;
      continue;
    }
    knobs.push_back({std::string(piece.substr(0, equals)), std::string(piece.substr(equals + 1))});
  }
  return knobs;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::uint64_t max) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, failure] = std::from_chars(text.data(), end, value);
  if (text.empty() || failure != std::errc{} || stop != end || value > max) return std::nullopt;
  return value;
}

std::optional<bool> ParseFlag(std::string_view text) {
  if (text == "0") return false;
  if (text == "1") return true;
  return std::nullopt;
}

// One character, "none" for an empty reply, or 0xNN for any byte.
std::optional<ForcedStatus> ParseStatus(std::string_view text) {
  if (text == "none") return ForcedStatus{.empty = true};
  if (text.size() == 1) return ForcedStatus{.character = static_cast<std::uint8_t>(text[0])};
  if (text.size() == 4 && (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X")) {
    std::uint8_t value = 0;
    const auto [stop, failure] = std::from_chars(text.data() + 2, text.data() + 4, value, 16);
    if (failure == std::errc{} && stop == text.data() + 4) return ForcedStatus{.character = value};
  }
  return std::nullopt;
}

bool IsPrintable(std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// A serial becomes part of a resource name, so it may hold no ':' and no space.
bool IsValidSerial(std::string_view text) {
  return !text.empty() && text.size() <= kMaxSerialLength && IsPrintable(text) &&
         text.find_first_of(": ") == std::string_view::npos;
}

// Applies one knob; returns the reason when its value is bad ("" when fine).
using KnobSetter = std::function<std::string(SimConfig&, const std::string&)>;

KnobSetter Flag(bool SimConfig::*member, bool inverted = false) {
  return [=](SimConfig& config, const std::string& value) -> std::string {
    const auto flag = ParseFlag(value);
    if (!flag) return "expected 0 or 1";
    config.*member = *flag != inverted;
    return {};
  };
}

KnobSetter Duration(Millis SimConfig::*member) {
  return [=](SimConfig& config, const std::string& value) -> std::string {
    const auto ms = ParseUnsigned(value, kMaxMillis);
    if (!ms) return "expected milliseconds from 0 to " + std::to_string(kMaxMillis);
    config.*member = Millis{static_cast<Millis::rep>(*ms)};
    return {};
  };
}

KnobSetter FrameNumber(std::optional<std::size_t> SimConfig::*member) {
  return [=](SimConfig& config, const std::string& value) -> std::string {
    const auto n = ParseUnsigned(value, kMaxFrameNumber);
    if (!n || *n == 0) return "expected a frame count from 1 to " + std::to_string(kMaxFrameNumber);
    config.*member = static_cast<std::size_t>(*n);
    return {};
  };
}

KnobSetter Status(std::optional<ForcedStatus> SimConfig::*member) {
  return [=](SimConfig& config, const std::string& value) -> std::string {
    const auto status = ParseStatus(value);
    if (!status) return "expected one character, 0xNN or none";
    config.*member = *status;
    return {};
  };
}

const std::map<std::string, KnobSetter, std::less<>>& KnobSetters() {
  static const std::map<std::string, KnobSetter, std::less<>> setters = {
      {"idn",
       [](SimConfig& config, const std::string& value) -> std::string {
         if (value.size() > kMaxIdentityLength || !IsPrintable(value)) {
           return "expected up to " + std::to_string(kMaxIdentityLength) + " printable characters";
         }
         config.idn = value;
         return {};
       }},
      {"version",
       [](SimConfig& config, const std::string& value) -> std::string {
         if (value.size() != kVersionTailLength || !IsPrintable(value)) {
           return "expected eleven printable characters such as 01.20.05.12";
         }
         config.version = value;
         return {};
       }},
      {"serial",
       [](SimConfig& config, const std::string& value) -> std::string {
         if (!IsValidSerial(value)) {
           return "expected 1 to " + std::to_string(kMaxSerialLength) +
                  " printable characters without ':' or spaces";
         }
         config.serial = value;
         return {};
       }},
      {"newline", Flag(&SimConfig::newline)},
      {"mode",
       [](SimConfig& config, const std::string& value) -> std::string {
         if (value != "normal" && value != "update") return "expected normal or update";
         config.startInUpdateMode = value == "update";
         return {};
       }},
      {"meters",
       [](SimConfig& config, const std::string& value) -> std::string {
         const auto n = ParseUnsigned(value, kMostSimulatedMeters);
         if (!n || *n == 0) return "expected a count from 1 to " + std::to_string(kMostSimulatedMeters);
         config.meters = static_cast<std::size_t>(*n);
         return {};
       }},
      {"absent", Flag(&SimConfig::absent)},
      {"reenumerate_ms", Duration(&SimConfig::reenumerate)},
      {"return",
       [](SimConfig& config, const std::string& value) -> std::string {
         // once: the meter comes back after the switch to update mode, but not after the
         // reboot that follows an installed update (a restart that fails).
         if (value != "0" && value != "1" && value != "once") return "expected 0, 1 or once";
         config.returnsAfterSwitch = value != "0";
         config.returnsAfterReboot = value == "1";
         return {};
       }},
      {"min_gap_ms", Duration(&SimConfig::minGap)},
      {"verify", Flag(&SimConfig::verifyChecksum)},
      {"reboot_ms", Duration(&SimConfig::reboot)},
      {"adopt", Flag(&SimConfig::adopt)},
      {"prefix_ab", Flag(&SimConfig::prefixAb)},
      {"status1", Status(&SimConfig::status1)},
      {"status2", Status(&SimConfig::status2)},
      {"end_reply",
       [](SimConfig& config, const std::string& value) -> std::string {
         if (value != "status" && value != "none") return "expected status or none";
         config.endReplySilent = value == "none";
         return {};
       }},
      {"unplug_after", FrameNumber(&SimConfig::unplugAfter)},
      {"partial_at", FrameNumber(&SimConfig::partialAt)},
      {"silent", Flag(&SimConfig::silent)},
      {"slow_ms", Duration(&SimConfig::slow)},
      {"idn_slow_ms", Duration(&SimConfig::identitySlow)},
  };
  return setters;
}

std::string KnownKnobs() {
  std::string names;
  for (const auto& [name, setter] : KnobSetters()) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  return names;
}

// Knobs that describe the whole set of meters, not one of them.
bool AppliesToAllOnly(std::string_view key) {
  return key == "meters" || key == "absent" || key == "serial";
}

// "status1@2" -> {"status1", 2}; a key without '@' names every meter (0).
std::optional<std::pair<std::string, std::size_t>> SplitMeterKey(const std::string& key) {
  const std::size_t at = key.find('@');
  if (at == std::string::npos) return std::pair{key, std::size_t{0}};
  const auto meter = ParseUnsigned(std::string_view(key).substr(at + 1), kMostSimulatedMeters);
  if (!meter || *meter == 0) return std::nullopt;
  return std::pair{key.substr(0, at), static_cast<std::size_t>(*meter)};
}

}  // namespace

std::optional<SimConfig> SimConfig::Parse(std::string_view knobs, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  const auto split = SplitKnobs(knobs, error);
  if (!split) return std::nullopt;

  SimConfig config;
  std::set<std::string, std::less<>> seen;
  for (const Knob& knob : *split) {
    const auto meterKey = SplitMeterKey(knob.key);
    if (!meterKey) {
      *error = "sim knob \"" + ArgumentForMessage(knob.key) +
               "\" names no meter (expected knob@N, N from 1 to " +
               std::to_string(kMostSimulatedMeters) + ")";
      return std::nullopt;
    }
    const auto& [name, meter] = *meterKey;
    const auto setter = KnobSetters().find(name);
    if (setter == KnobSetters().end()) {
      *error = "unknown sim knob \"" + ArgumentForMessage(name) + "\" (known: " + KnownKnobs() + ")";
      return std::nullopt;
    }
    if (meter != 0 && AppliesToAllOnly(name)) {
      *error = "sim knob \"" + name + "\" applies to all meters; it takes no @N";
      return std::nullopt;
    }
    if (!seen.insert(knob.key).second) {
      *error = "sim knob \"" + ArgumentForMessage(knob.key) + "\" is given twice";
      return std::nullopt;
    }
    // A knob for one meter is checked now, on a scratch copy, and applied later.
    SimConfig scratch;
    const std::string problem = setter->second(meter == 0 ? config : scratch, knob.value);
    if (!problem.empty()) {
      *error = "bad value \"" + ArgumentForMessage(knob.value) + "\" for sim knob \"" + knob.key +
               "\": " + problem;
      return std::nullopt;
    }
    if (meter != 0) config.meterKnobs[meter].emplace_back(name, knob.value);
  }
  if (!config.meterKnobs.empty() && config.meterKnobs.rbegin()->first > config.meters) {
    const auto& [meter, knobsOfMeter] = *config.meterKnobs.rbegin();
    *error = "sim knob \"" + knobsOfMeter.front().first + "@" + std::to_string(meter) +
             "\" names meter " + std::to_string(meter) + " of " + std::to_string(config.meters) +
             " (set meters=N)";
    return std::nullopt;
  }
  return config;
}

SimConfig SimConfig::ForMeter(std::size_t index) const {
  SimConfig own = *this;
  own.meterKnobs.clear();
  const auto knobs = meterKnobs.find(index + 1);
  if (knobs == meterKnobs.end()) return own;
  for (const auto& [name, value] : knobs->second) KnobSetters().at(name)(own, value);
  return own;
}

std::string SimConfig::SerialOf(std::size_t index) const {
  if (index == 0) return serial;
  std::size_t digitsStart = serial.size();
  while (digitsStart > 0 && serial[digitsStart - 1] >= '0' && serial[digitsStart - 1] <= '9') {
    --digitsStart;
  }
  const std::string_view digits = std::string_view(serial).substr(digitsStart);
  // Up to 18 digits fit a 64-bit count without overflow; longer or no digits: add a suffix.
  if (digits.empty() || digits.size() > 18) return serial + "-" + std::to_string(index + 1);
  const std::string counted = std::to_string(*ParseUnsigned(digits, UINT64_MAX) + index);
  const std::size_t width = std::max(digits.size(), counted.size());
  return serial.substr(0, digitsStart) + std::string(width - counted.size(), '0') + counted;
}

}  // namespace quorvel
