#pragma once
// VISA libraries that wrap another one: the CLI puts them between the
// procedures and the backend.
#include <deque>
#include <map>
#include <string>

#include "visa/visa_library.h"

namespace quorvel::cli {

// Passes every call on unchanged; the base of the wrappers below.
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

 protected:
  VisaLibrary& inner_;
};

// Lets every search find one meter only, the one named with --resource, so
// that each discovery of an update (the one after the mode switch included)
// opens that meter and never another one that happens to be attached.
class PinnedResourceVisa final : public ForwardingVisaLibrary {
 public:
  PinnedResourceVisa(VisaLibrary& inner, std::string resourceName);

  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viClose(ViObject object) override;

 private:
  std::string pinned_;
  // Matches not yet handed out, per find list.
  std::map<ViFindList, std::deque<std::string>> pending_;
};

// Marks every write to the meter as in progress, so that a second Ctrl+C
// waits for it to complete instead of cutting a frame in half.
class InterruptSafeVisa final : public ForwardingVisaLibrary {
 public:
  using ForwardingVisaLibrary::ForwardingVisaLibrary;

  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viPrintf(ViSession session, const ViChar* format) override;
};

// Every resource name a search finds, in the library's order (at most
// `limit`); the find list is closed afterwards.
std::deque<std::string> FindAllResources(VisaLibrary& visa, ViSession resourceManager,
                                         const char* expression, ViUInt32 limit);

// VISA resource names compare without regard to case.
bool SameResourceName(std::string_view a, std::string_view b);

// Copies a resource name into a VI_FIND_BUFLEN descriptor buffer, cut to fit.
void CopyDescriptor(std::string_view name, ViChar* descriptor);

}  // namespace quorvel::cli
