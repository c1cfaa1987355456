#include "fleet/fleet_update.h"

#include <thread>

#include "visa/resource_filter_visa.h"
#include "visa/text_case.h"

namespace quorvel {

namespace {

bool NamesOneMeterTwice(const std::vector<std::string>& meters) {
  for (std::size_t i = 0; i < meters.size(); ++i) {
    for (std::size_t j = i + 1; j < meters.size(); ++j) {
      if (EqualsIgnoringCase(SerialOfResource(meters[i]), SerialOfResource(meters[j]))) return true;
    }
  }
  return false;
}

FleetMeters AttachedMeters(VisaLibrary& visa, bool all) {
  const VisaHandle manager = OpenResourceManager(visa);
  if (manager.empty()) return {{}, FleetChoiceProblem::kNoResourceManager};
  if (all) {
    std::vector<std::string> meters = FindMeters(visa, manager);
    if (meters.empty()) return {{}, FleetChoiceProblem::kNoMeter};
    return {std::move(meters), FleetChoiceProblem::kNone};
  }
  MeterChoice one = ChooseOneMeter(visa, manager, std::nullopt);
  if (one.chosen) return {{*one.chosen}, FleetChoiceProblem::kNone};
  if (one.attached.empty()) return {{}, FleetChoiceProblem::kNoMeter};
  return {std::move(one.attached), FleetChoiceProblem::kSeveralMeters};
}

}  // namespace

FleetMeters ChooseFleetMeters(VisaLibrary& visa, const std::vector<std::string>& named, bool all) {
  if (named.empty()) return AttachedMeters(visa, all);
  if (NamesOneMeterTwice(named)) return {named, FleetChoiceProblem::kNamedTwice};
  return {named, FleetChoiceProblem::kNone};
}

std::vector<UpdateReport> RunFleetUpdate(VisaLibrary& visa, Clock& clock, FileSystem& files,
                                        const FleetRequest& request, FleetObserver& observer) {
  std::vector<UpdateReport> reports(request.resources.size());
  {
    std::vector<std::jthread> workers;
    workers.reserve(request.resources.size());
    for (std::size_t meter = 0; meter < request.resources.size(); ++meter) {
      workers.emplace_back([&, meter] {
        reports[meter] = RunMeterPipeline(visa, clock, files, request, meter, observer);
      });
    }
  }  // every pipeline has finished here
  return reports;
}

}  // namespace quorvel
