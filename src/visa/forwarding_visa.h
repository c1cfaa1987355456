#pragma once
#include <cstddef>

#include "visa/visa_library.h"

namespace quorvel {

// Passes every call on to another library unchanged. Wrappers that change one
// or two operations (pinning a resource, guarding writes, injecting faults in
// tests) derive from it and override only those.
class ForwardingVisaLibrary : public VisaLibrary {
 public:
  explicit ForwardingVisaLibrary(VisaLibrary& inner) : inner_(inner) {}

  ViStatus viOpenDefaultRM(ViSession* resourceManager) override;
  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viOpen(ViSession resourceManager, const ViChar* resourceName, ViAccessMode accessMode,
                  ViUInt32 openTimeout, ViSession* session) override;
  ViStatus viClose(ViObject object) override;
  ViStatus viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) override;
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override;
  ViStatus viClear(ViSession session) override;
  ViStatus viPrintf(ViSession session, const ViChar* format) override;
  ViStatus viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                   std::size_t bufferSize) override;
  std::string LastFailure(ViSession session) override { return inner_.LastFailure(session); }
  bool ServesSimulatedMeter() const override { return inner_.ServesSimulatedMeter(); }

 protected:
  VisaLibrary& inner_;
};

}  // namespace quorvel
