#include "visa/resource_filter_visa.h"

#include <algorithm>
#include <array>

#include "visa/handle_table.h"
#include "visa/resource_name.h"
#include "visa/text_case.h"

namespace quorvel {

namespace {

// A search never yields more meters than this; a library that claims more is
// not believed beyond it.
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

std::string SerialOfResource(std::string_view resource) {
  const auto name = ParseUsbResourceName(resource);
  return name ? name->serial : std::string();
}

ResourceFilterVisa::Wanted SameResource(std::string resource) {
  return [resource = std::move(resource)](std::string_view name) {
    return EqualsIgnoringCase(name, resource);
  };
}

ResourceFilterVisa::Wanted SameSerial(std::string serial) {
  return [serial = std::move(serial)](std::string_view name) {
    return EqualsIgnoringCase(SerialOfResource(name), serial);
  };
}

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
  if (findList != VI_NULL) visa.viClose(findList);
  return names;
}

ResourceFilterVisa::ResourceFilterVisa(VisaLibrary& inner, Wanted wanted)
    : ForwardingVisaLibrary(inner), wanted_(std::move(wanted)) {}

ViStatus ResourceFilterVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                        ViFindList* findList, ViUInt32* count,
                                        ViChar* descriptor) {
  ViUInt32 innerCount = 0;
  ViFindList innerList = VI_NULL;
  std::array<ViChar, VI_FIND_BUFLEN> first{};
  const ViStatus status =
      inner_.viFindRsrc(resourceManager, expression, &innerList, &innerCount, first.data());
  first.back() = '\0';
  std::deque<std::string> matches;
  if (ViSucceeded(status)) {
    for (std::string& name :
         CollectMatches(inner_, innerList, innerCount, DescriptorText(first), kMostMatches)) {
      if (wanted_(name)) matches.push_back(std::move(name));
    }
  }
  if (count != nullptr) *count = static_cast<ViUInt32>(matches.size());
  if (findList != nullptr) *findList = VI_NULL;
  if (matches.empty()) {
    CopyDescriptor("", descriptor);
    // Nothing wanted: the list is closed here, so nothing is left open behind it.
    if (ViSucceeded(status) && innerList != VI_NULL) inner_.viClose(innerList);
    return ViSucceeded(status) ? VI_ERROR_RSRC_NFOUND : status;
  }
  CopyDescriptor(matches.front(), descriptor);
  matches.pop_front();
  if (findList != nullptr) *findList = innerList;
  const std::lock_guard lock(mutex_);
  // A number the library hands out again starts afresh.
  pending_[innerList] = std::move(matches);
  return VI_SUCCESS;
}

ViStatus ResourceFilterVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  const std::lock_guard lock(mutex_);
  const auto list = pending_.find(findList);
  if (list == pending_.end()) return inner_.viFindNext(findList, descriptor);
  if (list->second.empty()) {
    CopyDescriptor("", descriptor);
    return VI_ERROR_RSRC_NFOUND;
  }
  CopyDescriptor(list->second.front(), descriptor);
  list->second.pop_front();
  return VI_SUCCESS;
}

ViStatus ResourceFilterVisa::viClose(ViObject object) {
  {
    const std::lock_guard lock(mutex_);
    pending_.erase(object);
  }
  return inner_.viClose(object);
}

}  // namespace quorvel
