#include "fleet/fleet_update.h"

#include <thread>

namespace quorvel {

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
