#pragma once
// VISA libraries that wrap another one: the CLI puts them between the
// procedures and the backend.
#include <deque>
#include <map>
#include <string>

#include "visa/forwarding_visa.h"
#include "visa/handle_table.h"
#include "visa/text_case.h"

namespace quorvel::cli {

using quorvel::ForwardingVisaLibrary;

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
inline bool SameResourceName(std::string_view a, std::string_view b) {
  return EqualsIgnoringCase(a, b);
}

using quorvel::CopyDescriptor;

}  // namespace quorvel::cli
