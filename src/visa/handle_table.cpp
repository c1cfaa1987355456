#include "visa/handle_table.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "visa/resource_expression.h"

namespace quorvel {

void CopyDescriptor(std::string_view name, ViChar* descriptor) {
  if (descriptor == nullptr) return;
  const std::size_t length = std::min<std::size_t>(name.size(), VI_FIND_BUFLEN - 1);
  std::memcpy(descriptor, name.data(), length);
  descriptor[length] = '\0';
}

std::optional<std::string_view> BoundedCString(const ViChar* text, std::size_t maxLength) {
  if (text == nullptr) return std::nullopt;
  // Reads no further than the terminating NUL, which may end the caller's buffer.
  for (std::size_t length = 0; length <= maxLength; ++length) {
    if (text[length] == '\0') return std::string_view(text, length);
  }
  return std::nullopt;
}

ViObject HandleRegistry::Add(Record record) {
  if (reuseLowest_) lastHandle_ = VI_NULL;
  do {
    ++lastHandle_;
  } while (lastHandle_ == VI_NULL || records_.contains(lastHandle_));
  records_.emplace(lastHandle_, std::move(record));
  return lastHandle_;
}

const HandleRegistry::Record* HandleRegistry::Find(ViObject object, Kind kind) const {
  const auto found = records_.find(object);
  return found == records_.end() || found->second.kind != kind ? nullptr : &found->second;
}

HandleRegistry::Record* HandleRegistry::Find(ViObject object, Kind kind) {
  const auto found = records_.find(object);
  return found == records_.end() || found->second.kind != kind ? nullptr : &found->second;
}

ViSession HandleRegistry::OpenResourceManager() {
  const std::lock_guard lock(mutex_);
  return Add({.kind = Kind::ResourceManager});
}

bool HandleRegistry::IsResourceManager(ViObject object) const {
  const std::lock_guard lock(mutex_);
  return Find(object, Kind::ResourceManager) != nullptr;
}

bool HandleRegistry::IsSession(ViObject object) const {
  const std::lock_guard lock(mutex_);
  return Find(object, Kind::Session) != nullptr;
}

ViSession HandleRegistry::AddSession(ViSession resourceManager) {
  const std::lock_guard lock(mutex_);
  if (!IsResourceManager(resourceManager)) return VI_NULL;
  return Add({.kind = Kind::Session, .resourceManager = resourceManager});
}

ViStatus HandleRegistry::FindResources(ViSession resourceManager, const ViChar* expression,
                                       const std::vector<std::string>& candidates,
                                       ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  const std::lock_guard lock(mutex_);
  if (findList != nullptr) *findList = VI_NULL;
  if (count != nullptr) *count = 0;
  CopyDescriptor("", descriptor);
  if (!IsResourceManager(resourceManager)) return VI_ERROR_INV_OBJECT;

  const auto text = BoundedCString(expression, ResourceExpression::kMaxLength);
  if (!text) return VI_ERROR_INV_EXPR;
  const auto compiled = ResourceExpression::Compile(*text);
  if (!compiled) return VI_ERROR_INV_EXPR;

  std::vector<std::string> matches;
  std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(matches),
               [&](const std::string& name) { return compiled->Matches(name); });
  if (matches.empty()) return VI_ERROR_RSRC_NFOUND;

  if (count != nullptr) *count = static_cast<ViUInt32>(matches.size());
  CopyDescriptor(matches.front(), descriptor);
  if (findList != nullptr) {
    *findList = Add({.kind = Kind::FindList,
                     .resourceManager = resourceManager,
                     .matches = std::move(matches),
                     .nextMatch = 1});
  }
  return VI_SUCCESS;
}

ViStatus HandleRegistry::FindNext(ViFindList findList, ViChar* descriptor) {
  const std::lock_guard lock(mutex_);
  CopyDescriptor("", descriptor);
  Record* list = Find(findList, Kind::FindList);
  if (list == nullptr) return VI_ERROR_INV_OBJECT;
  if (list->nextMatch >= list->matches.size()) return VI_ERROR_RSRC_NFOUND;
  CopyDescriptor(list->matches[list->nextMatch++], descriptor);
  return VI_SUCCESS;
}

ViStatus HandleRegistry::SetAttribute(ViObject object, ViAttr attribute, ViAttrState value) {
  const std::lock_guard lock(mutex_);
  if (!records_.contains(object)) return VI_ERROR_INV_OBJECT;
  Record* session = Find(object, Kind::Session);
  if (session == nullptr || attribute != VI_ATTR_TMO_VALUE) return VI_ERROR_NSUP_ATTR;
  if (value > std::numeric_limits<ViUInt32>::max()) return VI_ERROR_INV_PARAMETER;
  session->timeoutMs = static_cast<ViUInt32>(value);
  return VI_SUCCESS;
}

std::optional<Millis> HandleRegistry::Timeout(ViSession session) const {
  const std::lock_guard lock(mutex_);
  const Record* record = Find(session, Kind::Session);
  if (record == nullptr) return std::nullopt;
  return Millis{record->timeoutMs};
}

std::optional<std::vector<ViSession>> HandleRegistry::Remove(ViObject object) {
  const std::lock_guard lock(mutex_);
  const auto found = records_.find(object);
  if (found == records_.end()) return std::nullopt;
  std::vector<ViSession> sessions;
  if (found->second.kind == Kind::Session) sessions.push_back(object);
  if (found->second.kind == Kind::ResourceManager) {
    for (auto it = records_.begin(); it != records_.end();) {
      if (it->second.resourceManager != object) {
        ++it;
        continue;
      }
      if (it->second.kind == Kind::Session) sessions.push_back(it->first);
      it = records_.erase(it);
    }
  }
  records_.erase(object);
  return sessions;
}

}  // namespace quorvel
