#pragma once
// VISA libraries that wrap another one: the CLI puts them between the
// procedures and the backend.
#include "visa/forwarding_visa.h"

namespace quorvel::cli {

using quorvel::ForwardingVisaLibrary;

// Marks every write to the meter as in progress, so that a second Ctrl+C
// waits for it to complete instead of cutting a frame in half.
class InterruptSafeVisa final : public ForwardingVisaLibrary {
 public:
  using ForwardingVisaLibrary::ForwardingVisaLibrary;

  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viPrintf(ViSession session, const ViChar* format) override;
};

}  // namespace quorvel::cli
