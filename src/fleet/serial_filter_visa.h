#pragma once
// A fleet worker's view of the VISA library: its searches find its own meter
// only, known by its serial number, whatever board the meter comes back on
// after its switch to update mode. The procedures then run unchanged and can
// never reach another meter (they open whatever their search finds).
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "visa/forwarding_visa.h"

namespace quorvel {

class SerialFilterVisa final : public ForwardingVisaLibrary {
 public:
  SerialFilterVisa(VisaLibrary& inner, std::string serial);

  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viClose(ViObject object) override;

 private:
  std::string serial_;
  std::mutex mutex_;  // the worker is one thread, but nothing here needs to rely on it
  // Matches not yet handed out, per find list.
  std::map<ViFindList, std::deque<std::string>> pending_;
};

// The serial number inside a USB resource name ("USB0::0x1D7C::0x4A35::SN000123::INSTR");
// empty for a name that is not one.
std::string SerialOfResource(std::string_view resource);

}  // namespace quorvel
