// What the benchmarks measure: wall time, and the CPU time this process spent
// (a paced update should leave the CPU idle while it waits between frames).
#pragma once

#include <time.h>

#include <chrono>

namespace quorvel::bench {

inline double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace quorvel::bench
