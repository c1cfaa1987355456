#pragma once
// VISA status codes by name, for traces and messages a person reads.
#include <string>

#include "visa/visa_types.h"

namespace quorvel {

// "VI_SUCCESS", "VI_ERROR_TMO", ...; a code this tool does not know is written
// in hexadecimal, "0xBFFF00FF".
std::string ViStatusName(ViStatus status);

}  // namespace quorvel
