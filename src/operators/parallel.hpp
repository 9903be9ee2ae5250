#pragma once
// The one place where the core uses OpenMP.

#include <cstdint>

namespace morbizet {

// The team size handed to OpenMP for a requested num_threads: at least 1, since the
// num_threads clause needs a positive value even when the region is inactive, and at
// most a few threads per processor, since a caller's 2147483647 would otherwise make
// the runtime try to create billions of threads. Results never depend on it.
int team_size(std::int32_t num_threads);

// Runs body(i) for i in [0, n): statically scheduled over num_threads threads, or on
// the calling thread alone when num_threads <= 0. Each thread gets one contiguous block
// of indices and visits it in increasing order.
template <class Body>
void parallel_for(std::int64_t n, std::int32_t num_threads, Body&& body) {
  const int team = team_size(num_threads);
#pragma omp parallel num_threads(team) if (num_threads > 0)
  {
#pragma omp for schedule(static)
    for (std::int64_t i = 0; i < n; ++i) body(i);
  }
}

}  // namespace morbizet
