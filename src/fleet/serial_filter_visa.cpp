#include "fleet/serial_filter_visa.h"

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

std::string TextOf(const std::array<ViChar, VI_FIND_BUFLEN>& buffer) {
  const auto end = std::find(buffer.begin(), buffer.end(), '\0');
  return std::string(buffer.begin(), end);
}

}  // namespace

std::string SerialOfResource(std::string_view resource) {
  const auto name = ParseUsbResourceName(resource);
  return name ? name->serial : std::string();
}

SerialFilterVisa::SerialFilterVisa(VisaLibrary& inner, std::string serial)
    : ForwardingVisaLibrary(inner), serial_(std::move(serial)) {}

ViStatus SerialFilterVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                      ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  ViUInt32 innerCount = 0;
  ViFindList innerList = VI_NULL;
  std::array<ViChar, VI_FIND_BUFLEN> buffer{};
  const ViStatus status =
      inner_.viFindRsrc(resourceManager, expression, &innerList, &innerCount, buffer.data());
  std::deque<std::string> matches;
  if (ViSucceeded(status) && innerCount > 0) {
    const ViUInt32 wanted = std::min(innerCount, kMostMatches);
    for (ViUInt32 i = 0; i < wanted; ++i) {
      if (i > 0) {
        buffer.fill('\0');
        if (!ViSucceeded(inner_.viFindNext(innerList, buffer.data()))) break;
      }
      buffer.back() = '\0';
      std::string name = TextOf(buffer);
      if (EqualsIgnoringCase(SerialOfResource(name), serial_)) matches.push_back(std::move(name));
    }
  }
  if (findList != nullptr) *findList = innerList;
  if (count != nullptr) *count = static_cast<ViUInt32>(matches.size());
  if (matches.empty()) {
    CopyDescriptor("", descriptor);
    if (innerList != VI_NULL) {
      inner_.viClose(innerList);
      if (findList != nullptr) *findList = VI_NULL;
    }
    return ViSucceeded(status) ? VI_ERROR_RSRC_NFOUND : status;
  }
  CopyDescriptor(matches.front(), descriptor);
  matches.pop_front();
  const std::lock_guard lock(mutex_);
  pending_[innerList] = std::move(matches);
  return VI_SUCCESS;
}

ViStatus SerialFilterVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
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

ViStatus SerialFilterVisa::viClose(ViObject object) {
  {
    const std::lock_guard lock(mutex_);
    pending_.erase(object);
  }
  return inner_.viClose(object);
}

}  // namespace quorvel
