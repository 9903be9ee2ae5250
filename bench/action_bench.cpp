// One application of H' to a state vector: the blocked kernel against the word-by-word
// reference (clear, then one pass per word), on the same Hamiltonian, in one run.
//
//   action_bench MODEL N THREADS REPS     MODEL: heisenberg | ising | random4
// prints one JSON line with the median seconds of each and their ratio.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/state_vector.hpp"

using namespace morbizet;

namespace {

std::string with_pair(std::size_t n, std::size_t k, char a, char b) {
  std::string s(n, 'I');
  s[k] = a;
  s[(k + 1) % n] = b;
  return s;
}

Hamiltonian model(const std::string& name, std::size_t n) {
  std::vector<PauliWord> words;
  std::mt19937_64 rng(5);
  if (name == "heisenberg") {
    for (std::size_t k = 0; k + 1 < n; ++k)
      for (char p : {'X', 'Y', 'Z'}) words.emplace_back(cdouble{1.0, 0.0}, with_pair(n, k, p, p));
  } else if (name == "ising") {
    for (std::size_t k = 0; k + 1 < n; ++k) words.emplace_back(cdouble{1.0, 0.0}, with_pair(n, k, 'Z', 'Z'));
    for (std::size_t k = 0; k < n; ++k) {
      std::string s(n, 'I');
      s[k] = 'X';
      words.emplace_back(cdouble{1.0, 0.0}, s);
    }
  } else {
    std::normal_distribution<double> g;
    for (int t = 0; t < 100; ++t) {
      std::string s(n, 'I');
      for (int q = 0; q < 4;) {
        const std::size_t k = rng() % n;
        if (s[k] != 'I') continue;
        s[k] = "XYZ"[rng() % 3];
        ++q;
      }
      words.emplace_back(cdouble{g(rng), 0.0}, s);
    }
  }
  return Hamiltonian(std::move(words));
}

// The straightforward per-word action at its best: one pass per word, the sign chosen
// without a branch, with the processor's population count (this file is built with it).
void per_word_popcnt(const Hamiltonian& h, const cdouble* in, cdouble* out) {
  const std::uint64_t dim = h.dim();
  std::fill(out, out + dim, cdouble{0.0, 0.0});
  for (std::uint64_t k : h.active_terms()) {
    const PauliWord& w = h.get_pwords()[k];
    const std::uint64_t x = w.x_mask(), z = w.z_mask();
    const double sr = w.phased_coeff().real(), si = w.phased_coeff().imag();
    for (std::uint64_t i = 0; i < dim; ++i) {
      const std::uint64_t sign = static_cast<std::uint64_t>(__builtin_popcountll(i & z) & 1) << 63;
      const double a = std::bit_cast<double>(std::bit_cast<std::uint64_t>(sr) ^ sign);
      const double b = std::bit_cast<double>(std::bit_cast<std::uint64_t>(si) ^ sign);
      const cdouble v = in[i];
      cdouble& o = out[i ^ x];
      o = {a * v.real() - b * v.imag() + o.real(), a * v.imag() + b * v.real() + o.imag()};
    }
  }
}

template <class F>
double median_seconds(int reps, F&& f) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: action_bench MODEL N THREADS REPS\n");
    return 2;
  }
  const std::string name = argv[1];
  const std::size_t n = std::strtoul(argv[2], nullptr, 10);
  const int threads = std::atoi(argv[3]);
  const int reps = std::atoi(argv[4]);
  const Hamiltonian h = model(name, n);
  const std::uint64_t dim = h.dim();
  StateBuffer in = allocate_state(dim), out = allocate_state(dim), ref = allocate_state(dim);
  std::mt19937_64 rng(1);
  std::normal_distribution<double> g;
  for (std::uint64_t i = 0; i < dim; ++i) in[i] = {g(rng), g(rng)};

  const double blocked = median_seconds(reps, [&] { h.apply_nonidentity(in.get(), out.get(), threads); });
  const double per_word = median_seconds(reps, [&] {
    std::fill(ref.get(), ref.get() + dim, cdouble{0.0, 0.0});
    for (std::uint64_t k : h.active_terms()) h.get_pwords()[k].apply_add(in.get(), ref.get(), threads);
  });
  const GroupedPauliSum grouped(h);
  StateBuffer grouped_out = allocate_state(dim);
  const double grouped_s = median_seconds(reps, [&] { grouped.apply_nonidentity(in.get(), grouped_out.get(), threads); });
  double grouped_err = 0.0;
  for (std::uint64_t i = 0; i < dim; ++i) grouped_err = std::max(grouped_err, std::abs(grouped_out[i] - out[i]));
  StateBuffer fast_ref = allocate_state(dim);
  const double straightforward = median_seconds(reps, [&] { per_word_popcnt(h, in.get(), fast_ref.get()); });
  const bool same = std::equal(out.get(), out.get() + dim, ref.get(), [](cdouble a, cdouble b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
  });
  std::printf(
      "{\"model\": \"%s\", \"n\": %zu, \"words\": %zu, \"threads\": %d, \"blocked_s\": %.6g, \"per_word_s\": %.6g, "
      "\"straightforward_s\": %.6g, \"grouped_s\": %.6g, \"groups\": %zu, \"grouped_max_diff\": %.3g, \"speedup\": %.3g, \"speedup_vs_straightforward\": %.3g, \"ns_per_word_amplitude\": %.4g, \"bitwise_equal\": %s}\n",
      name.c_str(), n, h.active_terms().size(), threads, blocked, per_word, straightforward, grouped_s,
      grouped.groups().size(), grouped_err, per_word / blocked, straightforward / blocked,
      1e9 * blocked / (static_cast<double>(dim) * h.active_terms().size()), same ? "true" : "false");
  return same ? 0 : 1;
}
