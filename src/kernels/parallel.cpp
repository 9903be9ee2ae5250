#include "parallel.hpp"

#include <algorithm>

#include <omp.h>

namespace morbizet {

namespace {
// Oversubscription beyond this only adds context switches; it also bounds the stacks
// the runtime would reserve for a huge request.
constexpr int kThreadsPerProcessor = 4;
}  // namespace

int team_size(std::int32_t num_threads, std::int64_t work_items) {
  const std::int64_t cap = std::min<std::int64_t>(kThreadsPerProcessor * std::max(1, omp_get_num_procs()), work_items);
  return static_cast<int>(std::clamp<std::int64_t>(num_threads, 1, std::max<std::int64_t>(cap, 1)));
}

double pairwise_sum(double* values, std::uint64_t count) {
  if (count == 0) return 0.0;
  for (std::uint64_t stride = 1; stride < count; stride *= 2) {
    for (std::uint64_t i = 0; i + stride < count; i += 2 * stride) values[i] += values[i + stride];
  }
  return values[0];
}

}  // namespace morbizet
