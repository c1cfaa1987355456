#include "visa/forwarding_visa.h"

namespace quorvel {

ViStatus ForwardingVisaLibrary::viOpenDefaultRM(ViSession* resourceManager) {
  return inner_.viOpenDefaultRM(resourceManager);
}

ViStatus ForwardingVisaLibrary::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                           ViFindList* findList, ViUInt32* count,
                                           ViChar* descriptor) {
  return inner_.viFindRsrc(resourceManager, expression, findList, count, descriptor);
}

ViStatus ForwardingVisaLibrary::viFindNext(ViFindList findList, ViChar* descriptor) {
  return inner_.viFindNext(findList, descriptor);
}

ViStatus ForwardingVisaLibrary::viOpen(ViSession resourceManager, const ViChar* resourceName,
                                       ViAccessMode accessMode, ViUInt32 openTimeout,
                                       ViSession* session) {
  return inner_.viOpen(resourceManager, resourceName, accessMode, openTimeout, session);
}

ViStatus ForwardingVisaLibrary::viClose(ViObject object) { return inner_.viClose(object); }

ViStatus ForwardingVisaLibrary::viSetAttribute(ViObject object, ViAttr attribute,
                                               ViAttrState value) {
  return inner_.viSetAttribute(object, attribute, value);
}

ViStatus ForwardingVisaLibrary::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                                        ViUInt32* returnCount) {
  return inner_.viWrite(session, buffer, count, returnCount);
}

ViStatus ForwardingVisaLibrary::viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                                       ViUInt32* returnCount) {
  return inner_.viRead(session, buffer, count, returnCount);
}

ViStatus ForwardingVisaLibrary::viClear(ViSession session) { return inner_.viClear(session); }

ViStatus ForwardingVisaLibrary::viPrintf(ViSession session, const ViChar* format) {
  return inner_.viPrintf(session, format);
}

ViStatus ForwardingVisaLibrary::viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                                        std::size_t bufferSize) {
  return inner_.viScanf(session, format, buffer, bufferSize);
}

}  // namespace quorvel
