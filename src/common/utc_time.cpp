#include "common/utc_time.h"

#include <ctime>

namespace quorvel {

std::string UtcNowText(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  // Windows has the bounds-checked form with its arguments the other way round.
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[64] = {};
  std::strftime(text, sizeof text, format, &utc);
  return text;
}

}  // namespace quorvel
