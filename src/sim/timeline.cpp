#include "sim/timeline.h"

#include <algorithm>
#include <cstdio>

namespace quorvel {

namespace {

const char* KindName(TimelineKind kind) {
  switch (kind) {
    case TimelineKind::Opened:
      return "opened";
    case TimelineKind::Closed:
      return "closed";
    case TimelineKind::Write:
      return "write";
    case TimelineKind::Read:
      return "read";
    case TimelineKind::ReadTimedOut:
      return "read timed out";
    case TimelineKind::Cleared:
      return "cleared";
    case TimelineKind::LeftBus:
      return "left bus";
    case TimelineKind::ReturnedToBus:
      return "returned to bus";
    case TimelineKind::ImageInstalled:
      return "image installed";
    case TimelineKind::ImageRejected:
      return "image rejected";
  }
  return "?";
}

const char* RoleName(WriteRole role) {
  switch (role) {
    case WriteRole::None:
      return "";
    case WriteRole::Text:
      return " text";
    case WriteRole::DataFrame:
      return " data";
    case WriteRole::FlushMarker:
      return " flush";
    case WriteRole::EndFrame:
      return " end frame";
  }
  return "";
}

// Printable bytes as they are, others as \xNN; long runs cut short.
std::string Preview(const std::vector<std::uint8_t>& bytes) {
  constexpr std::size_t kShown = 24;
  std::string text;
  for (std::size_t i = 0; i < std::min(bytes.size(), kShown); ++i) {
    const std::uint8_t byte = bytes[i];
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
      text += escaped;
    }
  }
  if (bytes.size() > kShown) text += "...";
  return text;
}

}  // namespace

std::vector<TimelineEvent> EventsOfKind(const std::vector<TimelineEvent>& timeline,
                                        TimelineKind kind) {
  std::vector<TimelineEvent> events;
  std::copy_if(timeline.begin(), timeline.end(), std::back_inserter(events),
               [kind](const TimelineEvent& event) { return event.kind == kind; });
  return events;
}

std::vector<TimelineEvent> DataFrames(const std::vector<TimelineEvent>& timeline) {
  std::vector<TimelineEvent> frames;
  std::copy_if(timeline.begin(), timeline.end(), std::back_inserter(frames),
               [](const TimelineEvent& event) {
                 return event.kind == TimelineKind::Write && event.role == WriteRole::DataFrame;
               });
  return frames;
}

std::string DescribeTimeline(const std::vector<TimelineEvent>& timeline) {
  std::string text;
  for (const TimelineEvent& event : timeline) {
    text += std::to_string(event.time.count()) + " ms " + KindName(event.kind) +
            RoleName(event.role) + (event.updateMode ? " [update]" : "");
    if (!event.bytes.empty()) {
      text += " " + std::to_string(event.bytes.size()) + " bytes \"" + Preview(event.bytes) + "\"";
    }
    if (event.kind == TimelineKind::ImageRejected) {
      text += " status \"" + Preview({event.statusCharacter}) + "\"";
    }
    text += '\n';
  }
  return text;
}

}  // namespace quorvel
