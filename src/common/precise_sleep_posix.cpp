#include <thread>

#include "common/precise_sleep.h"

namespace quorvel {

void SleepUntil(std::chrono::steady_clock::time_point target) {
  std::this_thread::sleep_until(target);
}

}  // namespace quorvel
