// One application of H' to a state vector: the blocked kernel against the word-by-word
// reference (clear, then one pass per word), on the same Hamiltonian, in one run.
//
//   action_bench MODEL N THREADS REPS           MODEL: heisenberg | ising | random4 | fewmasks | zonly
//   action_bench MODEL N THREADS REPS floor     the grouped action against the floor
// prints one JSON line with the median seconds of each and their ratio.
//
// The floor is what this machine needs at least for one application of the grouped
// action, by the larger of two counts. Bytes: a schedule that forms the output in tiles
// of 2^t amplitudes reads, per tile, the input tile of every distinct high part
// (x >> t) of the groups' X masks once and writes the output once, so it moves
// 16 * 2^n * (partners + 1) bytes; t is the largest for which the partner tiles and the
// output tile fit in the second-level cache together, and the bytes go at the rate of a
// STREAM triad on vectors of the state's size. Arithmetic: one product of a coefficient
// and an amplitude, added to the output, per amplitude and group, at the rate this
// machine's vector units reach on exactly that (real or complex coefficient) with
// everything in the first-level cache.

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
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
  } else if (name == "fewmasks") {
    // 1,000 words on 5 X masks (each qubit flipped with chance 1/4), Z or Y at random.
    std::normal_distribution<double> g;
    for (int m = 0; m < 5; ++m) {
      std::string flips(n, 'I');
      for (std::size_t q = 0; q < n; ++q) flips[q] = rng() % 4 == 0 ? 'X' : 'I';
      for (int k = 0; k < 200; ++k) {
        std::string s = flips;
        for (std::size_t q = 0; q < n; ++q) {
          if (rng() % 2 != 0) s[q] = s[q] == 'X' ? 'Y' : 'Z';
        }
        words.emplace_back(cdouble{g(rng), 0.0}, s);
      }
    }
  } else if (name == "zonly") {
    // 300 Z strings of weight 1 to 4: one diagonal group.
    std::normal_distribution<double> g;
    for (int k = 0; k < 300; ++k) {
      std::string s(n, 'I');
      for (int q = 0, w = 1 + static_cast<int>(rng() % 4); q < w; ++q) s[rng() % n] = 'Z';
      words.emplace_back(cdouble{g(rng), 0.0}, s);
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

// fn(t) on threads t = 0 .. threads-1 at once.
template <class F>
void on_threads(int threads, F&& fn) {
  std::vector<std::thread> team;
  for (int t = 1; t < threads; ++t) team.emplace_back(fn, t);
  fn(0);
  for (std::thread& th : team) th.join();
}

// STREAM triad a = b + s c on three vectors of `bytes` each, split among the threads (each
// thread first touches its own part): bytes moved per second, STREAM's count (3 per
// element, no write-allocate).
double triad_bytes_per_s(std::size_t bytes, int threads, int reps) {
  const std::size_t len = bytes / sizeof(double);
  std::vector<double*> v(3);
  for (double*& p : v) p = static_cast<double*>(std::aligned_alloc(64, len * sizeof(double)));
  const auto part = [&](int t) { return std::pair<std::size_t, std::size_t>{len * t / threads, len * (t + 1) / threads}; };
  on_threads(threads, [&](int t) {
    const auto [lo, hi] = part(t);
    for (std::size_t i = lo; i < hi; ++i) v[0][i] = 0.0, v[1][i] = 1.0, v[2][i] = 2.0;
  });
  double best = 1e300;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    on_threads(threads, [&](int t) {
      const auto [lo, hi] = part(t);
      double* a = v[0];
      const double* b = v[1];
      const double* c = v[2];
      for (std::size_t i = lo; i < hi; ++i) a[i] = b[i] + 3.0 * c[i];
    });
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  const double checksum = v[0][len / 2];
  for (double* p : v) std::free(p);
  return checksum == 7.0 ? 3.0 * static_cast<double>(len * sizeof(double)) / best : 0.0;
}

typedef double Vec __attribute__((vector_size(64)));

// acc += d * v over 8 registers of 4 amplitudes, v from a 16 KiB buffer (first-level
// cache), for a real coefficient (one product) or a complex one (two products, a swap of
// parts, a difference and sum and their interleaving): the grouped action's inner work.
template <bool kComplex>
[[gnu::target("avx512f,avx512dq")]] [[gnu::noinline]] double products_avx512(std::size_t rounds) {
  alignas(64) static thread_local double in[2048];
  for (int i = 0; i < 2048; ++i) in[i] = 1e-3 * i;
  Vec acc[8] = {};
  Vec dr, di;
  for (int c = 0; c < 8; ++c) dr[c] = 0.999, di[c] = 0.001;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t r = 0; r < rounds; ++r) {
    for (int g = 0; g < 8; ++g) {
#pragma GCC unroll 8
      for (int q = 0; q < 8; ++q) {
        Vec v;
        std::memcpy(&v, in + 64 * ((g + q + r) & 31), sizeof v);
        if constexpr (kComplex) {
          typedef long long Idx __attribute__((vector_size(64)));
          const Vec p1 = dr * v;
          const Vec p2 = di * __builtin_shuffle(v, Idx{1, 0, 3, 2, 5, 4, 7, 6});
          acc[q] += __builtin_shuffle(p1 - p2, p1 + p2, Idx{0, 9, 2, 11, 4, 13, 6, 15});
        } else {
          acc[q] += dr * v;
        }
      }
    }
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double sink = 0.0;
  for (const Vec& a : acc) sink += a[0];
  return sink == 12345.0 ? 0.0 : s / (static_cast<double>(rounds) * 8 * 8 * 4);  // seconds per amplitude product
}

// Seconds per amplitude product on each of `threads` threads running at once (the best
// of a few tries); zero without AVX-512.
double seconds_per_product(bool complex, int threads) {
  if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512dq")) return 0.0;
  double best = 1e300;
  for (int k = 0; k < 5; ++k) {
    std::vector<double> each(static_cast<std::size_t>(threads));
    on_threads(threads, [&](int t) {
      each[static_cast<std::size_t>(t)] = complex ? products_avx512<true>(20000) : products_avx512<false>(20000);
    });
    best = std::min(best, *std::max_element(each.begin(), each.end()));
  }
  return best;
}

// The floor of one application (see the top of this file) as a JSON object; floor_s
// receives its time.
std::string floor_json(const GroupedPauliSum& grouped, std::size_t n, int threads, double& floor_s) {
  const long l1 = sysconf(_SC_LEVEL1_DCACHE_SIZE), l2 = sysconf(_SC_LEVEL2_CACHE_SIZE), l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
  const std::size_t cache = l2 > 0 ? static_cast<std::size_t>(l2) : std::size_t{1} << 20;
  const double dim = std::ldexp(1.0, static_cast<int>(n));
  std::size_t tile_bits = 0, partners = 0;
  for (std::size_t t = 0; t <= n; ++t) {
    std::set<std::uint64_t> high;
    for (const FlipGroup& g : grouped.groups()) high.insert(g.x >> t);
    if (t > 0 && (high.size() + 1) * 16 * (std::size_t{1} << t) > cache) break;
    tile_bits = t;
    partners = high.size();
  }
  std::size_t real = 0, complex = 0;
  for (const FlipGroup& g : grouped.groups()) (g.has_re && g.has_im ? complex : real) += 1;
  const double bytes = 16.0 * dim * static_cast<double>(partners + 1);
  const double bandwidth = triad_bytes_per_s(static_cast<std::size_t>(16.0 * dim), threads, 5);
  const double real_s = seconds_per_product(false, threads), complex_s = seconds_per_product(true, threads);
  const double memory_s = bytes / bandwidth;
  const double arithmetic_s = dim * (static_cast<double>(real) * real_s + static_cast<double>(complex) * complex_s) /
                              static_cast<double>(threads);
  floor_s = std::max(memory_s, arithmetic_s);
  char buf[1024];
  std::snprintf(buf, sizeof buf,
                "{\"l1_bytes\": %ld, \"l2_bytes\": %ld, \"l3_bytes\": %ld, \"tile_bits\": %zu, \"partners\": %zu, "
                "\"bytes\": %.6g, \"triad_GBps\": %.4g, \"products\": %.6g, \"ns_per_real_product\": %.4g, "
                "\"ns_per_complex_product\": %.4g, \"memory_s\": %.6g, \"arithmetic_s\": %.6g, \"floor_s\": %.6g}",
                l1, l2, l3, tile_bits, partners, bytes, bandwidth / 1e9, dim * static_cast<double>(real + complex),
                1e9 * real_s, 1e9 * complex_s, memory_s, arithmetic_s, floor_s);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && !(argc == 6 && std::string(argv[5]) == "floor")) {
    std::fprintf(stderr, "usage: action_bench MODEL N THREADS REPS [floor]\n");
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
  if (argc == 6) {
    // The grouped action alone against the floor, and a vector pass (c = a + b over the
    // state's amplitudes) timed in the same run.
    const GroupedPauliSum grouped(h);
    grouped.apply_nonidentity(in.get(), out.get(), threads);
    const double action_s = median_seconds(reps, [&] { grouped.apply_nonidentity(in.get(), out.get(), threads); });
    const double pass_s = median_seconds(reps, [&] {
      for (std::uint64_t i = 0; i < dim; ++i) ref[i] = in[i] + out[i];
    });
    double floor_s = 0.0;
    const std::string floor = floor_json(grouped, n, threads, floor_s);
    std::printf("{\"model\": \"%s\", \"n\": %zu, \"words\": %zu, \"groups\": %zu, \"threads\": %d, "
                "\"action_s\": %.6g, \"vector_pass_s\": %.6g, \"floor\": %s, \"floor_ratio\": %.4g}\n",
                name.c_str(), n, h.active_terms().size(), grouped.groups().size(), threads, action_s, pass_s,
                floor.c_str(), action_s / floor_s);
    return 0;
  }

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
