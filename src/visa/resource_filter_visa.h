#pragma once
// A view of a VISA library whose searches find one meter only: the one named
// by resource (--resource), or by serial number (a fleet worker's own meter,
// on whatever board it comes back after its switch to update mode). The
// procedures then run unchanged and never reach another meter, since they
// open whatever their searches find.
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "visa/forwarding_visa.h"

namespace quorvel {

class ResourceFilterVisa final : public ForwardingVisaLibrary {
 public:
  using Wanted = std::function<bool(std::string_view resource)>;
  ResourceFilterVisa(VisaLibrary& inner, Wanted wanted);

  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viClose(ViObject object) override;

 private:
  Wanted wanted_;
  std::mutex mutex_;  // a fleet worker is one thread, but nothing here needs to rely on it
  // Matches not yet handed out, per find list.
  std::map<ViFindList, std::deque<std::string>> pending_;
};

// The meter with this resource name; names compare without regard to case.
ResourceFilterVisa::Wanted SameResource(std::string resource);
// The meter with this serial number, on any board.
ResourceFilterVisa::Wanted SameSerial(std::string serial);

// The serial number inside a USB resource name ("USB0::0x1D7C::0x4A35::SN000123::INSTR");
// empty for a name that is not one.
std::string SerialOfResource(std::string_view resource);

// Every resource name a search finds, in the library's order (at most
// `limit`); the find list is closed afterwards.
std::deque<std::string> FindAllResources(VisaLibrary& visa, ViSession resourceManager,
                                         const char* expression, ViUInt32 limit);

}  // namespace quorvel
