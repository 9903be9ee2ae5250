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
#include "kernels/lanes.hpp"

namespace morbizet {

namespace {

using namespace lanes;

constexpr unsigned kBlockBits = 11;
constexpr std::int64_t kBlocksPerThread = 16;
// A group gets a table of its low words (64 KiB) where at least kTableWords of them
// change sign within a block; at most kMaxTables groups do.
constexpr std::size_t kTableWords = 3;
constexpr std::size_t kMaxTables = 16;
// Groups applied together to a tile of kTileChunks vector registers of the output.
constexpr std::size_t kBatch = 8;
constexpr int kTileChunks = 8;
// A group with this many words whose Z masks have low bits gets its coefficient for every
// low input index by a Walsh-Hadamard transform per block (about 22 additions per index)
// rather than a term per word and run of amplitudes.
constexpr std::size_t kTransformWords = 32;

// a[i] <- sum over p of a[p] (-1)^popcount(i & p), for the 2^kBlockBits entries of a: the
// unnormalised Walsh-Hadamard transform, in its butterfly order (inlined into each
// vector variant, whose registers then carry the butterflies).
[[gnu::always_inline]] inline void walsh_hadamard(double* a) {
  typedef double V8 __attribute__((vector_size(64)));
  typedef std::int64_t I8 __attribute__((vector_size(64)));
  constexpr std::uint64_t kLow = std::uint64_t{1} << kBlockBits;
  // The butterflies of h = 1, 2, 4 within each group of eight entries, in one register:
  // the sums to the lower entry of each pair, the differences (lower - upper) to the upper.
  for (std::uint64_t i = 0; i < kLow; i += 8) {
    V8 v;
    std::memcpy(&v, a + i, sizeof v);
    V8 w = __builtin_shuffle(v, I8{1, 0, 3, 2, 5, 4, 7, 6});
    v = __builtin_shuffle(v + w, w - v, I8{0, 9, 2, 11, 4, 13, 6, 15});
    w = __builtin_shuffle(v, I8{2, 3, 0, 1, 6, 7, 4, 5});
    v = __builtin_shuffle(v + w, w - v, I8{0, 1, 10, 11, 4, 5, 14, 15});
    w = __builtin_shuffle(v, I8{4, 5, 6, 7, 0, 1, 2, 3});
    v = __builtin_shuffle(v + w, w - v, I8{0, 1, 2, 3, 12, 13, 14, 15});
    std::memcpy(a + i, &v, sizeof v);
  }
  for (std::uint64_t h = 8; h < kLow; h *= 2) {
    for (std::uint64_t i = 0; i < kLow; i += 2 * h) {
      for (std::uint64_t j = i; j < i + h; ++j) {
        const double u = a[j], v = a[j + h];
        a[j] = u + v;
        a[j + h] = u - v;
      }
    }
  }
}

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
  std::vector<double> walsh;       // one group's coefficients by low Z pattern, then their transform
  std::vector<double> transforms;  // per group of a batch: its coefficient for every low input index
};

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::u broadcast_bits(double v) {
  typename Lanes<W>::u u;
  for (int c = 0; c < 2 * W; ++c) u[c] = std::bit_cast<std::uint64_t>(v);
  return u;
}

// How a group's coefficient multiplies an amplitude: real, imaginary or complex.
enum class Mode { re, im, both };

// A group's part in one output block: where its input block is, how it is permuted
// (xc across chunks, xw within a chunk), its coefficient (the words fixed over the
// block, the varying ones in scratch [v_begin, v_end), the table rows if any), the run
// of amplitudes over which the varying signs hold, and which product it takes.
template <int W>
struct GroupPlan {
  const cdouble* in;
  std::uint64_t xc, xw, run;
  std::uint64_t fixed_re[2 * W], fixed_im[2 * W];
  std::uint32_t v_begin, v_end;
  const double* tre;
  const double* tim;
  Mode mode;
  bool empty;
};

// The plan of group g for the output block of len amplitudes whose input block starts at
// local index base (global top | base), its varying words appended to the scratch, its
// transform (if any) in the scratch's slot. The sign of a word is the parity of (global
// input index) & z; it splits into the bits above the low kBlockBits (fixed for an
// aligned run of 2^kBlockBits amplitudes), the chunk's bits and the lane's bits. Per
// amplitude the coefficient is: the words whose z has no low bit (one sign over the
// block, summed once, first), then the others in order, each with the sign of the
// amplitude's run, then (where the group has one) the table of its words whose z has only
// low bits. A group with kTransformWords or more words whose z has low bits sums those
// instead as sum_p a_p (-1)^popcount(i & p) over their low patterns p, a_p the sum in
// word order of the coefficients (with the signs of the block's high bits) of the words
// with low pattern p: one Walsh-Hadamard transform per block, added to the fixed sum per
// amplitude.
template <int W>
[[gnu::always_inline]] inline GroupPlan<W> plan_group(const FlipGroup& g, const GroupWord* words, const double* table,
                                                      const cdouble* in, std::uint64_t base, std::uint64_t top,
                                                      std::uint64_t len, std::uint64_t xl, Scratch<W>& scratch,
                                                      std::size_t slot) {
  using U = typename Lanes<W>::u;
  const std::uint64_t lane_mask = static_cast<std::uint64_t>(W - 1);
  constexpr std::uint64_t kFixedBits = (std::uint64_t{1} << kBlockBits) - 1;
  GroupPlan<W> p;
  p.in = in;
  p.xw = xl & lane_mask;
  p.xc = xl & ~lane_mask;
  p.mode = g.has_re && g.has_im ? Mode::both : g.has_im ? Mode::im : Mode::re;
  p.empty = !g.has_re && !g.has_im;
  p.v_begin = static_cast<std::uint32_t>(scratch.varying.size());
  const std::uint64_t chunk_bits = (len - 1) & ~lane_mask;
  double const_re = 0.0, const_im = 0.0;
  std::uint64_t chunk_mask = 0;
  constexpr std::uint64_t kLow = kFixedBits + 1;
  // The signs of the words over the whole block: those of the input's bits above it.
  const std::uint64_t high = (base | top) & ~kFixedBits;
  std::size_t low_words = 0;
  for (std::uint32_t k = g.begin; k < g.end; ++k) low_words += (words[k].z & kFixedBits) != 0 ? 1 : 0;
  if (low_words >= kTransformWords) {
    scratch.walsh.assign(2 * kLow, 0.0);
    double* re = scratch.walsh.data();
    double* im = re + kLow;
    for (std::uint32_t k = g.begin; k < g.end; ++k) {
      const GroupWord& w = words[k];
      const std::uint64_t sign = parity(high & w.z) << 63;
      double& r = (w.z & kFixedBits) == 0 ? const_re : re[w.z & kFixedBits];
      double& i = (w.z & kFixedBits) == 0 ? const_im : im[w.z & kFixedBits];
      r += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.re) ^ sign);
      i += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.im) ^ sign);
    }
    walsh_hadamard(re);
    walsh_hadamard(im);
    // Sized for a whole batch at once: the plans of a batch point into it.
    if (scratch.transforms.size() < kBatch * 4 * kLow) scratch.transforms.resize(kBatch * 4 * kLow);
    double* t = scratch.transforms.data() + slot * 4 * kLow;
    for (std::uint64_t i = 0; i < kLow; ++i) {
      t[2 * i] = t[2 * i + 1] = re[i];
      t[2 * kLow + 2 * i] = t[2 * kLow + 2 * i + 1] = im[i];
    }
    table = t;  // the transform takes the place of the group's table; no word varies
  } else {
    for (std::uint32_t k = g.begin; k < g.end; ++k) {
      const GroupWord& w = words[k];
      if ((w.z & kFixedBits) == 0) {
        const std::uint64_t sign = parity(high & w.z) << 63;
        const_re += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.re) ^ sign);
        const_im += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.im) ^ sign);
        continue;
      }
      if (table != nullptr && (w.z & ~kFixedBits) == 0) continue;  // in the table
      // Input index of lane c of the chunk at l: base + (l ^ xc) + (c ^ xw).
      const std::uint64_t block_sign = parity(((base | top) & w.z) ^ (p.xc & w.z & chunk_bits)) << 63;
      U signs;
      for (int c = 0; c < W; ++c) {
        const std::uint64_t s =
            block_sign ^ (parity((static_cast<std::uint64_t>(c) ^ p.xw) & w.z & lane_mask) << 63);
        signs[2 * c] = signs[2 * c + 1] = s;
      }
      const U re = broadcast_bits<W>(w.re) ^ signs;
      const U im = broadcast_bits<W>(w.im) ^ signs;
      VaryingWord<W> v;
      std::memcpy(v.re, &re, sizeof re);
      std::memcpy(v.im, &im, sizeof im);
      v.z_chunk = w.z & chunk_bits;
      chunk_mask |= v.z_chunk;
      scratch.varying.push_back(v);
    }
  }
  p.v_end = static_cast<std::uint32_t>(scratch.varying.size());
  for (int c = 0; c < 2 * W; ++c) {
    p.fixed_re[c] = std::bit_cast<std::uint64_t>(const_re);
    p.fixed_im[c] = std::bit_cast<std::uint64_t>(const_im);
  }
  // Every varying sign is constant over runs of chunks below the lowest chunk bit any of
  // them has.
  p.run = chunk_mask == 0 ? len : std::min(len, chunk_mask & (~chunk_mask + 1));
  // The table's entries are indexed by the low bits of the input.
  const std::uint64_t at = (base | top) & kFixedBits;
  p.tre = table != nullptr ? table + 2 * at : nullptr;
  p.tim = table != nullptr ? table + 2 * kLow + 2 * at : nullptr;
  return p;
}

// The coefficient of the run holding chunk l: the fixed sum, then the varying words in
// order with their signs.
template <int W, bool kRe, bool kIm>
[[gnu::always_inline]] inline void run_coefficient(const GroupPlan<W>& p, const VaryingWord<W>* varying,
                                                   std::uint64_t l, typename Lanes<W>::d& dr,
                                                   typename Lanes<W>::d& di) {
  using D = typename Lanes<W>::d;
  dr = reinterpret_cast<D>(load_bits<W>(p.fixed_re));
  di = reinterpret_cast<D>(load_bits<W>(p.fixed_im));
  for (std::uint32_t k = p.v_begin; k < p.v_end; ++k) {
    const std::uint64_t s = parity(l & varying[k].z_chunk) << 63;
    if constexpr (kRe) dr += reinterpret_cast<D>(load_bits<W>(varying[k].re) ^ s);
    if constexpr (kIm) di += reinterpret_cast<D>(load_bits<W>(varying[k].im) ^ s);
  }
}

// d plus the table entries of the input indices of the chunk at l ^ xc, lane pair c
// holding the entry of input c ^ XW like the amplitudes (each entry stored twice, for
// the real and imaginary part of an amplitude).
template <int W, int XW>
[[gnu::always_inline]] inline typename Lanes<W>::d plus_table(typename Lanes<W>::d d, const double* table,
                                                              std::uint64_t at) {
  typename Lanes<W>::d t;
  std::memcpy(&t, table + 2 * at, sizeof t);
  if constexpr (XW != 0) t = __builtin_shuffle(t, permutation<W, XW>());
  return d + t;
}

// acc[q] += d * in[l ^ xc ^ XW] for the R chunks l = s + q W of a tile, the accumulators
// held in registers across the groups of a batch. With kShort the varying signs change
// within the tile (a run is shorter than it), so the coefficient is formed anew at the
// start of each run; without, once for the tile.
template <int W, int R, int XW, Mode kMode, bool kTable, bool kShort>
[[gnu::always_inline]] inline void tile_group(const GroupPlan<W>& p, const VaryingWord<W>* varying, std::uint64_t s,
                                              typename Lanes<W>::d* acc) {
  using D = typename Lanes<W>::d;
  constexpr bool kRe = kMode != Mode::im, kIm = kMode != Mode::re;
  D dr, di;
#pragma GCC unroll 16
  for (int q = 0; q < R; ++q) {
    const std::uint64_t l = s + static_cast<std::uint64_t>(q * W);
    if (q == 0 || (kShort && (l & (p.run - 1)) == 0)) run_coefficient<W, kRe, kIm>(p, varying, l, dr, di);
    D v = load<W>(p.in + (l ^ p.xc));
    if constexpr (XW != 0) v = __builtin_shuffle(v, permutation<W, XW>());
    D ar = dr, ai = di;
    if constexpr (kTable && kRe) ar = plus_table<W, XW>(dr, p.tre, l ^ p.xc);
    if constexpr (kTable && kIm) ai = plus_table<W, XW>(di, p.tim, l ^ p.xc);
    D t;
    if constexpr (kMode == Mode::re) {
      t = ar * v;
    } else if constexpr (kMode == Mode::both) {
      t = times<W>(ar, ai, v);
    } else {
      // No real part: the products with it are +0, as the complex formula would add.
      const D p2 = ai * __builtin_shuffle(v, swap_parts<W>());
      t = __builtin_shuffle(D{} - p2, D{} + p2, interleave<W>());
    }
    acc[q] += t;
  }
}

template <int W, int R, Mode kMode, bool kTable, bool kShort>
[[gnu::always_inline]] inline void tile_group(const GroupPlan<W>& p, const VaryingWord<W>* varying, std::uint64_t s,
                                              typename Lanes<W>::d* acc) {
  switch (p.xw) {
    case 1: if constexpr (W > 1) tile_group<W, R, 1 % W, kMode, kTable, kShort>(p, varying, s, acc); break;
    case 2: if constexpr (W > 2) tile_group<W, R, 2 % W, kMode, kTable, kShort>(p, varying, s, acc); break;
    case 3: if constexpr (W > 3) tile_group<W, R, 3 % W, kMode, kTable, kShort>(p, varying, s, acc); break;
    default: tile_group<W, R, 0, kMode, kTable, kShort>(p, varying, s, acc); break;
  }
}

template <int W, int R, Mode kMode, bool kTable>
[[gnu::always_inline]] inline void tile_group(const GroupPlan<W>& p, const VaryingWord<W>* varying, std::uint64_t s,
                                              typename Lanes<W>::d* acc) {
  if (p.run < static_cast<std::uint64_t>(R * W)) {
    tile_group<W, R, kMode, kTable, true>(p, varying, s, acc);
  } else {
    tile_group<W, R, kMode, kTable, false>(p, varying, s, acc);
  }
}

template <int W, int R>
[[gnu::always_inline]] inline void tile_group(const GroupPlan<W>& p, const VaryingWord<W>* varying, std::uint64_t s,
                                              typename Lanes<W>::d* acc) {
  if (p.empty) return;
  const bool table = p.tre != nullptr;
  switch (p.mode) {
    case Mode::re:
      table ? tile_group<W, R, Mode::re, true>(p, varying, s, acc)
            : tile_group<W, R, Mode::re, false>(p, varying, s, acc);
      break;
    case Mode::im:
      table ? tile_group<W, R, Mode::im, true>(p, varying, s, acc)
            : tile_group<W, R, Mode::im, false>(p, varying, s, acc);
      break;
    case Mode::both:
      table ? tile_group<W, R, Mode::both, true>(p, varying, s, acc)
            : tile_group<W, R, Mode::both, false>(p, varying, s, acc);
      break;
  }
}

// What gershgorin_group does with each amplitude's coefficient: add its modulus to a
// radius, or its real part to a centre.
enum class Use { radius, centre };

// The Gershgorin rows of one group over an output block: rows[l] += |coefficient| (or
// its real part) of the entry that maps the input onto output amplitude l.
template <int W, Use kUse>
[[gnu::always_inline]] inline void gershgorin_group(const GroupPlan<W>& p, const VaryingWord<W>* varying,
                                                    std::uint64_t len, double* rows) {
  using D = typename Lanes<W>::d;
  D dr, di;
  for (std::uint64_t l = 0; l < len; l += W) {
    if ((l & (p.run - 1)) == 0) run_coefficient<W, true, true>(p, varying, l, dr, di);
    // Lane pair c holds the coefficient of output amplitude l + c (its input has the sign).
    for (int c = 0; c < W; ++c) {
      double re = dr[2 * c], im = di[2 * c];
      if (p.tre != nullptr) {
        const std::uint64_t in = (l ^ p.xc) + (static_cast<std::uint64_t>(c) ^ p.xw);
        re += p.tre[2 * in];
        im += p.tim[2 * in];
      }
      rows[l + static_cast<std::uint64_t>(c)] += kUse == Use::radius ? std::hypot(re, im) : re;
    }
  }
}

// Where each group's table of low words starts in the tables (negative: none).
struct Tables {
  const double* data;
  const std::int64_t* at;
  const double* of(std::size_t g) const { return at[g] < 0 ? nullptr : data + at[g]; }
};

Tables tables_of(const std::vector<double>& data, const std::vector<std::int64_t>& at) {
  return {data.data(), at.data()};
}

struct Job {
  const std::vector<FlipGroup>* groups;
  const GroupWord* words;
  Tables tables;
  std::size_t g_begin, g_end;
  const SliceSource* sources;
  std::size_t stride;
  std::uint64_t local_mask;
  bool clear;
  const BlockEpilogue* then;  // null: the output goes to out
};

// One output block of len amplitudes at local index j0: cleared (if asked), then every
// group added in order. The groups go in batches of kBatch: a tile of R chunks of the
// output stays in registers while every group of the batch adds to it, so the output
// is read and written once per batch rather than once per group, and the batch's input
// blocks stream side by side.
template <int W, int R>
[[gnu::always_inline]] inline void block_tiles(const Job& job, cdouble* out, std::uint64_t j0, std::uint64_t len,
                                               Scratch<W>& scratch) {
  using D = typename Lanes<W>::d;
  const std::uint64_t low = len - 1;
  GroupPlan<W> plans[kBatch];
  for (std::size_t b0 = job.g_begin; b0 < job.g_end; b0 += kBatch) {
    const std::size_t count = std::min(job.g_end - b0, kBatch);
    scratch.varying.clear();
    for (std::size_t k = 0; k < count; ++k) {
      const FlipGroup& g = (*job.groups)[b0 + k];
      const SliceSource& src = job.sources[(b0 + k - job.g_begin) * job.stride];
      const std::uint64_t x = g.x & job.local_mask;
      const std::uint64_t base = j0 ^ (x & ~low);  // the input block that maps onto this one
      plans[k] = plan_group<W>(g, job.words, job.tables.of(b0 + k), src.data + (base - src.begin), base, src.top, len,
                               x & low, scratch, k);
    }
    const VaryingWord<W>* varying = scratch.varying.data();
    const bool fresh = job.clear && b0 == job.g_begin;
    for (std::uint64_t s = 0; s < len; s += static_cast<std::uint64_t>(R * W)) {
      D acc[R];
      for (int q = 0; q < R; ++q) acc[q] = fresh ? D{} : load<W>(out + s + static_cast<std::uint64_t>(q * W));
      for (std::size_t k = 0; k < count; ++k) tile_group<W, R>(plans[k], varying, s, acc);
      for (int q = 0; q < R; ++q) store<W>(out + s + static_cast<std::uint64_t>(q * W), acc[q]);
    }
  }
}

template <int W>
[[gnu::always_inline]] inline void block_lanes(const Job& job, cdouble* out, std::uint64_t j0, std::uint64_t len,
                                               Scratch<W>& scratch) {
  if (len >= static_cast<std::uint64_t>(kTileChunks * W)) {
    block_tiles<W, kTileChunks>(job, out, j0, len, scratch);
  } else {
    block_tiles<W, 1>(job, out, j0, len, scratch);
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
                                                    Tables tables, std::uint64_t local_mask, std::uint64_t top,
                                                    std::uint64_t j0, std::uint64_t len, Scratch<W>& scratch,
                                                    double* centre, double* radius, double& lo, double& hi) {
  const std::uint64_t low = len - 1;
  std::fill(centre, centre + len, 0.0);
  std::fill(radius, radius + len, 0.0);
  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    const FlipGroup& g = groups[gi];
    const std::uint64_t x = g.x & local_mask;
    const std::uint64_t base = j0 ^ (x & ~low);
    const std::uint64_t group_top = top ^ (g.x & ~local_mask);
    scratch.varying.clear();
    const GroupPlan<W> p = plan_group<W>(g, words, tables.of(gi), nullptr, base, group_top, len, x & low, scratch, 0);
    if (g.x == 0) {
      gershgorin_group<W, Use::centre>(p, scratch.varying.data(), len, centre);
    } else {
      gershgorin_group<W, Use::radius>(p, scratch.varying.data(), len, radius);
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
                                                      Tables tables, std::uint64_t local_mask, std::uint64_t top,
                                                      std::uint64_t begin, std::int64_t first, std::int64_t count,
                                                      std::uint64_t block) {
  Scratch<W> scratch;
  std::vector<double> centre(block), radius(block);
  Bounds b{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  for (std::int64_t k = first; k < first + count; ++k) {
    gershgorin_block<W>(groups, words, tables, local_mask, top, begin + static_cast<std::uint64_t>(k) * block, block,
                        scratch, centre.data(), radius.data(), b.lo, b.hi);
  }
  return b;
}

using BoundsKernel = Bounds (*)(const std::vector<FlipGroup>&, const GroupWord*, Tables, std::uint64_t, std::uint64_t,
                                std::uint64_t, std::int64_t, std::int64_t, std::uint64_t);

[[gnu::target("avx512f,avx512dq,popcnt")]] Bounds bounds_avx512(const std::vector<FlipGroup>& groups,
                                                                 const GroupWord* words, Tables tables,
                                                                 std::uint64_t mask,
                                                                 std::uint64_t top, std::uint64_t begin,
                                                                 std::int64_t first, std::int64_t count,
                                                                 std::uint64_t block) {
  return gershgorin_range<4>(groups, words, tables, mask, top, begin, first, count, block);
}

[[gnu::target("avx2,popcnt")]] Bounds bounds_avx2(const std::vector<FlipGroup>& groups, const GroupWord* words,
                                                  Tables tables, std::uint64_t mask, std::uint64_t top,
                                                  std::uint64_t begin, std::int64_t first, std::int64_t count,
                                                  std::uint64_t block) {
  return gershgorin_range<2>(groups, words, tables, mask, top, begin, first, count, block);
}

Bounds bounds_baseline(const std::vector<FlipGroup>& groups, const GroupWord* words, Tables tables,
                       std::uint64_t mask, std::uint64_t top, std::uint64_t begin, std::int64_t first,
                       std::int64_t count, std::uint64_t block) {
  return gershgorin_range<1>(groups, words, tables, mask, top, begin, first, count, block);
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
  const int width = std::min<std::uint64_t>(block, static_cast<std::uint64_t>(widest_lanes()));
  if (width == 4) return range_avx512;
  if (width == 2) return range_avx2;
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
  build_tables();
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
  out.build_tables();
  return out;
}

void GroupedPauliSum::build_tables() {
  constexpr std::uint64_t kLow = std::uint64_t{1} << kBlockBits;
  table_data_.clear();
  table_at_.assign(groups_.size(), -1);
  std::size_t built = 0;
  for (std::size_t gi = 0; gi < groups_.size() && built < kMaxTables; ++gi) {
    const FlipGroup& g = groups_[gi];
    std::vector<GroupWord> low;
    for (std::uint32_t k = g.begin; k < g.end; ++k) {
      if (words_[k].z != 0 && (words_[k].z & ~(kLow - 1)) == 0) low.push_back(words_[k]);
    }
    // Worth a table where several low words change sign from chunk to chunk.
    const auto changing = std::count_if(low.begin(), low.end(), [](const GroupWord& w) { return w.z >= 4; });
    if (changing < static_cast<std::ptrdiff_t>(kTableWords)) continue;
    const auto at = static_cast<std::int64_t>(table_data_.size());
    table_data_.resize(table_data_.size() + 4 * kLow);
    double* re = table_data_.data() + at;
    double* im = re + 2 * kLow;
    for (std::uint64_t i = 0; i < kLow; ++i) {
      double sr = 0.0, si = 0.0;
      for (const GroupWord& w : low) {
        const std::uint64_t sign = parity(i & w.z) << 63;
        sr += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.re) ^ sign);
        si += std::bit_cast<double>(std::bit_cast<std::uint64_t>(w.im) ^ sign);
      }
      re[2 * i] = re[2 * i + 1] = sr;
      im[2 * i] = im[2 * i + 1] = si;
    }
    table_at_[gi] = at;
    ++built;
  }
}

std::uint64_t GroupedPauliSum::block_size(std::uint64_t len) {
  return std::min<std::uint64_t>(len, std::uint64_t{1} << kBlockBits);
}

void GroupedPauliSum::accumulate(std::size_t g_begin, std::size_t g_end, const SliceSource* sources,
                                 std::size_t source_stride, std::uint64_t local_mask, cdouble* out,
                                 std::uint64_t out_begin, std::uint64_t len, bool clear,
                                 std::int32_t num_threads) const {
  const Job job{&groups_, words_.data(), tables_of(table_data_, table_at_), g_begin, g_end, sources, source_stride,
                local_mask, clear, nullptr};
  run(job, out, out_begin, len, 1, num_threads);
}

void GroupedPauliSum::apply_nonidentity_then(const cdouble* in, const BlockEpilogue& then, std::int32_t num_threads,
                                             const Checkpoint& checkpoint) const {
  const SliceSource whole{in, 0, 0};
  const Job job{&groups_, words_.data(), tables_of(table_data_, table_at_), 0, groups_.size(), &whole, 0, dim_ - 1,
                true, &then};
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
  const int width = std::min<std::uint64_t>(block, static_cast<std::uint64_t>(widest_lanes()));
  const BoundsKernel kernel = width == 4 ? bounds_avx512 : width == 2 ? bounds_avx2 : bounds_baseline;
  const auto blocks = static_cast<std::int64_t>(len / block);
  const int team = team_size(num_threads, (blocks + kBlocksPerThread - 1) / kBlocksPerThread);
  std::vector<Bounds> shares(static_cast<std::size_t>(team));
  parallel_for(
      team, num_threads,
      [&](std::int64_t t) {
        const std::int64_t per = blocks / team, extra = blocks % team;
        const std::int64_t first = t * per + std::min<std::int64_t>(t, extra);
        shares[static_cast<std::size_t>(t)] =
            kernel(groups_, words_.data(), tables_of(table_data_, table_at_), local_mask, top, begin, first,
                   per + (t < extra ? 1 : 0), block);
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
