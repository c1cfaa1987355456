#include "support/scripted_visa.h"

#include <algorithm>
#include <cstring>

namespace quorvel::testing {

namespace {
void CopyName(const std::string& name, ViChar* descriptor) {
  const std::size_t n = std::min<std::size_t>(name.size(), VI_FIND_BUFLEN - 1);
  std::memcpy(descriptor, name.data(), n);
  descriptor[n] = '\0';
}
}  // namespace

ViStatus ScriptedVisa::viOpenDefaultRM(ViSession* rm) {
  *rm = nextHandle_++;
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viFindRsrc(ViSession, const ViChar*, ViFindList* list, ViUInt32* count,
                                  ViChar* descriptor) {
  *list = nextHandle_++;
  *count = static_cast<ViUInt32>(resources_.size());
  nextResource_ = 0;
  if (resources_.empty()) return VI_ERROR_RSRC_NFOUND;
  CopyName(resources_[nextResource_++], descriptor);
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viFindNext(ViFindList, ViChar* descriptor) {
  if (nextResource_ >= resources_.size()) return VI_ERROR_RSRC_NFOUND;
  CopyName(resources_[nextResource_++], descriptor);
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viOpen(ViSession, const ViChar* name, ViAccessMode, ViUInt32,
                              ViSession* session) {
  *session = nextHandle_++;
  calls.push_back({"open", clock_.Now(), name});
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viClose(ViObject object) {
  calls.push_back({"close", clock_.Now(), std::to_string(object)});
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viSetAttribute(ViObject, ViAttr attribute, ViAttrState value) {
  calls.push_back({"attr", clock_.Now(), std::to_string(attribute) + "=" + std::to_string(value)});
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viWrite(ViSession, const ViByte* buffer, ViUInt32 count,
                               ViUInt32* returnCount) {
  calls.push_back({"write", clock_.Now(), std::string(reinterpret_cast<const char*>(buffer), count)});
  *returnCount = count;
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viRead(ViSession, ViByte* buffer, ViUInt32 count, ViUInt32* returnCount) {
  calls.push_back({"read", clock_.Now(), std::to_string(count)});
  *returnCount = 0;
  if (replies.empty()) return VI_ERROR_TMO;
  const std::string reply = replies.front();
  replies.pop_front();
  const std::size_t n = std::min<std::size_t>(reply.size(), count);
  std::memcpy(buffer, reply.data(), n);
  *returnCount = static_cast<ViUInt32>(n);
  return VI_SUCCESS;
}

ViStatus ScriptedVisa::viClear(ViSession) {
  calls.push_back({"clear", clock_.Now(), ""});
  return VI_SUCCESS;
}

std::vector<std::string> ScriptedVisa::Writes() const {
  std::vector<std::string> writes;
  for (const Call& call : calls) {
    if (call.operation == "write") writes.push_back(call.data);
  }
  return writes;
}

}  // namespace quorvel::testing
