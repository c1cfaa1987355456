#pragma once
// Everything the main window shows, as plain data: the presenter decides it,
// a front end (Qt, Win32) only draws it. Nothing here knows a toolkit.
#include <cstddef>
#include <string>
#include <vector>

#include "common/operator_console.h"

namespace quorvel {

// How the strip under the log reads: each kind has its own icon and colour,
// so success and failure are told apart without reading.
enum class StripKind { kInfo, kSuccess, kFailure, kWarning };

struct StripModel {
  std::string text{};  // a full sentence; empty hides the strip
  StripKind kind = StripKind::kInfo;
  bool operator==(const StripModel&) const = default;
};

struct ButtonModel {
  std::string caption{};
  bool enabled = true;
  bool visible = true;
  bool operator==(const ButtonModel&) const = default;
};

struct ProgressModel {
  bool visible = false;
  // Waiting for the meter rather than sending: no share is known, the bar
  // only shows that something is under way.
  bool busy = false;
  int percent = 0;     // 0..100
  std::string text{};  // the bar's own text
  bool operator==(const ProgressModel&) const = default;
};

// One meter the window found.
struct MeterSummary {
  std::string resource{};
  std::string serial{};
  // From the meter's identity; empty until it answered.
  std::string model{};
  std::string dspVersion{};
  std::string panelVersion{};
  std::string msp430Version{};
  bool inUpdateMode = false;
  bool operator==(const MeterSummary&) const = default;
};

// The line above the log that names the meter Select will update. With more
// than one meter it is a chooser, one entry per serial.
struct MeterLineModel {
  std::vector<MeterSummary> meters{};  // in the order the search found them
  std::size_t chosen = 0;              // index into meters
  std::string text{};                  // the chosen meter in words; empty hides the line
  std::vector<std::string> entries{};  // the chooser's entries; shown only with two or more
  bool chooserEnabled = false;         // a meter may be picked now (not during an update)
  bool showsChooser() const { return entries.size() > 1; }
  bool operator==(const MeterLineModel&) const = default;
};

struct WindowModel {
  std::string log{};         // the log pane, lines joined with "\r\n"
  std::string transcript{};  // every line since the window opened, for Save Log...
  ButtonModel select{"Select", false, true};
  ButtonModel exit{"Exit", true, true};
  ConsoleButton defaultButton = ConsoleButton::kSelect;  // what Enter presses
  bool saveLogEnabled = true;  // Save Log... is offered (not while a run paces frames)
  ProgressModel progress;
  StripModel strip;
  MeterLineModel meter;
  bool operator==(const WindowModel&) const = default;
};

}  // namespace quorvel
