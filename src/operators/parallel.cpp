#include "parallel.hpp"

#include <algorithm>

#include <omp.h>

namespace morbizet {

namespace {
// Oversubscription beyond this only adds context switches; it also bounds the stacks
// the runtime would reserve for a huge request.
constexpr int kThreadsPerProcessor = 4;
}  // namespace

int team_size(std::int32_t num_threads) {
  const int cap = kThreadsPerProcessor * std::max(1, omp_get_num_procs());
  return std::clamp<int>(num_threads, 1, cap);
}

}  // namespace morbizet
