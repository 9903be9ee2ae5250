#pragma once
// The thread helper: the one place where the core uses OpenMP. Every loop runs over
// fixed index ranges, so its results never depend on the number of threads.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace morbizet {

// The team size handed to OpenMP for a requested num_threads and a loop of work_items
// independent items: at least 1, since the num_threads clause needs a positive value
// even when the region is inactive; at most a few threads per processor, since a
// caller's 2147483647 would otherwise make the runtime try to create billions of
// threads; and no more threads than items, since an idle thread still costs a wake-up
// and a barrier, which on a busy machine can wait a whole scheduler time slice.
// Results never depend on it.
int team_size(std::int32_t num_threads, std::int64_t work_items);

// Runs body(i) for i in [0, n): statically scheduled over num_threads threads, or on
// the calling thread alone when num_threads <= 0. Each thread gets one contiguous block
// of indices and visits it in increasing order, and at least grain of them: below that
// waking a thread costs more than the work it would take over.
template <class Body>
void parallel_for(std::int64_t n, std::int32_t num_threads, Body&& body, std::int64_t grain = 1) {
  const int team = team_size(num_threads, (n + grain - 1) / grain);
#pragma omp parallel num_threads(team) if (num_threads > 0)
  {
#pragma omp for schedule(static)
    for (std::int64_t i = 0; i < n; ++i) body(i);
  }
}

// Element-wise loops over long vectors run in fixed ranges of this many elements, so
// that each range is a plain loop the compiler vectorises.
inline constexpr std::uint64_t kRange = std::uint64_t{1} << 14;
// Ranges per thread at least, so that a thread is only woken for 64K elements or more.
inline constexpr std::int64_t kRangesPerThread = 4;

// Runs body(begin, end) over consecutive ranges that cover [0, n). Only for loops whose
// elements are independent: the result is then the same for every thread count.
template <class Body>
void parallel_ranges(std::uint64_t n, std::int32_t num_threads, Body&& body) {
  const auto ranges = static_cast<std::int64_t>((n + kRange - 1) / kRange);
  parallel_for(
      ranges, num_threads,
      [&](std::int64_t r) {
        const std::uint64_t begin = static_cast<std::uint64_t>(r) * kRange;
        body(begin, std::min(n, begin + kRange));
      },
      kRangesPerThread);
}

// As parallel_ranges, where body(begin, end, m1, m2) also raises m1 and m2 to maxima of
// its range (replacing them only by strictly greater values). Returns the two maxima
// over [0, n), starting from 0. A maximum does not depend on the order in which values
// are compared, so neither does the result.
template <class Body>
void parallel_max2(std::uint64_t n, std::int32_t num_threads, double& m1, double& m2, Body&& body) {
  const auto ranges = static_cast<std::int64_t>((n + kRange - 1) / kRange);
  const int team = team_size(num_threads, (ranges + kRangesPerThread - 1) / kRangesPerThread);
  double a = 0.0, b = 0.0;
#pragma omp parallel for schedule(static) num_threads(team) if (num_threads > 0) reduction(max : a, b)
  for (std::int64_t r = 0; r < ranges; ++r) {
    const std::uint64_t begin = static_cast<std::uint64_t>(r) * kRange;
    double ra = 0.0, rb = 0.0;
    body(begin, std::min(n, begin + kRange), ra, rb);
    a = ra > a ? ra : a;
    b = rb > b ? rb : b;
  }
  m1 = a;
  m2 = b;
}

// The pairwise sum of values[0..count), count a power of two: a perfect binary tree of
// additions, (v0 + v1) + (v2 + v3) and so on upward. Summed this way, a vector cut into
// 2^p equal slices gives the same result whether one process sums it all or each of
// 2^p processes sums its slice and the slice sums are then added pairwise.
double pairwise_sum(double* values, std::uint64_t count);

// The length of the leaf blocks, summed in index order, of a pairwise sum over a state
// of dim amplitudes: 2^12, or dim/64 for smaller states, so that a state cut into up to
// 64 slices (or into slices of 2^12 and more) holds whole leaves in each.
inline std::uint64_t sum_block_size(std::uint64_t dim) {
  const int n = std::bit_width(dim) - 1;
  const int bits = n - 6 < 0 ? 0 : (n - 6 > 12 ? 12 : n - 6);
  return std::uint64_t{1} << bits;
}

// The number of leaves of `leaf` amplitudes that cover n amplitudes. A sector's
// dimension need not be a power of two; its last leaf is then the shorter one, which
// changes nothing for the states of the whole space.
inline std::uint64_t leaf_count(std::uint64_t n, std::uint64_t leaf) { return (n + leaf - 1) / leaf; }

// Runs body(begin, end) over consecutive blocks of block elements covering [0, n) (the
// last one shorter where block does not divide n) and returns one value per block, the
// block's sum as body returns it. Blocks are independent and each value lands in its
// own place.
template <class Body>
std::vector<double> block_sums(std::uint64_t n, std::uint64_t block, std::int32_t num_threads, Body&& body) {
  const std::uint64_t count = leaf_count(n, block);
  std::vector<double> partial(count);
  const auto grain = static_cast<std::int64_t>(std::max<std::uint64_t>(1, kRange * kRangesPerThread / block));
  parallel_for(
      static_cast<std::int64_t>(count), num_threads,
      [&](std::int64_t b) {
        const std::uint64_t begin = static_cast<std::uint64_t>(b) * block;
        partial[static_cast<std::size_t>(b)] = body(begin, std::min(n, begin + block));
      },
      grain);
  return partial;
}

}  // namespace morbizet
