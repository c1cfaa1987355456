#include "sim/sim_visa.h"

#include <algorithm>
#include <cstring>

#include "visa/resource_name.h"

namespace quorvel {

namespace {
// Longer resource names are refused unread beyond this.
constexpr std::size_t kMaxResourceNameLength = 4 * VI_FIND_BUFLEN;
}  // namespace

SimVisa::SimVisa(SimConfig config, Clock& clock) : config_(std::move(config)), clock_(clock) {
  if (config_.absent) return;
  for (std::size_t index = 0; index < config_.meters; ++index) {
    meters_.push_back(std::make_unique<SimMeter>(config_, index, clock_));
  }
}

SimMeter* SimVisa::ConnectedMeter(const Connection& connection) {
  SimMeter& meter = *meters_.at(connection.meterIndex);
  if (!meter.IsPresent() || meter.generation() != connection.generation) return nullptr;
  return &meter;
}

ViStatus SimVisa::Resolve(ViSession session, SimMeter** meter, Millis* timeout) {
  const Connection* connection = handles_.Session(session);
  if (connection == nullptr) return VI_ERROR_INV_OBJECT;
  *meter = ConnectedMeter(*connection);
  if (*meter == nullptr) return VI_ERROR_CONN_LOST;
  *timeout = handles_.Timeout(session).value_or(Millis{kDefaultTimeoutMs});
  return VI_SUCCESS;
}

ViStatus SimVisa::viOpenDefaultRM(ViSession* resourceManager) {
  const std::lock_guard lock(mutex_);
  if (resourceManager == nullptr) return VI_ERROR_INV_PARAMETER;
  *resourceManager = handles_.OpenResourceManager();
  return VI_SUCCESS;
}

ViStatus SimVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                             ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  const std::lock_guard lock(mutex_);
  std::vector<std::string> present;
  for (const auto& meter : meters_) {
    if (meter->IsPresent()) present.push_back(meter->resourceName());
  }
  return handles_.FindResources(resourceManager, expression, present, findList, count, descriptor);
}

ViStatus SimVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  const std::lock_guard lock(mutex_);
  return handles_.FindNext(findList, descriptor);
}

ViStatus SimVisa::viOpen(ViSession resourceManager, const ViChar* resourceName,
                         ViAccessMode /*accessMode*/, ViUInt32 /*openTimeout*/,
                         ViSession* session) {
  const std::lock_guard lock(mutex_);
  if (session == nullptr) return VI_ERROR_INV_PARAMETER;
  *session = VI_NULL;
  if (!handles_.IsResourceManager(resourceManager)) return VI_ERROR_INV_OBJECT;
  const auto text = BoundedCString(resourceName, kMaxResourceNameLength);
  const auto wanted = text ? ParseUsbResourceName(*text) : std::nullopt;
  if (!wanted) return VI_ERROR_INV_RSRC_NAME;

  for (std::size_t index = 0; index < meters_.size(); ++index) {
    SimMeter& meter = *meters_[index];
    const auto name = ParseUsbResourceName(meter.resourceName());
    if (!name || !SameUsbResource(*name, *wanted)) continue;
    if (!meter.IsPresent()) return VI_ERROR_RSRC_NFOUND;
    *session = handles_.OpenSession(resourceManager, {index, meter.generation()});
    meter.NoteOpened();
    return VI_SUCCESS;
  }
  return VI_ERROR_RSRC_NFOUND;
}

ViStatus SimVisa::viClose(ViObject object) {
  const std::lock_guard lock(mutex_);
  return handles_.Close(object, [this](Connection& connection) {
    if (SimMeter* meter = ConnectedMeter(connection)) meter->NoteClosed();
  });
}

ViStatus SimVisa::viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) {
  const std::lock_guard lock(mutex_);
  return handles_.SetAttribute(object, attribute, value);
}

ViStatus SimVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                          ViUInt32* returnCount) {
  if (returnCount != nullptr) *returnCount = 0;
  std::unique_lock lock(mutex_);
  SimMeter* meter = nullptr;
  Millis timeout{0};
  if (const ViStatus status = Resolve(session, &meter, &timeout); status != VI_SUCCESS) {
    return status;
  }
  if (buffer == nullptr && count > 0) return VI_ERROR_INV_PARAMETER;

  const WriteResult result = meter->Receive({buffer, count});
  if (!result.delivered) return VI_ERROR_CONN_LOST;
  if (returnCount != nullptr) *returnCount = static_cast<ViUInt32>(result.taken);
  if (result.taken < count) {
    // The meter stopped taking bytes: the rest of the transfer waits in vain.
    lock.unlock();
    clock_.Sleep(timeout);
    return VI_ERROR_TMO;
  }
  return VI_SUCCESS;
}

ViStatus SimVisa::viRead(ViSession session, ViByte* buffer, ViUInt32 count, ViUInt32* returnCount) {
  if (returnCount != nullptr) *returnCount = 0;
  std::unique_lock lock(mutex_);
  SimMeter* meter = nullptr;
  Millis timeout{0};
  if (const ViStatus status = Resolve(session, &meter, &timeout); status != VI_SUCCESS) {
    return status;
  }
  if (buffer == nullptr) return VI_ERROR_INV_PARAMETER;
  if (count == 0) return VI_SUCCESS_MAX_CNT;

  const ReadResult result = meter->Reply(count, timeout);
  lock.unlock();
  clock_.Sleep(result.waited);
  switch (result.outcome) {
    case ReadOutcome::OffBus:
      return VI_ERROR_CONN_LOST;
    case ReadOutcome::TimedOut:
      return VI_ERROR_TMO;
    case ReadOutcome::Answered:
      break;
  }
  const std::size_t delivered = std::min<std::size_t>(result.bytes.size(), count);
  if (delivered > 0) std::memcpy(buffer, result.bytes.data(), delivered);
  if (returnCount != nullptr) *returnCount = static_cast<ViUInt32>(delivered);
  return result.more ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}

ViStatus SimVisa::viClear(ViSession session) {
  const std::lock_guard lock(mutex_);
  SimMeter* meter = nullptr;
  Millis timeout{0};
  if (const ViStatus status = Resolve(session, &meter, &timeout); status != VI_SUCCESS) {
    return status;
  }
  meter->Clear();
  return VI_SUCCESS;
}

}  // namespace quorvel
