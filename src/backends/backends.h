#pragma once
// The composition root of the VISA layer: the one place that knows every
// backend. The front ends choose a backend by name here; the backends
// themselves know nothing of each other.
#include <memory>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "visa/visa_library.h"

namespace quorvel {

// Creates a backend by name: "sim[:key=value,...]" (the simulated meter with
// its knobs), "usbtmc" (USBTMC over libusb) or "system[:path=FILE]" (an
// installed VISA library). On failure returns null and puts a message naming
// the problem into *error.
std::unique_ptr<VisaLibrary> MakeVisaLibrary(std::string_view name, Clock& clock,
                                             std::string* error);

// Why a meter that is attached may still not be found with this backend (on
// USB: this user may not open it, and how to change that); empty when there
// is nothing to add to "not found".
std::string MeterAccessHint(std::string_view backendName);

}  // namespace quorvel
