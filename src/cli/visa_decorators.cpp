#include "cli/visa_decorators.h"

#include <algorithm>
#include <array>

#include "cli/stop_signal.h"

namespace quorvel::cli {

namespace {

// A search never yields more meters than this; a library that claims more
// is not believed beyond it.
constexpr ViUInt32 kMostMatches = 256;

std::string DescriptorText(const std::array<ViChar, VI_FIND_BUFLEN>& buffer) {
  const auto end = std::find(buffer.begin(), buffer.end(), '\0');
  return std::string(buffer.begin(), end);
}

// The names of a search that already ran: the first descriptor, then one
// viFindNext for each further match.
std::deque<std::string> CollectMatches(VisaLibrary& visa, ViFindList findList, ViUInt32 count,
                                       std::string first, ViUInt32 limit) {
  std::deque<std::string> names;
  if (count == 0) return names;
  names.push_back(std::move(first));
  std::array<ViChar, VI_FIND_BUFLEN> buffer{};
  const ViUInt32 wanted = std::min(count, limit);
  for (ViUInt32 i = 1; i < wanted; ++i) {
    buffer.fill('\0');
    if (!ViSucceeded(visa.viFindNext(findList, buffer.data()))) break;
    buffer.back() = '\0';
    names.push_back(DescriptorText(buffer));
  }
  return names;
}

}  // namespace

std::deque<std::string> FindAllResources(VisaLibrary& visa, ViSession resourceManager,
                                         const char* expression, ViUInt32 limit) {
  ViFindList findList = VI_NULL;
  ViUInt32 count = 0;
  std::array<ViChar, VI_FIND_BUFLEN> first{};
  const ViStatus status =
      visa.viFindRsrc(resourceManager, expression, &findList, &count, first.data());
  if (!ViSucceeded(status) || count == 0) return {};
  first.back() = '\0';
  auto names = CollectMatches(visa, findList, count, DescriptorText(first), limit);
  visa.viClose(findList);
  return names;
}

// ---- PinnedResourceVisa ----

PinnedResourceVisa::PinnedResourceVisa(VisaLibrary& inner, std::string resourceName)
    : ForwardingVisaLibrary(inner), pinned_(std::move(resourceName)) {}

ViStatus PinnedResourceVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                        ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  ViUInt32 innerCount = 0;
  std::array<ViChar, VI_FIND_BUFLEN> first{};
  const ViStatus status =
      inner_.viFindRsrc(resourceManager, expression, findList, &innerCount, first.data());
  first.back() = '\0';
  std::deque<std::string> matches;
  if (ViSucceeded(status)) {
    pending_.erase(*findList);  // a handle the library hands out again starts afresh
    for (std::string& name :
         CollectMatches(inner_, *findList, innerCount, DescriptorText(first), kMostMatches)) {
      if (SameResourceName(name, pinned_)) matches.push_back(std::move(name));
    }
  }
  *count = static_cast<ViUInt32>(matches.size());
  if (matches.empty()) {
    descriptor[0] = '\0';
    return ViSucceeded(status) ? VI_ERROR_RSRC_NFOUND : status;
  }
  CopyDescriptor(matches.front(), descriptor);
  matches.pop_front();
  pending_[*findList] = std::move(matches);
  return VI_SUCCESS;
}

ViStatus PinnedResourceVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  const auto list = pending_.find(findList);
  if (list == pending_.end()) return inner_.viFindNext(findList, descriptor);
  if (list->second.empty()) return VI_ERROR_RSRC_NFOUND;
  CopyDescriptor(list->second.front(), descriptor);
  list->second.pop_front();
  return VI_SUCCESS;
}

ViStatus PinnedResourceVisa::viClose(ViObject object) {
  pending_.erase(object);
  return inner_.viClose(object);
}

// ---- InterruptSafeVisa ----

ViStatus InterruptSafeVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                                    ViUInt32* returnCount) {
  const WriteInProgress writing;
  return inner_.viWrite(session, buffer, count, returnCount);
}

ViStatus InterruptSafeVisa::viPrintf(ViSession session, const ViChar* format) {
  const WriteInProgress writing;
  return inner_.viPrintf(session, format);
}

}  // namespace quorvel::cli
