#include "morbizet/pauli_sum_kernel.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernels/parallel.hpp"
#include "lanes.hpp"

namespace morbizet {

namespace {

using namespace lanes;

// 2^11 amplitudes (32 KiB) of output stay in the first-level cache while every term
// adds into them.
constexpr unsigned kBlockBits = 11;
// Blocks per thread at least: a smaller share does not pay for waking the thread.
constexpr std::int64_t kBlocksPerThread = 16;
// out[l] += (-1)^parity(i & z) * s * src[l ^ xl] for l in [0, len), where i is the
// global index of src[l ^ xl] and hi is the parity of its bits above the block. The
// products and sums are the scalar ones, lane by lane: t.re = s.re*v.re - s.im*v.im,
// t.im = s.re*v.im + s.im*v.re, out + t, with -s formed by flipping sign bits.
template <int W, int XW>
[[gnu::always_inline]] inline void add_term_lanes(const cdouble* src, cdouble* out, std::uint64_t len,
                                                  std::uint64_t xl, std::uint64_t zl, std::uint64_t hi,
                                                  cdouble s) {
  using D = typename Lanes<W>::d;
  using U = typename Lanes<W>::u;
  // The sign of lane pair c within a chunk depends on (c ^ XW) & zl alone; the chunk's
  // own bits add one parity per chunk.
  U s_re, s_im;
  for (int c = 0; c < W; ++c) {
    const std::uint64_t lane_sign = parity(static_cast<std::uint64_t>(c ^ XW) & zl) << 63;
    s_re[2 * c] = s_re[2 * c + 1] = std::bit_cast<std::uint64_t>(s.real()) ^ lane_sign;
    s_im[2 * c] = s_im[2 * c + 1] = std::bit_cast<std::uint64_t>(s.imag()) ^ lane_sign;
  }
  const std::uint64_t xc = xl & ~static_cast<std::uint64_t>(W - 1);
  const std::uint64_t zc = zl & ~static_cast<std::uint64_t>(W - 1);
  // Within a run of chunks below the lowest bit of zc the chunk's sign is constant.
  const std::uint64_t run = zc == 0 ? len : std::min(len, zc & (~zc + 1));
  for (std::uint64_t l0 = 0; l0 < len; l0 += run) {
    const std::uint64_t run_sign = (hi ^ parity((l0 ^ xc) & zc)) << 63;
    const D sr = reinterpret_cast<D>(s_re ^ run_sign);
    const D si = reinterpret_cast<D>(s_im ^ run_sign);
    for (std::uint64_t l = l0; l < l0 + run; l += W) {
      D v = load<W>(src + (l ^ xc));
      if constexpr (XW != 0) v = __builtin_shuffle(v, permutation<W, XW>());
      const D p1 = sr * v;
      const D p2 = si * __builtin_shuffle(v, swap_parts<W>());
      const D t = __builtin_shuffle(p1 - p2, p1 + p2, interleave<W>());
      store<W>(out + l, load<W>(out + l) + t);
    }
  }
}

template <int W>
[[gnu::always_inline]] inline void add_term(const cdouble* src, cdouble* out, std::uint64_t len, std::uint64_t xl,
                                            std::uint64_t zl, std::uint64_t hi, cdouble s) {
  switch (xl & (W - 1)) {
    case 0: add_term_lanes<W, 0>(src, out, len, xl, zl, hi, s); break;
    case 1: if constexpr (W > 1) add_term_lanes<W, 1 % W>(src, out, len, xl, zl, hi, s); break;
    case 2: if constexpr (W > 2) add_term_lanes<W, 2 % W>(src, out, len, xl, zl, hi, s); break;
    case 3: if constexpr (W > 3) add_term_lanes<W, 3 % W>(src, out, len, xl, zl, hi, s); break;
    default: break;
  }
}

// One output block: cleared, then every term added in order.
template <int W>
[[gnu::always_inline]] inline void block_lanes(const std::vector<PauliTerm>& terms, const cdouble* in, cdouble* out,
                                               std::uint64_t j0, std::uint64_t block) {
  const std::uint64_t low = block - 1;
  cdouble* o = out + j0;
  for (std::uint64_t l = 0; l < block; ++l) o[l] = cdouble{0.0, 0.0};
  for (const PauliTerm& t : terms) {
    const std::uint64_t base = j0 ^ (t.x & ~low);  // the input block that maps onto this one
    add_term<W>(in + base, o, block, t.x & low, t.z & low, parity(base & t.z), t.s);
  }
}

using BlockKernel = void (*)(const std::vector<PauliTerm>&, const cdouble*, cdouble*, std::uint64_t, std::uint64_t);

[[gnu::target("avx512f,avx512dq,popcnt")]] void block_avx512(const std::vector<PauliTerm>& terms, const cdouble* in,
                                                              cdouble* out, std::uint64_t j0, std::uint64_t block) {
  block_lanes<4>(terms, in, out, j0, block);
}

[[gnu::target("avx2,popcnt")]] void block_avx2(const std::vector<PauliTerm>& terms, const cdouble* in, cdouble* out,
                                               std::uint64_t j0, std::uint64_t block) {
  block_lanes<2>(terms, in, out, j0, block);
}

void block_baseline(const std::vector<PauliTerm>& terms, const cdouble* in, cdouble* out, std::uint64_t j0,
                    std::uint64_t block) {
  block_lanes<1>(terms, in, out, j0, block);
}

// The widest variant this processor runs; every variant computes the same roundings,
// lane by lane, so the choice never shows in the result.
BlockKernel choose_kernel(std::uint64_t block) {
  if (block >= 4 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return block_avx512;
  if (block >= 2 && __builtin_cpu_supports("avx2")) return block_avx2;
  return block_baseline;
}

}  // namespace

void apply_pauli_sum(const std::vector<PauliTerm>& terms, const cdouble* in, cdouble* out, std::uint64_t dim,
                     std::int32_t num_threads) {
  const std::uint64_t block = std::min<std::uint64_t>(dim, std::uint64_t{1} << kBlockBits);
  const BlockKernel kernel = choose_kernel(block);
  parallel_for(
      static_cast<std::int64_t>(dim / block), num_threads,
      [&](std::int64_t b) { kernel(terms, in, out, static_cast<std::uint64_t>(b) * block, block); },
      kBlocksPerThread);
}

}  // namespace morbizet
