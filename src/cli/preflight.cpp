#include "cli/preflight.h"

#include "instrument/identity.h"

namespace quorvel::cli {

PreflightResult RunPreflight(Services& services, const std::string& path) {
  PreflightResult result;
  {
    const VisaHandle manager = OpenResourceManager(services.visa);
    if (manager.empty()) return result;
    // Find: the meter the update will use (several without --resource are refused earlier).
    const std::vector<std::string> meters = FindMeters(services.visa, manager);
    if (!meters.empty()) result.meter = QueryMeter(services, manager, meters.front());
  }
  if (!result.meter || !result.meter->opened) return result;
  // Identify. A silent meter has already cost a time-out; the update would
  // only wait as long again to say the same.
  if (!result.meter->identified) {
    result.refusal = FileRefusal{UpdateOutcome::kNoMeter, std::string(kNoIdentityText), {}};
    return result;
  }
  if (result.meter->updateMode) return result;
  // Judge.
  result.refusal = CheckFileAgainstMeter(services.files, path, result.meter->versions);
  return result;
}

}  // namespace quorvel::cli
