#pragma once
// A VISA resource manager, find list or session owned by the code that opened
// it. It is closed once, by Close() or the destructor, and holds nothing
// afterwards: libraries may hand a closed number out again at the next open,
// so a kept number could later close or write to another meter's session.
#include "visa/visa_library.h"

namespace quorvel {

class VisaHandle {
 public:
  VisaHandle() = default;
  // Takes `object` from `visa`; VI_NULL holds nothing.
  VisaHandle(VisaLibrary& visa, ViObject object) : visa_(&visa), object_(object) {}
  VisaHandle(VisaHandle&& other) noexcept { *this = std::move(other); }
  VisaHandle& operator=(VisaHandle&& other) noexcept;
  VisaHandle(const VisaHandle&) = delete;
  VisaHandle& operator=(const VisaHandle&) = delete;
  ~VisaHandle() { Close(); }

  ViObject get() const { return object_; }
  bool empty() const { return object_ == VI_NULL; }

  // viClose of what is held; VI_ERROR_INV_OBJECT, with no call, when nothing is.
  ViStatus Close();
  // Lets go of a find list or session that its resource manager closes:
  // closing a resource manager closes everything opened from it.
  void LeaveToItsManager() { object_ = VI_NULL; }

 private:
  VisaLibrary* visa_ = nullptr;
  ViObject object_ = VI_NULL;
};

// viOpenDefaultRM; empty when the library failed.
VisaHandle OpenResourceManager(VisaLibrary& visa);

// viOpen of `resource` under `resourceManager`. Only a successful open with a
// handle counts: a library that reports a failure gets nothing it returned
// believed.
struct OpenedSession {
  VisaHandle session;
  ViStatus status = VI_ERROR_INV_OBJECT;
};
OpenedSession OpenSession(VisaLibrary& visa, const VisaHandle& resourceManager,
                          const ViChar* resource);

}  // namespace quorvel
