#include "core/workers.hpp"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace zarv {

unsigned available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

unsigned resolve_workers(uint64_t threads) {
  const uint64_t cpus = available_cpus();
  uint64_t w = (threads == 0 || threads > cpus) ? cpus : threads;
  return static_cast<unsigned>(std::clamp<uint64_t>(w, 1, 65535));
}

}  // namespace zarv
