#include "instrument/identity.h"

#include <algorithm>

namespace quorvel {

bool IsUsableIdentity(const MeterIdentity& identity) {
  return identity.answered && identity.reply.size() >= kVersionTailLength;
}

MeterVersions VersionsFromIdentity(std::string_view reply) {
  MeterVersions versions;
  const std::string_view tail = reply.size() > kVersionTailLength
                                    ? reply.substr(reply.size() - kVersionTailLength)
                                    : reply;
  versions.tail = std::string(tail);
  versions.instrumentVersion =
      std::string(tail.substr(0, std::min(kInstrumentVersionLength, tail.size())));
  return versions;
}

std::string WithoutLineEnd(std::string reply) {
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  return reply;
}

bool IsWrongMode(const MeterVersions& versions) {
  return versions.instrumentVersion.starts_with(kUpdateModeMarker);
}

}  // namespace quorvel
