#include "instrument/meter_query.h"

#include <algorithm>

#include "instrument/identity.h"
#include "visa/resource_filter_visa.h"

namespace quorvel {

namespace {

// A command works with this many meters at most; a search counts up to
// kMostCounted more, so that the rest can be named as a number.
constexpr ViUInt32 kMostMeters = 64;
constexpr ViUInt32 kMostCounted = 4096;

std::string TailPart(std::string_view tail, std::size_t position, std::size_t length) {
  return position < tail.size() ? std::string(tail.substr(position, length)) : std::string();
}

}  // namespace

ProcessorVersions ProcessorVersionsOf(const MeterVersions& versions) {
  const std::string_view tail = versions.tail;
  return {TailPart(tail, 0, 5), TailPart(tail, 6, 2), TailPart(tail, 9, 2)};
}

MeterSearch SearchMeters(VisaLibrary& visa, const VisaHandle& resourceManager) {
  if (resourceManager.empty()) return {};
  const auto names =
      FindAllResources(visa, resourceManager.get(), kPackageSearchExpression, kMostCounted);
  const std::size_t listed = std::min<std::size_t>(names.size(), kMostMeters);
  return {.resources = {names.begin(), names.begin() + static_cast<std::ptrdiff_t>(listed)},
          .notListed = names.size() - listed};
}

std::vector<std::string> FindMeters(VisaLibrary& visa, const VisaHandle& resourceManager) {
  return SearchMeters(visa, resourceManager).resources;
}

MeterChoice ChooseOneMeter(VisaLibrary& visa, const VisaHandle& resourceManager,
                           const std::optional<std::string>& named) {
  if (named) return {named, {}};
  MeterChoice choice{std::nullopt, FindMeters(visa, resourceManager)};
  if (choice.attached.size() == 1) choice.chosen = choice.attached.front();
  return choice;
}

MeterRecord QueryMeter(Services& services, const VisaHandle& resourceManager,
                       const std::string& resource) {
  MeterRecord meter;
  meter.resource = resource;
  InstrumentSession session;  // its own session only; the manager stays the caller's
  session.instrument = OpenSession(services.visa, resourceManager, resource.c_str()).session;
  if (session.instrument.empty()) return meter;
  meter.opened = true;
  services.visa.viSetAttribute(session.instrument.get(), VI_ATTR_TMO_VALUE, kSessionTimeoutMs);
  // The identity as the update reads it; the whole reply is kept for display.
  const MeterIdentity identity = ReadIdentity(services, session);
  meter.identity = identity.reply;
  meter.identified = IsUsableIdentity(identity);
  meter.versions = identity.versions;
  meter.updateMode = IsWrongMode(meter.versions);
  meter.serial = ReadSerial(services, session);
  return meter;
}

}  // namespace quorvel
