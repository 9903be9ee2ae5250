#include "morbizet/sector_pauli_sum.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/parallel.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet {

namespace {

// Output amplitudes formed by one task of the block plan: 64 KiB, kept in cache until
// handed over, and small enough for the threads to share a sector's work evenly.
constexpr std::uint64_t kSlice = std::uint64_t{1} << 12;

// A checkpoint between parallel regions of about this many output amplitudes: four times
// the full space's share, since each region ends in a barrier that a sector's smaller
// and unevenly costly slices wait at longer.
std::uint64_t checkpoint_amplitudes(std::uint64_t dim, std::uint64_t words) { return 4 * checkpoint_slice(dim, words); }

// Output amplitudes handled by one task on the gathering path: enough to pay for
// finding the first state.
constexpr std::uint64_t kBlock = std::uint64_t{1} << 11;

// Entries of the listed groups' tables at most, against the sector's dimension: past
// that a group is applied by the gathering path instead.
constexpr std::uint64_t kMaxListed = std::uint64_t{1} << 24;

// The sum of a group's phased coefficients on the source index i.
[[gnu::always_inline]] inline cdouble group_coefficient(const FlipGroup& g, const GroupWord* words, std::uint64_t i) {
  double re = 0.0, im = 0.0;
  for (std::uint32_t w = g.begin; w < g.end; ++w) {
    const bool odd = (std::popcount(i & words[w].z) & 1) != 0;
    re += odd ? -words[w].re : words[w].re;
    im += odd ? -words[w].im : words[w].im;
  }
  return {re, im};
}

[[gnu::always_inline]] inline void add_product(cdouble& acc, cdouble c, cdouble v) {
  acc = {acc.real() + (c.real() * v.real() - c.imag() * v.imag()),
         acc.imag() + (c.real() * v.imag() + c.imag() * v.real())};
}

}  // namespace

SectorPauliSum::SectorPauliSum(const Hamiltonian& h, const SectorSpace& space)
    : space_(space), identity_coeff_(h.identity_coeff()), norm_bound_(h.norm_bound()) {
  const GroupedPauliSum grouped(h);
  // In a flip sector the words with an odd number of Z and Y anticommute with the flip:
  // they map the sector out of itself and are left out.
  for (const FlipGroup& g : grouped.groups()) {
    FlipGroup kept{g.x, static_cast<std::uint32_t>(words_.size()), 0, false, false};
    for (std::uint32_t w = g.begin; w < g.end; ++w) {
      const GroupWord& word = grouped.words()[w];
      if (space.flip() != 0 && std::popcount(word.z) % 2 == 1) continue;
      words_.push_back(word);
      kept.has_re = kept.has_re || word.re != 0.0;
      kept.has_im = kept.has_im || word.im != 0.0;
    }
    kept.end = static_cast<std::uint32_t>(words_.size());
    if (kept.end > kept.begin) groups_.push_back(kept);
  }
  if (space.split()) plan_blocks();
}

// The block plan. Every group becomes one on the ranked bits: in a flip sector a group
// whose X mask holds the top bit maps a representative r onto i = r ^ x, whose
// representative ~i = r ^ (x ^ all) is read with the flip sign, and since every kept
// word has an even Z mask, (-1)^popcount(i & z) = (-1)^popcount(~i & z). The top bit of
// a source representative is 0, so Z masks lose it too. Then, with hi and lo the high
// and low bits of a representative:
// - groups that flip low bits only and whose words' signs depend on low bits only act
//   alike in every block of a weight: they are summed into one sparse matrix per weight
//   of the low part (row and column the positions within the block);
// - groups that flip high bits only map block hi' = hi ^ x onto block hi position by
//   position (the low part is kept), with one coefficient per block and word;
// - the other groups map positions of block hi' onto positions of block hi by a list
//   per weight of the low part and shift of that weight, with the signs of each word's
//   low Z bits per entry.
void SectorPauliSum::plan_blocks() {
  const int bits = space_.ranked_bits();
  const int low = space_.low_bits();
  const std::uint64_t ranked = bits >= 64 ? ~0ULL : (std::uint64_t{1} << bits) - 1;
  const std::uint64_t low_mask = (std::uint64_t{1} << low) - 1;
  const std::uint64_t all = space_.num_qubits() >= 64 ? ~0ULL : (std::uint64_t{1} << space_.num_qubits()) - 1;
  const bool weighted = space_.weight() != SectorSpace::no_weight;
  plan_.low = low;
  plan_.classes = weighted ? low + 1 : 1;
  plan_.states.assign(static_cast<std::size_t>(plan_.classes), {});
  for (std::uint64_t lo = 0; lo <= low_mask; ++lo) {
    plan_.states[weighted ? static_cast<std::size_t>(std::popcount(lo)) : 0].push_back(lo);
  }
  const auto class_of = [&](std::uint64_t lo) { return weighted ? std::popcount(lo) : 0; };

  struct Ranked {
    std::uint64_t x;
    std::uint32_t begin, end;  // in plan_.words
  };
  // Each group's words are split by where their signs come from (low bits only, high
  // bits only, both), so that as many as possible go where they cost least.
  std::vector<Ranked> ranked_groups;
  std::vector<std::pair<std::uint32_t, int>> origin;  // the group of groups_ and part each comes from
  for (std::size_t k = 0; k < groups_.size(); ++k) {
    const FlipGroup& g = groups_[k];
    const bool crosses = space_.flip() != 0 && (g.x >> (space_.num_qubits() - 1)) != 0;
    const double sign = crosses ? static_cast<double>(space_.flip()) : 1.0;
    const std::uint64_t x = (crosses ? g.x ^ all : g.x) & ranked;
    for (int part = 0; part < 3; ++part) {
      Ranked r{x, static_cast<std::uint32_t>(plan_.words.size()), 0};
      for (std::uint32_t w = g.begin; w < g.end; ++w) {
        const std::uint64_t z = words_[w].z & ranked;
        const std::uint64_t z_hi = z >> low, z_lo = z & low_mask;
        if ((z_hi == 0 ? 0 : (z_lo == 0 ? 1 : 2)) != part) continue;
        plan_.words.push_back({z_hi, z_lo, sign * words_[w].re, sign * words_[w].im});
      }
      r.end = static_cast<std::uint32_t>(plan_.words.size());
      if (r.end > r.begin) {
        ranked_groups.push_back(r);
        origin.push_back({static_cast<std::uint32_t>(k), part});
      }
    }
  }

  // The static matrix: rows in order, each row's entries in group order.
  std::vector<const Ranked*> fixed;
  std::uint64_t listed_entries = 0;
  for (const Ranked& g : ranked_groups) {
    const bool signs_high = std::any_of(plan_.words.begin() + g.begin, plan_.words.begin() + g.end,
                                        [](const PlanWord& w) { return w.z_hi != 0; });
    const std::uint64_t x_hi = g.x >> low, x_lo = g.x & low_mask;
    if (x_hi == 0 && !signs_high) {
      fixed.push_back(&g);
    } else if (x_lo == 0 && g.end - g.begin <= 32) {
      const bool plain = std::all_of(plan_.words.begin() + g.begin, plan_.words.begin() + g.end,
                                     [](const PlanWord& w) { return w.z_lo == 0; });
      plan_.block_groups.push_back({x_hi, g.begin, g.end, plain});
    } else if (g.end - g.begin <= 32 && listed_entries + low_mask + 1 <= std::max(kMaxListed, space_.dim())) {
      listed_entries += low_mask + 1;
      ListedGroup l{x_hi, x_lo, g.begin, g.end, {}};
      const int flips = std::popcount(x_lo);
      l.lists.assign(static_cast<std::size_t>(plan_.classes) * static_cast<std::size_t>(2 * flips + 1), {});
      for (int c = 0; c < plan_.classes; ++c) {
        const auto& states = plan_.states[static_cast<std::size_t>(c)];
        for (std::uint32_t row = 0; row < states.size(); ++row) {
          const std::uint64_t source = states[row] ^ x_lo;
          std::uint32_t signs = 0;
          for (std::uint32_t w = g.begin; w < g.end; ++w) {
            if ((std::popcount(source & plan_.words[w].z_lo) & 1) != 0) signs |= 1u << (w - g.begin);
          }
          const int shift = class_of(source) - c;
          l.lists[static_cast<std::size_t>(c * (2 * flips + 1) + shift + flips)].push_back(
              {row, static_cast<std::uint32_t>(space_.within_block(source)), signs});
        }
      }
      plan_.listed_groups.push_back(std::move(l));
    } else {
      // The part's own words, as they act on full representatives.
      const auto [k, part] = origin[static_cast<std::size_t>(&g - ranked_groups.data())];
      const FlipGroup& whole = groups_[k];
      FlipGroup gathered{whole.x, static_cast<std::uint32_t>(plan_.gathered_words.size()), 0, whole.has_re,
                         whole.has_im};
      for (std::uint32_t w = whole.begin; w < whole.end; ++w) {
        const std::uint64_t z = words_[w].z & ranked;
        if (((z >> low) == 0 ? 0 : ((z & low_mask) == 0 ? 1 : 2)) == part) plan_.gathered_words.push_back(words_[w]);
      }
      gathered.end = static_cast<std::uint32_t>(plan_.gathered_words.size());
      plan_.gathered_groups.push_back(gathered);
    }
  }

  plan_.matrices.assign(static_cast<std::size_t>(plan_.classes), {});
  for (int c = 0; c < plan_.classes; ++c) {
    const auto& states = plan_.states[static_cast<std::size_t>(c)];
    StaticMatrix& m = plan_.matrices[static_cast<std::size_t>(c)];
    for (std::uint64_t lo : states) {
      m.start.push_back(static_cast<std::uint32_t>(m.cols.size()));
      for (const Ranked* g : fixed) {
        const std::uint64_t source = lo ^ (g->x & low_mask);
        if (class_of(source) != c) continue;  // outside the weight
        double re = 0.0, im = 0.0;
        for (std::uint32_t w = g->begin; w < g->end; ++w) {
          const bool odd = (std::popcount(source & plan_.words[w].z_lo) & 1) != 0;
          re += odd ? -plan_.words[w].re : plan_.words[w].re;
          im += odd ? -plan_.words[w].im : plan_.words[w].im;
        }
        if (re != 0.0 || im != 0.0) {
          m.cols.push_back(static_cast<std::uint32_t>(space_.within_block(source)));
          m.re.push_back(re);
          m.im.push_back(im);
        }
      }
    }
    m.start.push_back(static_cast<std::uint32_t>(m.cols.size()));
  }
  // The blocks that hold states, in the order of the numbering, and where each begins.
  const std::uint64_t blocks = std::uint64_t{1} << (bits - low);
  for (std::uint64_t hi = 0; hi < blocks; ++hi) {
    const int c = weighted ? space_.weight() - std::popcount(hi) : 0;
    if (c < 0 || c >= plan_.classes) continue;
    plan_.blocks.push_back(hi);
    plan_.offsets.push_back(space_.block_offset(hi));
  }
  plan_.offsets.push_back(space_.dim());
  plan_.real = std::all_of(plan_.words.begin(), plan_.words.end(), [](const PlanWord& w) { return w.im == 0.0; });
  plan_.ready = true;
}

template <class Row>
void SectorPauliSum::rows(std::uint64_t begin, std::uint64_t end, Row&& row) const {
  std::uint64_t r = space_.state(begin);
  for (std::uint64_t k = begin; k < end; ++k) {
    row(k, r);
    if (k + 1 < end) r = space_.next(r);
  }
}

void SectorPauliSum::apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const {
  apply_nonidentity(in, out, num_threads, Checkpoint{});
}

void SectorPauliSum::apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads,
                                       const Checkpoint& checkpoint) const {
  if (plan_.ready) {
    apply_blocks(in, out, num_threads, checkpoint);
    return;
  }
  const std::uint64_t dim = space_.dim();
  const std::uint64_t slice = std::max(kBlock, checkpoint_slice(dim, words_.size()));
  for (std::uint64_t first = 0; first < dim; first += slice) {
    if (first > 0) checkpoint();
    const std::uint64_t last = std::min(dim, first + slice);
    parallel_for(static_cast<std::int64_t>(leaf_count(last - first, kBlock)), num_threads, [&](std::int64_t b) {
      const std::uint64_t begin = first + static_cast<std::uint64_t>(b) * kBlock;
      rows(begin, std::min(last, begin + kBlock), [&](std::uint64_t k, std::uint64_t r) {
        cdouble acc{0.0, 0.0};
        gather_row(groups_, words_.data(), in, r, k, acc);
        out[k] = acc;
      });
    });
  }
}

void SectorPauliSum::gather_row(const std::vector<FlipGroup>& groups, const GroupWord* words, const cdouble* in,
                                std::uint64_t r, std::uint64_t k, cdouble& acc) const {
  const auto flip_sign = static_cast<double>(space_.flip());
  for (const FlipGroup& g : groups) {
    const std::uint64_t i = r ^ g.x;
    cdouble c = group_coefficient(g, words, i);
    // A partner outside the weight reads the row's own amplitude with a zero
    // coefficient, without a branch that the hopping terms' patterns would defeat.
    const bool inside = space_.contains(i);
    const bool flipped = space_.flipped(i);
    const std::uint64_t index = inside ? space_.rank(flipped ? space_.representative(i) : i) : k;
    const double f = inside ? (flipped ? flip_sign : 1.0) : 0.0;
    add_product(acc, {f * c.real(), f * c.imag()}, in[index]);
  }
}

namespace {

// The static matrix of one weight on rows [r0, r1) of a block: o[row - r0] = sum over the
// row's entries, in order, of c * in[col].
template <bool Real>
void static_rows(const std::uint32_t* start, const std::uint32_t* cols, const double* re, const double* im,
                 std::uint64_t r0, std::uint64_t r1, const cdouble* in, cdouble* o) {
  for (std::uint64_t row = r0; row < r1; ++row) {
    double ar = 0.0, ai = 0.0;
    for (std::uint32_t e = start[row]; e < start[row + 1]; ++e) {
      const cdouble v = in[cols[e]];
      if constexpr (Real) {
        ar += re[e] * v.real();
        ai += re[e] * v.imag();
      } else {
        ar += re[e] * v.real() - im[e] * v.imag();
        ai += re[e] * v.imag() + im[e] * v.real();
      }
    }
    o[row - r0] = {ar, ai};
  }
}

// o[row] += a_j * src_j[row] for j = 0, 1, ... in order, all in one pass over o.
template <int M, bool Real>
void fused_axpy_rows(const cdouble* const* src, const double* re, const double* im, cdouble* o, std::uint64_t size) {
  for (std::uint64_t row = 0; row < size; ++row) {
    double r = o[row].real(), i = o[row].imag();
    for (int j = 0; j < M; ++j) {
      const cdouble v = src[j][row];
      if constexpr (Real) {
        r += re[j] * v.real();
        i += re[j] * v.imag();
      } else {
        r += re[j] * v.real() - im[j] * v.imag();
        i += re[j] * v.imag() + im[j] * v.real();
      }
    }
    o[row] = {r, i};
  }
}

constexpr int kFused = 4;

template <bool Real>
void fused_axpy(int m, const cdouble* const* src, const double* re, const double* im, cdouble* o,
                std::uint64_t size) {
  switch (m) {
    case 4: fused_axpy_rows<4, Real>(src, re, im, o, size); break;
    case 3: fused_axpy_rows<3, Real>(src, re, im, o, size); break;
    case 2: fused_axpy_rows<2, Real>(src, re, im, o, size); break;
    default: fused_axpy_rows<1, Real>(src, re, im, o, size); break;
  }
}

}  // namespace

// Rows [r0, r1) of block number k of the plan into o[0, r1 - r0): the static matrix, then
// the groups in order (plain ones a few source blocks per pass over o: the same
// additions in the same order as one pass each), the listed groups and the gathered ones.
void SectorPauliSum::block_rows(const cdouble* in, std::uint64_t k, std::uint64_t r0, std::uint64_t r1,
                                cdouble* o) const {
  const int low = plan_.low;
  const bool weighted = space_.weight() != SectorSpace::no_weight;
  const std::uint64_t hi = plan_.blocks[k];
  const auto class_of_block = [&](std::uint64_t h) { return weighted ? space_.weight() - std::popcount(h) : 0; };
  const int c = class_of_block(hi);
  const auto& states = plan_.states[static_cast<std::size_t>(c)];
  const std::uint64_t len = r1 - r0;
  const auto words = plan_.words.data();
  cdouble coeff[32];
  const auto high_coefficients = [&](std::uint32_t begin, std::uint32_t end, std::uint64_t hi2) {
    for (std::uint32_t w = begin; w < end; ++w) {
      const bool odd = (std::popcount(hi2 & words[w].z_hi) & 1) != 0;
      coeff[w - begin] = odd ? cdouble{-words[w].re, -words[w].im} : cdouble{words[w].re, words[w].im};
    }
  };
  const StaticMatrix& m = plan_.matrices[static_cast<std::size_t>(c)];
  const cdouble* own = in + plan_.offsets[k];
  if (plan_.real) {
    static_rows<true>(m.start.data(), m.cols.data(), m.re.data(), m.im.data(), r0, r1, own, o);
  } else {
    static_rows<false>(m.start.data(), m.cols.data(), m.re.data(), m.im.data(), r0, r1, own, o);
  }
  const cdouble* pending[kFused];
  double pending_re[kFused], pending_im[kFused];
  int waiting = 0;
  const auto flush = [&] {
    if (plan_.real) {
      fused_axpy<true>(waiting, pending, pending_re, pending_im, o, len);
    } else {
      fused_axpy<false>(waiting, pending, pending_re, pending_im, o, len);
    }
    waiting = 0;
  };
  for (const BlockGroup& g : plan_.block_groups) {
    const std::uint64_t hi2 = hi ^ g.x_hi;
    if (class_of_block(hi2) != c) continue;  // the partner block is outside the weight
    const cdouble* src = in + space_.block_offset(hi2) + r0;
    const std::uint32_t count = g.end - g.begin;
    high_coefficients(g.begin, g.end, hi2);
    if (g.plain) {
      cdouble total{0.0, 0.0};
      for (std::uint32_t w = 0; w < count; ++w) total += coeff[w];
      pending[waiting] = src;
      pending_re[waiting] = total.real();
      pending_im[waiting++] = total.imag();
      if (waiting == kFused) flush();
      continue;
    }
    if (waiting > 0) flush();
    for (std::uint64_t row = r0; row < r1; ++row) {
      cdouble sum{0.0, 0.0};
      for (std::uint32_t w = 0; w < count; ++w) {
        const bool odd = (std::popcount(states[row] & words[g.begin + w].z_lo) & 1) != 0;
        sum += odd ? -coeff[w] : coeff[w];
      }
      add_product(o[row - r0], sum, src[row - r0]);
    }
  }
  if (waiting > 0) flush();
  for (const ListedGroup& g : plan_.listed_groups) {
    const std::uint64_t hi2 = hi ^ g.x_hi;
    const int c2 = class_of_block(hi2);
    const int flips = std::popcount(g.x_lo);
    if (c2 < 0 || c2 > (weighted ? low : 0) || std::abs(c2 - c) > flips) continue;
    const auto& list = g.lists[static_cast<std::size_t>(c * (2 * flips + 1) + (c2 - c) + flips)];
    // The entries are in row order.
    auto e = std::lower_bound(list.begin(), list.end(), r0, [](const ListEntry& a, std::uint64_t r) { return a.row < r; });
    if (e == list.end() || e->row >= r1) continue;
    const cdouble* src = in + space_.block_offset(hi2);
    const std::uint32_t count = g.end - g.begin;
    high_coefficients(g.begin, g.end, hi2);
    for (; e != list.end() && e->row < r1; ++e) {
      cdouble sum{0.0, 0.0};
      for (std::uint32_t w = 0; w < count; ++w) sum += ((e->signs >> w) & 1) != 0 ? -coeff[w] : coeff[w];
      add_product(o[e->row - r0], sum, src[e->col]);
    }
  }
  if (!plan_.gathered_groups.empty()) {
    const std::uint64_t top = hi << low;
    for (std::uint64_t row = r0; row < r1; ++row) {
      gather_row(plan_.gathered_groups, plan_.gathered_words.data(), in, top | states[row], plan_.offsets[k] + row,
                 o[row - r0]);
    }
  }
}

// The output amplitudes [first, last) into o[0, last - first), block by block.
void SectorPauliSum::range_rows(const cdouble* in, std::uint64_t first, std::uint64_t last, cdouble* o) const {
  const auto& offsets = plan_.offsets;
  std::uint64_t k = static_cast<std::uint64_t>(std::upper_bound(offsets.begin(), offsets.end(), first) - offsets.begin()) - 1;
  for (; k < plan_.blocks.size() && offsets[k] < last; ++k) {
    const std::uint64_t size = offsets[k + 1] - offsets[k];
    const std::uint64_t r0 = first > offsets[k] ? first - offsets[k] : 0;
    const std::uint64_t r1 = std::min(size, last - offsets[k]);
    block_rows(in, k, r0, r1, o + (offsets[k] + r0 - first));
  }
}

void SectorPauliSum::apply_blocks(const cdouble* in, cdouble* out, std::int32_t num_threads,
                                  const Checkpoint& checkpoint) const {
  in_slices(kSlice, num_threads, checkpoint,
            [&](std::uint64_t begin, std::uint64_t end) { range_rows(in, begin, end, out + begin); });
}

template <class Body>
void SectorPauliSum::in_slices(std::uint64_t slice, std::int32_t num_threads, const Checkpoint& checkpoint,
                               Body&& body) const {
  const std::uint64_t dim = space_.dim();
  const std::uint64_t per_region = std::max<std::uint64_t>(1, checkpoint_amplitudes(dim, words_.size()) / slice);
  const std::uint64_t slices = leaf_count(dim, slice);
  for (std::uint64_t first = 0; first < slices; first += per_region) {
    if (first > 0) checkpoint();
    const std::uint64_t last = std::min(slices, first + per_region);
    parallel_for(static_cast<std::int64_t>(last - first), num_threads, [&](std::int64_t t) {
      const std::uint64_t begin = (first + static_cast<std::uint64_t>(t)) * slice;
      body(begin, std::min(dim, begin + slice));
    });
  }
}

void SectorPauliSum::apply_nonidentity_then(const cdouble* in, const BlockEpilogue& then, std::int32_t num_threads,
                                            const Checkpoint& checkpoint) const {
  const std::uint64_t dim = space_.dim();
  if (!plan_.ready) {
    StateBuffer whole = allocate_state(dim);
    apply_nonidentity(in, whole.get(), num_threads, checkpoint);
    for (std::uint64_t begin = 0; begin < dim; begin += then.unit) {
      then.call(then.context, whole.get() + begin, begin, std::min(then.unit, dim - begin));
    }
    return;
  }
  // Slices of whole units, each formed in a buffer of its thread and handed over unit by
  // unit while still in cache.
  const std::uint64_t unit = std::min(then.unit, dim);
  const std::uint64_t slice = unit * std::max<std::uint64_t>(1, kSlice / unit);
  in_slices(slice, num_threads, checkpoint, [&](std::uint64_t begin, std::uint64_t end) {
    const StateBuffer buffer = allocate_state(end - begin);
    range_rows(in, begin, end, buffer.get());
    for (std::uint64_t u = begin; u < end; u += unit) {
      then.call(then.context, buffer.get() + (u - begin), u, std::min(unit, end - u));
    }
  });
}

std::pair<double, double> SectorPauliSum::spectral_bounds(std::int32_t num_threads) const {
  return spectral_bounds(num_threads, Checkpoint{});
}

std::pair<double, double> SectorPauliSum::spectral_bounds(std::int32_t num_threads,
                                                          const Checkpoint& checkpoint) const {
  if (plan_.ready) return block_bounds(num_threads, checkpoint);
  const std::uint64_t dim = space_.dim();
  const std::uint64_t slice = std::max(kBlock, checkpoint_slice(dim, words_.size()));
  const GroupWord* words = words_.data();
  const auto flip_sign = static_cast<double>(space_.flip());
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (std::uint64_t first = 0; first < dim; first += slice) {
    if (first > 0) checkpoint();
    const std::uint64_t last = std::min(dim, first + slice);
    const auto blocks = static_cast<std::int64_t>(leaf_count(last - first, kBlock));
    std::vector<double> block_lo(static_cast<std::size_t>(blocks)), block_hi(static_cast<std::size_t>(blocks));
    parallel_for(blocks, num_threads, [&](std::int64_t b) {
      const std::uint64_t begin = first + static_cast<std::uint64_t>(b) * kBlock;
      double l = std::numeric_limits<double>::infinity(), h = -l;
      rows(begin, std::min(last, begin + kBlock), [&](std::uint64_t k, std::uint64_t r) {
        double centre = 0.0, radius = 0.0;
        for (const FlipGroup& g : groups_) {
          const std::uint64_t i = r ^ g.x;
          if (!space_.contains(i)) continue;
          const cdouble c = group_coefficient(g, words, i);
          const bool flipped = space_.flipped(i);
          if (space_.rank(flipped ? space_.representative(i) : i) == k) {
            centre += (flipped ? flip_sign : 1.0) * c.real();
          } else {
            radius += std::abs(c);
          }
        }
        l = std::min(l, centre - radius);
        h = std::max(h, centre + radius);
      });
      block_lo[static_cast<std::size_t>(b)] = l;
      block_hi[static_cast<std::size_t>(b)] = h;
    });
    for (std::size_t b = 0; b < block_lo.size(); ++b) {
      lo = std::min(lo, block_lo[b]);
      hi = std::max(hi, block_hi[b]);
    }
  }
  return {lo, hi};
}

// The Gershgorin discs by the block plan: per row, the entries that map a state onto
// itself (the static matrix's diagonal and the groups that flip nothing) give the
// centre, every other entry its modulus to the radius. Entries of different groups that
// meet on one column are counted apart, which only widens a disc.
std::pair<double, double> SectorPauliSum::block_bounds(std::int32_t num_threads, const Checkpoint& checkpoint) const {
  const int low = plan_.low;
  const bool weighted = space_.weight() != SectorSpace::no_weight;
  const auto class_of_block = [&](std::uint64_t hi) { return weighted ? space_.weight() - std::popcount(hi) : 0; };
  const auto words = plan_.words.data();
  const std::uint64_t tasks = plan_.blocks.size();
  const std::uint64_t largest = plan_.states[static_cast<std::size_t>(weighted ? low / 2 : 0)].size();
  const std::uint64_t per_slice = std::max<std::uint64_t>(1, checkpoint_slice(space_.dim(), words_.size()) / largest);
  std::vector<double> task_lo(tasks), task_hi(tasks);
  for (std::uint64_t first = 0; first < tasks; first += per_slice) {
    if (first > 0) checkpoint();
    const std::uint64_t last = std::min(tasks, first + per_slice);
    parallel_for(static_cast<std::int64_t>(last - first), num_threads, [&](std::int64_t t) {
      const std::uint64_t hi = plan_.blocks[first + static_cast<std::uint64_t>(t)];
      const int weight_class = class_of_block(hi);
      const auto c = static_cast<std::size_t>(weight_class);
      const auto& states = plan_.states[c];
      const auto& m = plan_.matrices[c];
      std::vector<double> centre(states.size()), radius(states.size());
      double l = std::numeric_limits<double>::infinity(), h = -l;
      {
        for (std::uint64_t row = 0; row < states.size(); ++row) {
          double ce = 0.0, ra = 0.0;
          for (std::uint32_t e = m.start[row]; e < m.start[row + 1]; ++e) {
            if (m.cols[e] == row) {
              ce += m.re[e];
            } else {
              ra += std::hypot(m.re[e], m.im[e]);
            }
          }
          centre[row] = ce;
          radius[row] = ra;
        }
        const auto coefficient = [&](std::uint32_t begin, std::uint32_t end, std::uint64_t hi2, std::uint64_t lo,
                                     std::uint32_t signs, bool listed) {
          cdouble sum{0.0, 0.0};
          for (std::uint32_t w = begin; w < end; ++w) {
            const bool odd = ((std::popcount(hi2 & words[w].z_hi) +
                               (listed ? static_cast<int>((signs >> (w - begin)) & 1)
                                       : std::popcount(lo & words[w].z_lo))) & 1) != 0;
            sum += odd ? cdouble{-words[w].re, -words[w].im} : cdouble{words[w].re, words[w].im};
          }
          return sum;
        };
        for (const BlockGroup& g : plan_.block_groups) {
          const std::uint64_t hi2 = hi ^ g.x_hi;
          if (class_of_block(hi2) != weight_class) continue;
          for (std::uint64_t row = 0; row < states.size(); ++row) {
            const cdouble v = coefficient(g.begin, g.end, hi2, states[row], 0, false);
            if (g.x_hi == 0) {
              centre[row] += v.real();
            } else {
              radius[row] += std::abs(v);
            }
          }
        }
        for (const ListedGroup& g : plan_.listed_groups) {
          const std::uint64_t hi2 = hi ^ g.x_hi;
          const int c2 = class_of_block(hi2);
          const int flips = std::popcount(g.x_lo);
          if (c2 < 0 || c2 > (weighted ? low : 0) || std::abs(c2 - weight_class) > flips) continue;
          for (const ListEntry& e :
               g.lists[static_cast<std::size_t>(weight_class * (2 * flips + 1) + (c2 - weight_class) + flips)]) {
            radius[e.row] += std::abs(coefficient(g.begin, g.end, hi2, 0, e.signs, true));
          }
        }
        for (std::uint64_t row = 0; row < states.size(); ++row) {
          double ce = centre[row], ra = radius[row];
          if (!plan_.gathered_groups.empty()) {
            // The groups left to the gathering path count whole to the radius, which at
            // worst widens the disc.
            const std::uint64_t r = (hi << low) | states[row];
            for (const FlipGroup& g : plan_.gathered_groups) {
              const std::uint64_t i = r ^ g.x;
              if (space_.contains(i)) ra += std::abs(group_coefficient(g, plan_.gathered_words.data(), i));
            }
          }
          l = std::min(l, ce - ra);
          h = std::max(h, ce + ra);
        }
      }
      task_lo[first + static_cast<std::uint64_t>(t)] = l;
      task_hi[first + static_cast<std::uint64_t>(t)] = h;
    });
  }
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (std::uint64_t t = 0; t < tasks; ++t) {
    lo = std::min(lo, task_lo[t]);
    hi = std::max(hi, task_hi[t]);
  }
  return {lo, hi};
}

}  // namespace morbizet
