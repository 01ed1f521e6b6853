// thread_clock.hpp: the C++ benchmarks' one clock, this thread's CPU time,
// which other processes on a loaded machine do not advance.
#pragma once

#include <time.h>

inline double thread_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}
