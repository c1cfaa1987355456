#pragma once
// The wall-clock time in UTC as text, for records and traces that people read
// later on another machine (not a wait: waits go through the Clock).
#include <string>

namespace quorvel {

// Now in UTC, written with strftime's `format` (at most 63 characters out).
std::string UtcNowText(const char* format);

}  // namespace quorvel
