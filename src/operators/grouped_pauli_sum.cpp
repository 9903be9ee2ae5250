#include "morbizet/grouped_pauli_sum.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "kernels/parallel.hpp"
#include "lanes.hpp"

namespace morbizet {

namespace {

using namespace lanes;

constexpr unsigned kBlockBits = 11;
constexpr std::int64_t kBlocksPerThread = 16;

// A word whose sign changes from chunk to chunk within a block: its coefficient with the
// block's and the lanes' signs already applied, and the chunk bits of its Z mask.
// Kept as plain words (and loaded unaligned) so that the scratch never needs the
// alignment of a wide register.
template <int W>
struct VaryingWord {
  std::uint64_t re[2 * W];
  std::uint64_t im[2 * W];
  std::uint64_t z_chunk;
};

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::u load_bits(const std::uint64_t* p) {
  typename Lanes<W>::u u;
  std::memcpy(&u, p, sizeof u);
  return u;
}

// Scratch of one thread: the varying words of the group at hand.
template <int W>
struct Scratch {
  std::vector<VaryingWord<W>> varying;
};

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::u broadcast_bits(double v) {
  typename Lanes<W>::u u;
  for (int c = 0; c < 2 * W; ++c) u[c] = std::bit_cast<std::uint64_t>(v);
  return u;
}

// out[l] += d * src[l ^ xc ^ XW] for the chunks of [l0, l0 + run): d = dr + i di, the
// same for every chunk, the permutation XW a compile-time constant.
template <int W, int XW, bool kRe, bool kIm>
[[gnu::always_inline]] inline void multiply_run(const cdouble* src, cdouble* out, std::uint64_t l0, std::uint64_t run,
                                                std::uint64_t xc, typename Lanes<W>::d dr, typename Lanes<W>::d di) {
  using D = typename Lanes<W>::d;
  for (std::uint64_t l = l0; l < l0 + run; l += W) {
    D v = load<W>(src + (l ^ xc));
    if constexpr (XW != 0) v = __builtin_shuffle(v, permutation<W, XW>());
    D t;
    if constexpr (kRe && !kIm) {
      t = dr * v;
    } else {
      const D p2 = di * __builtin_shuffle(v, swap_parts<W>());
      const D p1 = kRe ? dr * v : D{};
      t = __builtin_shuffle(p1 - p2, p1 + p2, interleave<W>());
    }
    store<W>(out + l, load<W>(out + l) + t);
  }
}

// out[l] += (sum over the group's words of +-phased coefficient) * src[l ^ xl] for l in
// [0, len), where src[k] is the input amplitude of local index base + k, of global index
// top | (base + k). The sign of a word is the parity of (global input index) & z; it
// splits into the block's bits (fixed here), the chunk's bits and the lane's bits.
// Words whose z has no bit below kBlockBits keep one sign over the whole block and are
// summed once, first; the others are added in order, once per run of chunks over which
// their signs stay the same.
// What add_group_lanes does with each run's sums: apply them to the input, or (for the
// Gershgorin bounds) add their moduli to a radius, or their real parts to a centre, per
// output amplitude.
enum class Use { multiply, radius, centre };

template <int W, bool kRe, bool kIm, Use kUse = Use::multiply>
[[gnu::always_inline]] inline void add_group_lanes(const FlipGroup& g, const GroupWord* words, const cdouble* src,
                                                   std::uint64_t base, std::uint64_t top, cdouble* out,
                                                   std::uint64_t len, std::uint64_t xl, Scratch<W>& scratch,
                                                   double* rows = nullptr) {
  using D = typename Lanes<W>::d;
  using U = typename Lanes<W>::u;
  const std::uint64_t lane_mask = static_cast<std::uint64_t>(W - 1);
  const std::uint64_t xw = xl & lane_mask;
  const std::uint64_t xc = xl & ~lane_mask;
  const std::uint64_t chunk_bits = (len - 1) & ~lane_mask;
  constexpr std::uint64_t kFixedBits = (std::uint64_t{1} << kBlockBits) - 1;
  double const_re = 0.0, const_im = 0.0;
  scratch.varying.clear();
  for (std::uint32_t k = g.begin; k < g.end; ++k) {
    const GroupWord& w = words[k];
    if ((w.z & kFixedBits) == 0) {
      // base holds no bit of z below the block, so this is the sign for the whole block.
      const std::uint64_t sign = parity((base | top) & w.z) << 63;
      const_re += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.re) ^ sign);
      const_im += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.im) ^ sign);
      continue;
    }
    // Input index of lane c of the chunk at l: base + (l ^ xc) + (c ^ xw).
    const std::uint64_t block_sign = parity(((base | top) & w.z) ^ (xc & w.z & chunk_bits)) << 63;
    U signs;
    for (int c = 0; c < W; ++c) {
      const std::uint64_t s =
          block_sign ^ (parity(static_cast<std::uint64_t>(c ^ static_cast<int>(xw)) & w.z & lane_mask) << 63);
      signs[2 * c] = signs[2 * c + 1] = s;
    }
    const U re = broadcast_bits<W>(w.re) ^ signs;
    const U im = broadcast_bits<W>(w.im) ^ signs;
    VaryingWord<W> v;
    std::memcpy(v.re, &re, sizeof re);
    std::memcpy(v.im, &im, sizeof im);
    v.z_chunk = w.z & chunk_bits;
    scratch.varying.push_back(v);
  }
  const D fixed_re = reinterpret_cast<D>(broadcast_bits<W>(const_re));
  const D fixed_im = reinterpret_cast<D>(broadcast_bits<W>(const_im));
  const VaryingWord<W>* varying = scratch.varying.data();
  const std::size_t nv = scratch.varying.size();
  // Every varying sign is constant over runs of chunks below the lowest chunk bit any of
  // them has, so the sum is formed once per run.
  std::uint64_t chunk_mask = 0;
  for (std::size_t k = 0; k < nv; ++k) chunk_mask |= varying[k].z_chunk;
  const std::uint64_t run = chunk_mask == 0 ? len : std::min(len, chunk_mask & (~chunk_mask + 1));
  for (std::uint64_t l0 = 0; l0 < len; l0 += run) {
    D dr = fixed_re, di = fixed_im;
    for (std::size_t k = 0; k < nv; ++k) {
      const std::uint64_t s = parity(l0 & varying[k].z_chunk) << 63;
      if constexpr (kRe) dr += reinterpret_cast<D>(load_bits<W>(varying[k].re) ^ s);
      if constexpr (kIm) di += reinterpret_cast<D>(load_bits<W>(varying[k].im) ^ s);
    }
    if constexpr (kUse == Use::multiply) {
      switch (xw) {
        case 1: if constexpr (W > 1) multiply_run<W, 1 % W, kRe, kIm>(src, out, l0, run, xc, dr, di); break;
        case 2: if constexpr (W > 2) multiply_run<W, 2 % W, kRe, kIm>(src, out, l0, run, xc, dr, di); break;
        case 3: if constexpr (W > 3) multiply_run<W, 3 % W, kRe, kIm>(src, out, l0, run, xc, dr, di); break;
        default: multiply_run<W, 0, kRe, kIm>(src, out, l0, run, xc, dr, di); break;
      }
    } else {
      // Lane pair c holds the sum of output amplitude l + c (its input has the sign).
      double lane[W];
      for (int c = 0; c < W; ++c) {
        const double re = kRe ? dr[2 * c] : 0.0, im = kIm ? di[2 * c] : 0.0;
        lane[c] = kUse == Use::radius ? std::hypot(re, im) : re;
      }
      for (std::uint64_t l = l0; l < l0 + run; l += W) {
        for (int c = 0; c < W; ++c) rows[l + static_cast<std::uint64_t>(c)] += lane[c];
      }
    }
  }
}

struct Job {
  const std::vector<FlipGroup>* groups;
  const GroupWord* words;
  std::size_t g_begin, g_end;
  const SliceSource* sources;
  std::size_t stride;
  std::uint64_t local_mask;
  bool clear;
  const BlockEpilogue* then;  // null: the output goes to out
};

// One output block of len amplitudes at local index j0: cleared (if asked), then every
// group added in order.
template <int W>
[[gnu::always_inline]] inline void block_lanes(const Job& job, cdouble* out, std::uint64_t j0, std::uint64_t len,
                                               Scratch<W>& scratch) {
  const std::uint64_t low = len - 1;
  if (job.clear) std::fill(out, out + len, cdouble{0.0, 0.0});
  for (std::size_t gi = job.g_begin; gi < job.g_end; ++gi) {
    const FlipGroup& g = (*job.groups)[gi];
    const SliceSource& src = job.sources[(gi - job.g_begin) * job.stride];
    const std::uint64_t x = g.x & job.local_mask;
    const std::uint64_t base = j0 ^ (x & ~low);  // the input block that maps onto this one
    const cdouble* in = src.data + (base - src.begin);
    if (g.end - g.begin == 1) {
      // A lone word: its product is the word kernel's, which takes its sign once per run
      // of chunks rather than once per chunk.
      const GroupWord& w = job.words[g.begin];
      add_term<W>(in, out, len, x & low, w.z & low, parity((base | src.top) & w.z), cdouble{w.re, w.im});
    } else if (g.has_re && g.has_im) {
      add_group_lanes<W, true, true>(g, job.words, in, base, src.top, out, len, x & low, scratch);
    } else if (g.has_im) {
      add_group_lanes<W, false, true>(g, job.words, in, base, src.top, out, len, x & low, scratch);
    } else if (g.has_re) {
      add_group_lanes<W, true, false>(g, job.words, in, base, src.top, out, len, x & low, scratch);
    }
  }
}

// Units [first, first + count) of `unit` amplitudes, blocks of `block` within each, on
// one thread with its own scratch. Without an epilogue the blocks go to out; with one,
// each unit is formed in a buffer of the thread's and handed to the epilogue while it
// is still in cache, so that H' * in is never stored whole.
template <int W>
[[gnu::always_inline]] inline void unit_range(const Job& job, cdouble* out, std::uint64_t out_begin,
                                              std::int64_t first, std::int64_t count, std::uint64_t unit,
                                              std::uint64_t block) {
  Scratch<W> scratch;
  std::vector<cdouble> buffer(job.then != nullptr ? unit : 0);
  for (std::int64_t u = first; u < first + count; ++u) {
    const std::uint64_t off = static_cast<std::uint64_t>(u) * unit;
    cdouble* target = job.then != nullptr ? buffer.data() : out + off;
    for (std::uint64_t b = 0; b < unit; b += block) block_lanes<W>(job, target + b, out_begin + off + b, block, scratch);
    if (job.then != nullptr) job.then->call(job.then->context, buffer.data(), out_begin + off, unit);
  }
}

// The Gershgorin discs of the rows [j0, j0 + len) (local indices; the input of a group
// whose X mask has top bits t lives at global top bits top ^ t): every eigenvalue lies
// in some [centre - radius, centre + radius]. Returns the extremes over these rows.
template <int W>
[[gnu::always_inline]] inline void gershgorin_block(const std::vector<FlipGroup>& groups, const GroupWord* words,
                                                    std::uint64_t local_mask, std::uint64_t top, std::uint64_t j0,
                                                    std::uint64_t len, Scratch<W>& scratch, double* centre,
                                                    double* radius, double& lo, double& hi) {
  const std::uint64_t low = len - 1;
  std::fill(centre, centre + len, 0.0);
  std::fill(radius, radius + len, 0.0);
  for (const FlipGroup& g : groups) {
    const std::uint64_t x = g.x & local_mask;
    const std::uint64_t base = j0 ^ (x & ~low);
    const std::uint64_t group_top = top ^ (g.x & ~local_mask);
    if (g.x == 0) {
      add_group_lanes<W, true, false, Use::centre>(g, words, nullptr, base, group_top, nullptr, len, x & low, scratch,
                                                   centre);
    } else if (g.has_im) {
      add_group_lanes<W, true, true, Use::radius>(g, words, nullptr, base, group_top, nullptr, len, x & low, scratch,
                                                  radius);
    } else {
      add_group_lanes<W, true, false, Use::radius>(g, words, nullptr, base, group_top, nullptr, len, x & low,
                                                   scratch, radius);
    }
  }
  for (std::uint64_t l = 0; l < len; ++l) {
    lo = std::min(lo, centre[l] - radius[l]);
    hi = std::max(hi, centre[l] + radius[l]);
  }
}

struct Bounds {
  double lo, hi;
};

template <int W>
[[gnu::always_inline]] inline Bounds gershgorin_range(const std::vector<FlipGroup>& groups, const GroupWord* words,
                                                      std::uint64_t local_mask, std::uint64_t top, std::uint64_t begin,
                                                      std::int64_t first, std::int64_t count, std::uint64_t block) {
  Scratch<W> scratch;
  std::vector<double> centre(block), radius(block);
  Bounds b{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  for (std::int64_t k = first; k < first + count; ++k) {
    gershgorin_block<W>(groups, words, local_mask, top, begin + static_cast<std::uint64_t>(k) * block, block, scratch,
                        centre.data(), radius.data(), b.lo, b.hi);
  }
  return b;
}

using BoundsKernel = Bounds (*)(const std::vector<FlipGroup>&, const GroupWord*, std::uint64_t, std::uint64_t,
                                std::uint64_t, std::int64_t, std::int64_t, std::uint64_t);

[[gnu::target("avx512f,avx512dq,popcnt")]] Bounds bounds_avx512(const std::vector<FlipGroup>& groups,
                                                                 const GroupWord* words, std::uint64_t mask,
                                                                 std::uint64_t top, std::uint64_t begin,
                                                                 std::int64_t first, std::int64_t count,
                                                                 std::uint64_t block) {
  return gershgorin_range<4>(groups, words, mask, top, begin, first, count, block);
}

[[gnu::target("avx2,popcnt")]] Bounds bounds_avx2(const std::vector<FlipGroup>& groups, const GroupWord* words,
                                                  std::uint64_t mask, std::uint64_t top, std::uint64_t begin,
                                                  std::int64_t first, std::int64_t count, std::uint64_t block) {
  return gershgorin_range<2>(groups, words, mask, top, begin, first, count, block);
}

Bounds bounds_baseline(const std::vector<FlipGroup>& groups, const GroupWord* words, std::uint64_t mask,
                       std::uint64_t top, std::uint64_t begin, std::int64_t first, std::int64_t count,
                       std::uint64_t block) {
  return gershgorin_range<1>(groups, words, mask, top, begin, first, count, block);
}

using RangeKernel = void (*)(const Job&, cdouble*, std::uint64_t, std::int64_t, std::int64_t, std::uint64_t,
                             std::uint64_t);

[[gnu::target("avx512f,avx512dq,popcnt")]] void range_avx512(const Job& job, cdouble* out, std::uint64_t out_begin,
                                                              std::int64_t first, std::int64_t count,
                                                              std::uint64_t unit, std::uint64_t block) {
  unit_range<4>(job, out, out_begin, first, count, unit, block);
}

[[gnu::target("avx2,popcnt")]] void range_avx2(const Job& job, cdouble* out, std::uint64_t out_begin,
                                               std::int64_t first, std::int64_t count, std::uint64_t unit,
                                               std::uint64_t block) {
  unit_range<2>(job, out, out_begin, first, count, unit, block);
}

void range_baseline(const Job& job, cdouble* out, std::uint64_t out_begin, std::int64_t first, std::int64_t count,
                    std::uint64_t unit, std::uint64_t block) {
  unit_range<1>(job, out, out_begin, first, count, unit, block);
}

// The widest variant this processor runs; all give the same roundings, lane by lane.
RangeKernel choose_kernel(std::uint64_t block) {
  if (block >= 4 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return range_avx512;
  if (block >= 2 && __builtin_cpu_supports("avx2")) return range_avx2;
  return range_baseline;
}

void run(const Job& job, cdouble* out, std::uint64_t out_begin, std::uint64_t len, std::uint64_t unit,
         std::int32_t num_threads) {
  const std::uint64_t block = GroupedPauliSum::block_size(len);
  unit = std::max(unit, block);
  const RangeKernel kernel = choose_kernel(block);
  // One contiguous share of units per thread, each thread with its own scratch.
  const auto units = static_cast<std::int64_t>(len / unit);
  const auto blocks_per_unit = static_cast<std::int64_t>(unit / block);
  const int team = team_size(num_threads, (units * blocks_per_unit + kBlocksPerThread - 1) / kBlocksPerThread);
  parallel_for(
      team, num_threads,
      [&](std::int64_t t) {
        const std::int64_t per = units / team, extra = units % team;
        const std::int64_t first = t * per + std::min<std::int64_t>(t, extra);
        kernel(job, out, out_begin, first, per + (t < extra ? 1 : 0), unit, block);
      },
      1);
}

}  // namespace

GroupedPauliSum::GroupedPauliSum(const Hamiltonian& h)
    : dim_(h.dim()), identity_coeff_(h.identity_coeff()), norm_bound_(h.norm_bound()), num_source_words_(h.num_terms()) {
  const auto& pwords = h.get_pwords();
  std::vector<std::uint64_t> order(h.active_terms());
  // Ascending x mask; words of one group keep their order in the Hamiltonian.
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint64_t a, std::uint64_t b) { return pwords[a].x_mask() < pwords[b].x_mask(); });
  words_.reserve(order.size());
  source_ = order;
  for (std::uint64_t k : order) {
    const PauliWord& w = pwords[k];
    if (groups_.empty() || groups_.back().x != w.x_mask()) {
      const auto at = static_cast<std::uint32_t>(words_.size());
      groups_.push_back({w.x_mask(), at, at, false, false});
    }
    const cdouble s = w.phased_coeff();
    words_.push_back({w.z_mask(), s.real(), s.imag()});
    FlipGroup& g = groups_.back();
    ++g.end;
    g.has_re = g.has_re || s.real() != 0.0;
    g.has_im = g.has_im || s.imag() != 0.0;
  }
}

GroupedPauliSum GroupedPauliSum::reweighted(const Hamiltonian& h) const {
  const auto& pwords = h.get_pwords();
  if (h.num_terms() != num_source_words_ || h.dim() != dim_) {
    throw std::invalid_argument("reweighted: the Hamiltonian has other words than the grouped one");
  }
  GroupedPauliSum out(*this);
  out.identity_coeff_ = h.identity_coeff();
  out.norm_bound_ = h.norm_bound();
  for (FlipGroup& g : out.groups_) {
    g.has_re = g.has_im = false;
    for (std::uint32_t p = g.begin; p < g.end; ++p) {
      const PauliWord& w = pwords[source_[p]];
      if (w.x_mask() != g.x || w.z_mask() != words_[p].z) {
        throw std::invalid_argument("reweighted: the Hamiltonian has other words than the grouped one");
      }
      const cdouble s = w.phased_coeff();
      out.words_[p].re = s.real();
      out.words_[p].im = s.imag();
      g.has_re = g.has_re || s.real() != 0.0;
      g.has_im = g.has_im || s.imag() != 0.0;
    }
  }
  return out;
}

std::uint64_t GroupedPauliSum::block_size(std::uint64_t len) {
  return std::min<std::uint64_t>(len, std::uint64_t{1} << kBlockBits);
}

void GroupedPauliSum::accumulate(std::size_t g_begin, std::size_t g_end, const SliceSource* sources,
                                 std::size_t source_stride, std::uint64_t local_mask, cdouble* out,
                                 std::uint64_t out_begin, std::uint64_t len, bool clear,
                                 std::int32_t num_threads) const {
  const Job job{&groups_, words_.data(), g_begin, g_end, sources, source_stride, local_mask, clear, nullptr};
  run(job, out, out_begin, len, 1, num_threads);
}

void GroupedPauliSum::apply_nonidentity_then(const cdouble* in, const BlockEpilogue& then, std::int32_t num_threads,
                                             const Checkpoint& checkpoint) const {
  const SliceSource whole{in, 0, 0};
  const Job job{&groups_, words_.data(), 0, groups_.size(), &whole, 0, dim_ - 1, true, &then};
  const std::uint64_t slice = std::max(checkpoint_slice(dim_, words_.size()), std::min(then.unit, dim_));
  for (std::uint64_t begin = 0; begin < dim_; begin += slice) {
    if (begin > 0) checkpoint();
    run(job, nullptr, begin, slice, std::min(then.unit, dim_), num_threads);
  }
}

std::pair<double, double> GroupedPauliSum::gershgorin_bounds(std::uint64_t local_mask, std::uint64_t top,
                                                             std::uint64_t begin, std::uint64_t len,
                                                             std::int32_t num_threads) const {
  const std::uint64_t block = block_size(len);
  BoundsKernel kernel = bounds_baseline;
  if (block >= 4 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) {
    kernel = bounds_avx512;
  } else if (block >= 2 && __builtin_cpu_supports("avx2")) {
    kernel = bounds_avx2;
  }
  const auto blocks = static_cast<std::int64_t>(len / block);
  const int team = team_size(num_threads, (blocks + kBlocksPerThread - 1) / kBlocksPerThread);
  std::vector<Bounds> shares(static_cast<std::size_t>(team));
  parallel_for(
      team, num_threads,
      [&](std::int64_t t) {
        const std::int64_t per = blocks / team, extra = blocks % team;
        const std::int64_t first = t * per + std::min<std::int64_t>(t, extra);
        shares[static_cast<std::size_t>(t)] =
            kernel(groups_, words_.data(), local_mask, top, begin, first, per + (t < extra ? 1 : 0), block);
      },
      1);
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (const Bounds& b : shares) {
    lo = std::min(lo, b.lo);
    hi = std::max(hi, b.hi);
  }
  return {lo, hi};
}

std::pair<double, double> GroupedPauliSum::spectral_bounds(std::int32_t num_threads) const {
  return gershgorin_bounds(dim_ - 1, 0, 0, dim_, num_threads);
}

std::pair<double, double> GroupedPauliSum::spectral_bounds(std::int32_t num_threads,
                                                           const Checkpoint& checkpoint) const {
  // The extremes of slices combine exactly, in any order.
  const std::uint64_t slice = checkpoint_slice(dim_, words_.size());
  std::pair<double, double> bounds{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  for (std::uint64_t begin = 0; begin < dim_; begin += slice) {
    if (begin > 0) checkpoint();
    const auto [lo, hi] = gershgorin_bounds(dim_ - 1, 0, begin, slice, num_threads);
    bounds = {std::min(bounds.first, lo), std::max(bounds.second, hi)};
  }
  return bounds;
}

void GroupedPauliSum::apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const {
  const SliceSource whole{in, 0, 0};
  accumulate(0, groups_.size(), &whole, 0, dim_ - 1, out, 0, dim_, true, num_threads);
}

void GroupedPauliSum::apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads,
                                        const Checkpoint& checkpoint) const {
  const SliceSource whole{in, 0, 0};
  const std::uint64_t slice = checkpoint_slice(dim_, words_.size());
  for (std::uint64_t begin = 0; begin < dim_; begin += slice) {
    if (begin > 0) checkpoint();
    accumulate(0, groups_.size(), &whole, 0, dim_ - 1, out + begin, begin, slice, true, num_threads);
  }
}

}  // namespace morbizet
