// The worker-pool size rule shared by every parallel operation.
#pragma once

#include <cstdint>

namespace zarv {

// CPUs this process may run on (affinity mask), at least 1.
unsigned available_cpus();

// threads = 0 or more than the available CPUs: one worker per CPU; otherwise
// `threads`. Always within [1, 65535].
unsigned resolve_workers(uint64_t threads);

}  // namespace zarv
