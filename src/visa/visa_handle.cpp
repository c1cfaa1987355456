#include "visa/visa_handle.h"

#include <utility>

namespace quorvel {

VisaHandle& VisaHandle::operator=(VisaHandle&& other) noexcept {
  if (this == &other) return *this;
  Close();
  visa_ = std::exchange(other.visa_, nullptr);
  object_ = std::exchange(other.object_, VI_NULL);
  return *this;
}

ViStatus VisaHandle::Close() {
  if (object_ == VI_NULL || visa_ == nullptr) return VI_ERROR_INV_OBJECT;
  return visa_->viClose(std::exchange(object_, VI_NULL));
}

VisaHandle OpenResourceManager(VisaLibrary& visa) {
  ViSession manager = VI_NULL;
  if (!ViSucceeded(visa.viOpenDefaultRM(&manager))) return {};
  return VisaHandle(visa, manager);
}

OpenedSession OpenSession(VisaLibrary& visa, const VisaHandle& resourceManager,
                          const ViChar* resource) {
  OpenedSession opened;
  if (resourceManager.empty()) return opened;
  ViSession session = VI_NULL;
  opened.status = visa.viOpen(resourceManager.get(), resource, VI_NULL, 0, &session);
  if (!ViSucceeded(opened.status)) return opened;
  if (session == VI_NULL) {
    opened.status = VI_ERROR_INV_OBJECT;
    return opened;
  }
  opened.session = VisaHandle(visa, session);
  return opened;
}

}  // namespace quorvel
