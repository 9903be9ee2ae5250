#include "morbizet/pauli_sum_kernel.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernels/parallel.hpp"
#include "kernels/lanes.hpp"

namespace morbizet {

namespace {

using namespace lanes;

// 2^11 amplitudes (32 KiB) of output stay in the first-level cache while every term
// adds into them.
constexpr unsigned kBlockBits = 11;
// Blocks per thread at least: a smaller share does not pay for waking the thread.
constexpr std::int64_t kBlocksPerThread = 16;
struct Job {
  const PauliTerm* terms;
  std::size_t count;
  const SliceSource* sources;
  std::size_t stride;
  std::uint64_t local_mask;
  bool clear;
};

// One output block of len amplitudes at local index j0: cleared (when asked), then every
// term added in order, each gathering from the input block it maps onto this one.
template <int W>
[[gnu::always_inline]] inline void block_lanes(const Job& job, cdouble* out, std::uint64_t j0, std::uint64_t len) {
  const std::uint64_t low = len - 1;
  if (job.clear) {
    for (std::uint64_t l = 0; l < len; ++l) out[l] = cdouble{0.0, 0.0};
  }
  for (std::size_t k = 0; k < job.count; ++k) {
    const PauliTerm& t = job.terms[k];
    const SliceSource& src = job.sources[k * job.stride];
    const std::uint64_t x = t.x & job.local_mask;
    const std::uint64_t base = j0 ^ (x & ~low);  // the input block that maps onto this one
    add_term<W>(src.data + (base - src.begin), out, len, x & low, t.z & low, parity((base | src.top) & t.z), t.s);
  }
}

using BlockKernel = void (*)(const Job&, cdouble*, std::uint64_t, std::uint64_t);

[[gnu::target("avx512f,avx512dq,popcnt")]] void block_avx512(const Job& job, cdouble* out, std::uint64_t j0,
                                                              std::uint64_t len) {
  block_lanes<4>(job, out, j0, len);
}

[[gnu::target("avx2,popcnt")]] void block_avx2(const Job& job, cdouble* out, std::uint64_t j0, std::uint64_t len) {
  block_lanes<2>(job, out, j0, len);
}

void block_baseline(const Job& job, cdouble* out, std::uint64_t j0, std::uint64_t len) {
  block_lanes<1>(job, out, j0, len);
}

// The widest variant this processor runs; every variant computes the same roundings,
// lane by lane, so the choice never shows in the result.
BlockKernel choose_kernel(std::uint64_t block) {
  const int width = std::min<std::uint64_t>(block, static_cast<std::uint64_t>(widest_lanes()));
  if (width == 4) return block_avx512;
  if (width == 2) return block_avx2;
  return block_baseline;
}

}  // namespace

void accumulate_pauli_terms(const PauliTerm* terms, std::size_t count, const SliceSource* sources,
                            std::size_t source_stride, std::uint64_t local_mask, cdouble* out, std::uint64_t out_begin,
                            std::uint64_t len, bool clear, std::int32_t num_threads) {
  const Job job{terms, count, sources, source_stride, local_mask, clear};
  const std::uint64_t block = std::min<std::uint64_t>(len, std::uint64_t{1} << kBlockBits);
  const BlockKernel kernel = choose_kernel(block);
  parallel_for(
      static_cast<std::int64_t>(len / block), num_threads,
      [&](std::int64_t b) {
        const std::uint64_t off = static_cast<std::uint64_t>(b) * block;
        kernel(job, out + off, out_begin + off, block);
      },
      kBlocksPerThread);
}

void apply_pauli_sum(const std::vector<PauliTerm>& terms, const cdouble* in, cdouble* out, std::uint64_t dim,
                     std::int32_t num_threads) {
  const SliceSource whole{in, 0, 0};
  accumulate_pauli_terms(terms.data(), terms.size(), &whole, 0, dim - 1, out, 0, dim, true, num_threads);
}

}  // namespace morbizet
