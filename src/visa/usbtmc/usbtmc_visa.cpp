#include "visa/usbtmc/usbtmc_visa.h"

#include <span>

namespace quorvel {

namespace {
// VISA's time-out value meaning "wait for ever".
constexpr ViUInt32 kTimeoutInfinite = 0xFFFFFFFFu;

void SetCount(ViUInt32* returnCount, ViUInt32 value) {
  if (returnCount != nullptr) *returnCount = value;
}
}  // namespace

std::unique_ptr<VisaLibrary> MakeUsbtmcVisa(std::string_view options, Clock& /*clock*/,
                                            std::string* error) {
  auto parsed = usbtmc::ParseLinkOptions(options, error);
  if (!parsed) return nullptr;
  return UsbtmcVisa::Create(error, std::move(*parsed));
}

std::unique_ptr<UsbtmcVisa> UsbtmcVisa::Create(std::string* error, usbtmc::LinkOptions options) {
  auto context = usbtmc::UsbContext::Create(error);
  if (!context) return nullptr;
  return std::unique_ptr<UsbtmcVisa>(new UsbtmcVisa(std::move(context), std::move(options)));
}

UsbtmcVisa::UsbtmcVisa(std::unique_ptr<usbtmc::UsbContext> context, usbtmc::LinkOptions options)
    : context_(std::move(context)), options_(std::move(options)) {}

ViStatus UsbtmcVisa::viOpenDefaultRM(ViSession* resourceManager) {
  if (resourceManager == nullptr) return VI_ERROR_INV_PARAMETER;
  *resourceManager = handles_.OpenResourceManager();
  return VI_SUCCESS;
}

ViStatus UsbtmcVisa::viFindRsrc(ViSession resourceManager, const ViChar* expression,
                                ViFindList* findList, ViUInt32* count, ViChar* descriptor) {
  std::vector<std::string> names;
  // An invalid handle is refused before the bus is touched.
  if (handles_.IsResourceManager(resourceManager)) {
    usbtmc::BusScan scan = usbtmc::ScanBus(context_->get());
    usbtmc::ApplyProductAlias(options_, &scan);
    for (const auto& found : scan.interfaces) {
      names.push_back(found.name.ToString());
    }
  }
  return handles_.FindResources(resourceManager, expression, names, findList, count, descriptor);
}

ViStatus UsbtmcVisa::viFindNext(ViFindList findList, ViChar* descriptor) {
  return handles_.FindNext(findList, descriptor);
}

ViStatus UsbtmcVisa::viOpen(ViSession resourceManager, const ViChar* resourceName,
                            ViAccessMode /*accessMode*/, ViUInt32 /*openTimeout*/,
                            ViSession* session) {
  if (session != nullptr) *session = VI_NULL;
  if (!handles_.IsResourceManager(resourceManager)) return VI_ERROR_INV_OBJECT;
  if (session == nullptr) return VI_ERROR_INV_PARAMETER;
  const auto text = BoundedCString(resourceName, VI_FIND_BUFLEN);
  const auto name = text ? ParseUsbResourceName(*text) : std::nullopt;
  if (!name) return VI_ERROR_INV_RSRC_NAME;

  std::unique_ptr<usbtmc::UsbtmcLink> link;
  const ViStatus opened = usbtmc::UsbtmcLink::Open(context_->get(), *name, options_, &link);
  if (opened != VI_SUCCESS) return opened;
  *session = handles_.OpenSession(resourceManager, Session{std::move(link)});
  return VI_SUCCESS;
}

ViStatus UsbtmcVisa::viClose(ViObject object) {
  // Destroying a session's link releases its interface and closes the device.
  return handles_.Close(object);
}

ViStatus UsbtmcVisa::viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) {
  return handles_.SetAttribute(object, attribute, value);
}

usbtmc::Deadline UsbtmcVisa::DeadlineOf(ViSession session) const {
  const ViUInt32 timeoutMs =
      static_cast<ViUInt32>(handles_.Timeout(session).value_or(Millis{0}).count());
  return timeoutMs == kTimeoutInfinite ? usbtmc::Deadline::Infinite()
                                       : usbtmc::Deadline::After(timeoutMs);
}

ViStatus UsbtmcVisa::viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                             ViUInt32* returnCount) {
  SetCount(returnCount, 0);
  Session* state = handles_.Session(session);
  if (state == nullptr) return VI_ERROR_INV_OBJECT;
  if (buffer == nullptr && count > 0) return VI_ERROR_INV_PARAMETER;
  ViUInt32 sent = 0;
  const ViStatus status =
      state->link->Write(std::span<const std::uint8_t>(buffer, count), DeadlineOf(session), &sent);
  SetCount(returnCount, sent);
  return status;
}

ViStatus UsbtmcVisa::viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                            ViUInt32* returnCount) {
  SetCount(returnCount, 0);
  Session* state = handles_.Session(session);
  if (state == nullptr) return VI_ERROR_INV_OBJECT;
  if (buffer == nullptr && count > 0) return VI_ERROR_INV_PARAMETER;
  ViUInt32 received = 0;
  const ViStatus status =
      state->link->Read(std::span<std::uint8_t>(buffer, count), DeadlineOf(session), &received);
  SetCount(returnCount, received);
  return status;
}

ViStatus UsbtmcVisa::viClear(ViSession session) {
  Session* state = handles_.Session(session);
  if (state == nullptr) return VI_ERROR_INV_OBJECT;
  return state->link->Clear(DeadlineOf(session));
}

std::string UsbtmcVisa::LastFailure(ViSession session) {
  const Session* state = handles_.Session(session);
  return state == nullptr ? std::string() : state->link->lastProblem();
}

}  // namespace quorvel
