#include "morbizet/sector_space.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace morbizet {

namespace {

// C(p, k) for p, k <= 63, by Pascal's triangle (every entry used here is below 2^63).
std::uint64_t binomial(std::uint64_t p, std::uint64_t k) {
  static const auto table = [] {
    std::array<std::array<std::uint64_t, 64>, 64> c{};
    for (std::size_t i = 0; i < 64; ++i) {
      c[i][0] = 1;
      for (std::size_t j = 1; j <= i; ++j) c[i][j] = c[i - 1][j - 1] + (j < i ? c[i - 1][j] : 0);
    }
    return c;
  }();
  return k > p ? 0 : table[p][k];
}

// The rank of the set bits of v, the first of them being set bit number `before` + 1 of
// the whole index and standing at place `offset` + its place in v.
std::uint64_t partial_rank(std::uint64_t v, int before, int offset) {
  std::uint64_t r = 0;
  for (int k = before + 1; v != 0; v &= v - 1, ++k) {
    r += binomial(static_cast<std::uint64_t>(offset + std::countr_zero(v)), static_cast<std::uint64_t>(k));
  }
  return r;
}

}  // namespace

SectorSpace::SectorSpace(std::uint64_t num_qubits, int weight, int flip)
    : n_(num_qubits), weight_(weight), flip_(flip), all_(num_qubits >= 64 ? ~0ULL : (1ULL << num_qubits) - 1) {
  if (n_ < 1 || n_ > 62) throw std::invalid_argument("a sector needs 1 to 62 qubits");
  if (weight != no_weight && (weight < 0 || static_cast<std::uint64_t>(weight) > n_)) {
    throw std::invalid_argument("weight must lie in [0, num_qubits]");
  }
  if (flip < -1 || flip > 1) throw std::invalid_argument("flip must be -1, 0 or +1");
  if (flip != 0 && weight != no_weight && 2 * static_cast<std::uint64_t>(weight) != n_) {
    throw std::invalid_argument("the spin flip maps weight w to num_qubits - w, so it needs weight = num_qubits / 2");
  }
  // With the flip, representatives have the top bit 0: the other n - 1 bits are ranked.
  const std::uint64_t bits = flip != 0 ? n_ - 1 : n_;
  low_bits_ = static_cast<int>(bits / 2);
  low_mask_ = (std::uint64_t{1} << low_bits_) - 1;
  if (weight == no_weight) {
    dim_ = std::uint64_t{1} << bits;
    return;
  }
  dim_ = binomial(bits, static_cast<std::uint64_t>(weight));
  if (bits > 32) return;
  table_ = true;
  const int high_bits = static_cast<int>(bits) - low_bits_;
  low_.resize(std::size_t{1} << low_bits_);
  high_.resize(std::size_t{1} << high_bits);
  for (std::uint64_t v = 0; v < low_.size(); ++v) low_[v] = partial_rank(v, 0, 0);
  for (std::uint64_t v = 0; v < high_.size(); ++v) {
    // The high half's first set bit is bit number weight - popcount(v) + 1 of the index.
    const int below = weight - std::popcount(v);
    high_[v] = below < 0 ? 0 : partial_rank(v, below, low_bits_);
  }
}

std::uint64_t SectorSpace::rank_by_bits(std::uint64_t s) const { return partial_rank(s, 0, 0); }

std::uint64_t SectorSpace::state(std::uint64_t k) const {
  if (weight_ == no_weight) return k;
  // Greedy unranking: the highest place p with C(p, r) <= k holds the r-th set bit.
  std::uint64_t s = 0;
  auto p = static_cast<int>(flip_ != 0 ? n_ - 1 : n_);
  for (int r = weight_; r > 0; --r) {
    do --p;
    while (binomial(static_cast<std::uint64_t>(p), static_cast<std::uint64_t>(r)) > k);
    s |= std::uint64_t{1} << p;
    k -= binomial(static_cast<std::uint64_t>(p), static_cast<std::uint64_t>(r));
  }
  return s;
}

namespace {

std::string quoted(const PauliWord& w) { return "'" + w.get_string() + "'"; }

// Whether the words a (coefficients) with Z masks z (restricted to the flipped qubits x)
// vanish on every index whose flip by x changes its weight. The value on an index
// depends only on the parities of its bits in each atom (the x qubits that the same
// masks hold), and its weight change on how many bits each atom holds: an atom of one
// qubit holds its parity, one of two with odd parity holds one bit, any other could hold
// different counts of the same parity. Returns false when a parity assignment that
// allows a changed weight gives a non-zero value, or when there are too many atoms.
bool vanishes_off_weight(std::uint64_t x, const std::vector<std::pair<std::uint64_t, cdouble>>& terms,
                         bool& too_many) {
  std::map<std::vector<bool>, int> atom_of;
  std::vector<int> size;
  std::vector<std::uint64_t> atom_mask;
  for (std::uint64_t bits = x; bits != 0; bits &= bits - 1) {
    const std::uint64_t q = bits & (~bits + 1);
    std::vector<bool> member;
    for (const auto& t : terms) member.push_back((t.first & q) != 0);
    auto [it, fresh] = atom_of.emplace(member, static_cast<int>(size.size()));
    if (fresh) {
      size.push_back(0);
      atom_mask.push_back(0);
    }
    ++size[static_cast<std::size_t>(it->second)];
    atom_mask[static_cast<std::size_t>(it->second)] |= q;
  }
  const std::size_t atoms = size.size();
  if (atoms > 20) {
    too_many = true;
    return false;
  }
  double scale = 0.0;
  for (const auto& t : terms) scale += std::abs(t.second);
  const int kept = std::popcount(x);
  for (std::uint64_t parity = 0; parity < (std::uint64_t{1} << atoms); ++parity) {
    bool forced = true;
    int ones = 0;
    for (std::size_t a = 0; a < atoms && forced; ++a) {
      const bool odd = ((parity >> a) & 1) != 0;
      if (size[a] == 1 || (size[a] == 2 && odd)) {
        ones += odd ? 1 : 0;
      } else {
        forced = false;
      }
    }
    // The weight is kept when half of the flipped bits are 1.
    if (forced && 2 * ones == kept) continue;
    cdouble value{0.0, 0.0};
    for (const auto& t : terms) {
      int sign = 0;
      for (std::size_t a = 0; a < atoms; ++a) {
        if ((t.first & atom_mask[a]) != 0 && ((parity >> a) & 1) != 0) sign ^= 1;
      }
      value += sign != 0 ? -t.second : t.second;
    }
    if (std::abs(value) > 1e-12 * scale) return false;
  }
  return true;
}

}  // namespace

std::string sector_violation(const Hamiltonian& h, const SectorSpace& space) {
  if (h.num_qubits() != space.num_qubits()) {
    return "the Hamiltonian acts on " + std::to_string(h.num_qubits()) + " qubits and the sector on " +
           std::to_string(space.num_qubits());
  }
  const auto& words = h.get_pwords();
  // The coefficient of every distinct word (repeats summed) and its first occurrence.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<cdouble, std::uint64_t>> total;
  for (std::uint64_t k : h.active_terms()) {
    const PauliWord& w = words[k];
    auto [it, fresh] = total.emplace(std::pair{w.x_mask(), w.z_mask()}, std::pair{w.phased_coeff(), k});
    if (!fresh) it->second.first += w.phased_coeff();
  }
  if (space.flip() != 0) {
    std::uint64_t first = words.size();
    for (const auto& [masks, entry] : total) {
      if (std::popcount(masks.second) % 2 == 1 && entry.first != cdouble{0.0, 0.0}) first = std::min(first, entry.second);
    }
    if (first < words.size()) {
      return "the word " + quoted(words[first]) +
             " does not commute with the global spin flip (it has an odd number of Z and Y), so it mixes the flip "
             "sectors";
    }
  }
  if (space.weight() == SectorSpace::no_weight) return {};
  // Per X mask and per Z mask outside it (independent functions of the other qubits).
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::pair<std::uint64_t, cdouble>>> groups;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> first_word;
  for (const auto& [masks, entry] : total) {
    const auto [x, z] = masks;
    if (x == 0) continue;
    const std::pair key{x, z & ~x};
    groups[key].push_back({z & x, entry.first});
    auto [it, fresh] = first_word.emplace(key, entry.second);
    if (!fresh) it->second = std::min(it->second, entry.second);
  }
  std::uint64_t first = words.size();
  bool too_many = false;
  for (const auto& [key, terms] : groups) {
    if (!vanishes_off_weight(key.first, terms, too_many)) first = std::min(first, first_word[key]);
  }
  if (first == words.size()) return {};
  std::ostringstream msg;
  msg << "the word " << quoted(words[first]) << (too_many ? " and the other words that flip the same qubits cannot be checked to"
                                                          : ", with the other words that flip the same qubits, does not")
      << " conserve the number of 1 bits (weight " << space.weight() << ")";
  return msg.str();
}

}  // namespace morbizet
