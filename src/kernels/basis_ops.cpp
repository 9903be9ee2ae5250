#include "basis_ops.hpp"

#include <algorithm>
#include <cstring>

#include "parallel.hpp"

namespace morbizet {

namespace {

// Amplitudes per tile: 4 KiB of each vector, so that a tile of a few dozen basis
// vectors stays in the second-level cache while every output reads it.
constexpr std::uint64_t kTile = 256;

// Eight doubles (four amplitudes, real and imaginary parts interleaved) as one value:
// one register with AVX-512, two with AVX2, four with SSE2. Every kernel below does the
// same operations lane by lane in every build, so its roundings, and its results, are
// the same whatever the width of the machine's vectors.
using V8 = double __attribute__((vector_size(64)));
using M8 = long long __attribute__((vector_size(64)));
constexpr std::uint64_t kLane = 4;  // amplitudes per V8

[[gnu::always_inline]] inline V8 load(const cdouble* p) {
  V8 v;
  std::memcpy(&v, static_cast<const void*>(p), sizeof v);
  return v;
}
[[gnu::always_inline]] inline void store(cdouble* p, V8 v) { std::memcpy(static_cast<void*>(p), &v, sizeof v); }
// a * b + c lane by lane with a single rounding: fused multiply-add instructions where
// the target has them, the C library's exact fma otherwise, the same bits either way.
[[gnu::always_inline]] inline V8 fma8(V8 a, V8 b, V8 c) {
  V8 r;
  for (int i = 0; i < 8; ++i) r[i] = __builtin_fma(a[i], b[i], c[i]);
  return r;
}
// [a, b, c, d, ...] -> [b, a, d, c, ...]: real and imaginary parts swapped.
[[gnu::always_inline]] inline V8 swap_parts(V8 v) { return __builtin_shuffle(v, M8{1, 0, 3, 2, 5, 4, 7, 6}); }

// out0 = sum_k c0[k] * basis[k] and out1 = sum_k c1[k] * basis[k] over len amplitudes (a
// multiple of 8) from t on, two outputs sharing every load of the basis: each amplitude
// gets Re c * (v_r, v_i) and then Im c * (-v_i, v_r) added in the order of k, each by one
// fused multiply-add, with the accumulators held in registers.
template <int>
[[gnu::always_inline]] inline void combine_tile(const cdouble* const* basis, std::uint64_t m, const cdouble* c0,
                                                const cdouble* c1, cdouble* out0, cdouble* out1, std::uint64_t t,
                                                std::uint64_t len) {
  const V8 sign{-1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0, 1.0};
  for (std::uint64_t i = 0; i < len; i += 2 * kLane) {
    V8 a0{}, a1{}, b0{}, b1{};
    for (std::uint64_t k = 0; k < m; ++k) {
      const V8 v0 = load(basis[k] + t + i), v1 = load(basis[k] + t + i + kLane);
      const V8 s0 = swap_parts(v0), s1 = swap_parts(v1);
      const V8 ra = V8{} + c0[k].real(), ia = sign * c0[k].imag();
      const V8 rb = V8{} + c1[k].real(), ib = sign * c1[k].imag();
      a0 = fma8(ia, s0, fma8(ra, v0, a0));
      a1 = fma8(ia, s1, fma8(ra, v1, a1));
      b0 = fma8(ib, s0, fma8(rb, v0, b0));
      b1 = fma8(ib, s1, fma8(rb, v1, b1));
    }
    store(out0 + i, a0);
    store(out0 + i + kLane, a1);
    store(out1 + i, b0);
    store(out1 + i + kLane, b1);
  }
}

// Per lane, sums of conj(p) q split as A += p * q (whose pair sums are the real parts)
// and B += p * swap(q) (whose pair differences are the imaginary parts), for two left
// and two right vectors at once, over len amplitudes (a multiple of 4) from t on. (Written
// with fma8 the compiler splits some of these into scalar operations, at half the speed.)
template <int>
[[gnu::always_inline]] inline void dot_tile(const cdouble* p0, const cdouble* p1, const cdouble* q0, const cdouble* q1, std::uint64_t len,
                     V8* acc) {
  V8 a00{}, b00{}, a01{}, b01{}, a10{}, b10{}, a11{}, b11{};
  for (std::uint64_t i = 0; i < len; i += kLane) {
    const V8 x0 = load(p0 + i), x1 = load(p1 + i), y0 = load(q0 + i), y1 = load(q1 + i);
    const V8 s0 = swap_parts(y0), s1 = swap_parts(y1);
    a00 += x0 * y0;
    b00 += x0 * s0;
    a01 += x0 * y1;
    b01 += x0 * s1;
    a10 += x1 * y0;
    b10 += x1 * s0;
    a11 += x1 * y1;
    b11 += x1 * s1;
  }
  acc[0] += a00;
  acc[1] += b00;
  acc[2] += a01;
  acc[3] += b01;
  acc[4] += a10;
  acc[5] += b10;
  acc[6] += a11;
  acc[7] += b11;
}

// The lanes of an (A, B) pair, a[0..8) and b[0..8), as one complex number, in a fixed order.
cdouble fold(const double* a, const double* b) {
  const double re = ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
  const double im = ((b[0] - b[1]) + (b[2] - b[3])) + ((b[4] - b[5]) + (b[6] - b[7]));
  return {re, im};
}

// The plain per-amplitude forms, for what is left of a vector shorter than the lanes.
cdouble dot_plain(const cdouble* p, const cdouble* q, std::uint64_t len) {
  double re = 0.0, im = 0.0;
  for (std::uint64_t i = 0; i < len; ++i) {
    re += p[i].real() * q[i].real() + p[i].imag() * q[i].imag();
    im += p[i].real() * q[i].imag() - p[i].imag() * q[i].real();
  }
  return {re, im};
}

struct Kernels {
  void (*combine)(const cdouble* const*, std::uint64_t, const cdouble*, const cdouble*, cdouble*, cdouble*,
                  std::uint64_t, std::uint64_t);
  void (*dot)(const cdouble*, const cdouble*, const cdouble*, const cdouble*, std::uint64_t, V8*);
};

[[gnu::target("avx512f,avx512dq")]] void combine_avx512(const cdouble* const* b, std::uint64_t m, const cdouble* c0, const cdouble* c1, cdouble* o0,
                    cdouble* o1, std::uint64_t t, std::uint64_t len) {
  combine_tile<512>(b, m, c0, c1, o0, o1, t, len);
}
[[gnu::target("avx512f,avx512dq")]] void dot_avx512(const cdouble* p0, const cdouble* p1, const cdouble* q0,
                                                     const cdouble* q1, std::uint64_t len, V8* acc) {
  dot_tile<512>(p0, p1, q0, q1, len, acc);
}
[[gnu::target("avx2,fma")]] void combine_avx2(const cdouble* const* b, std::uint64_t m, const cdouble* c0, const cdouble* c1, cdouble* o0,
                    cdouble* o1, std::uint64_t t, std::uint64_t len) {
  combine_tile<256>(b, m, c0, c1, o0, o1, t, len);
}
[[gnu::target("avx2")]] void dot_avx2(const cdouble* p0, const cdouble* p1, const cdouble* q0, const cdouble* q1,
                                      std::uint64_t len, V8* acc) {
  dot_tile<256>(p0, p1, q0, q1, len, acc);
}
void combine_plain(const cdouble* const* b, std::uint64_t m, const cdouble* c0, const cdouble* c1, cdouble* o0,
                    cdouble* o1, std::uint64_t t, std::uint64_t len) {
  combine_tile<128>(b, m, c0, c1, o0, o1, t, len);
}
void dot_plainv(const cdouble* p0, const cdouble* p1, const cdouble* q0, const cdouble* q1, std::uint64_t len,
                V8* acc) {
  dot_tile<128>(p0, p1, q0, q1, len, acc);
}

Kernels kernels() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return {combine_avx512, dot_avx512};
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return {combine_avx2, dot_avx2};
  return {combine_plain, dot_plainv};
}

}  // namespace

void combine_basis(const cdouble* const* basis, std::uint64_t m, const cdouble* coeffs, std::uint64_t p,
                   cdouble* const* out, std::uint64_t n, std::int32_t threads) {
  const Kernels k = kernels();
  const std::uint64_t whole = n / (2 * kLane) * (2 * kLane);
  const auto tiles = static_cast<std::int64_t>((whole + kTile - 1) / kTile);
  // A tile of one output is m * kTile multiply-adds; a thread is woken for 2^18 or more.
  const auto grain = static_cast<std::int64_t>(std::max<std::uint64_t>(1, (std::uint64_t{1} << 18) / (m * p * kTile + 1)));
  parallel_for(
      tiles, threads,
      [&](std::int64_t which) {
        const std::uint64_t t = static_cast<std::uint64_t>(which) * kTile;
        const std::uint64_t len = std::min(kTile, whole - t);
        // Outputs in pairs; an odd last one is paired with itself (formed twice, the same).
        for (std::uint64_t j = 0; j < p; j += 2) {
          const std::uint64_t j1 = std::min(j + 1, p - 1);
          k.combine(basis, m, coeffs + j * m, coeffs + j1 * m, out[j] + t, out[j1] + t, t, len);
        }
      },
      grain);
  for (std::uint64_t i = whole; i < n; ++i) {
    for (std::uint64_t j = 0; j < p; ++j) {
      double ar = 0.0, ai = 0.0;
      for (std::uint64_t c = 0; c < m; ++c) {
        const cdouble y = coeffs[j * m + c], v = basis[c][i];
        ar += y.real() * v.real() - y.imag() * v.imag();
        ai += y.real() * v.imag() + y.imag() * v.real();
      }
      out[j][i] = {ar, ai};
    }
  }
}

std::vector<double> basis_inner_products(const cdouble* const* left, std::uint64_t ml, const cdouble* const* right,
                                         std::uint64_t mr, std::uint64_t n, std::uint64_t leaf, bool upper,
                                         std::uint64_t first, std::int32_t threads) {
  const Kernels kern = kernels();
  const std::uint64_t leaves = leaf_count(n, leaf);
  std::vector<double> partial(2 * ml * mr * leaves, 0.0);
  const std::uint64_t tile = std::min(kTile, leaf);
  const bool lanes = tile % kLane == 0;
  const auto grain = static_cast<std::int64_t>(std::max<std::uint64_t>(1, kRange / leaf));
  // Entry (k, l) is wanted unless the upper triangle alone is asked for and k > first + l.
  const auto wanted = [&](std::uint64_t k, std::uint64_t l) { return !upper || k <= first + l; };
  parallel_for(
      static_cast<std::int64_t>(leaves), threads,
      [&](std::int64_t which) {
        const auto b = static_cast<std::uint64_t>(which);
        // Two V8 (A and B) of lane sums per entry, over the tiles of the leaf in order,
        // kept as plain doubles (lane by lane, the same additions).
        std::vector<double> acc(lanes ? 16 * ml * mr : 0, 0.0);
        // Plain sums: every tile without lanes, and in lanes the short tail of a last leaf
        // that a sector's dimension leaves, added after the lane sums.
        std::vector<cdouble> plain(ml * mr, cdouble{0.0, 0.0});
        bool tail = false;
        const std::uint64_t end = std::min(n, (b + 1) * leaf);
        for (std::uint64_t t = b * leaf; t < end; t += tile) {
          const std::uint64_t len = std::min(tile, end - t);
          if (!lanes || len % kLane != 0) {
            tail = lanes;
            for (std::uint64_t l = 0; l < mr; ++l) {
              for (std::uint64_t k = 0; k < ml; ++k) {
                if (wanted(k, l)) plain[k * mr + l] += dot_plain(left[k] + t, right[l] + t, len);
              }
            }
            continue;
          }
          for (std::uint64_t l = 0; l < mr; l += 2) {
            const std::uint64_t l1 = std::min(l + 1, mr - 1);
            for (std::uint64_t k = 0; k < ml; k += 2) {
              const std::uint64_t k1 = std::min(k + 1, ml - 1);
              if (!wanted(k, l1)) continue;
              // The four entries (k, l), (k, l1), (k1, l), (k1, l1); a repeated index (an
              // odd count) gives an entry twice, and the copy is dropped.
              V8 four[8] = {};
              kern.dot(left[k] + t, left[k1] + t, right[l] + t, right[l1] + t, len, four);
              const std::uint64_t ks[2] = {k, k1}, ls[2] = {l, l1};
              for (int a = 0; a < 2; ++a) {
                for (int c = 0; c < 2; ++c) {
                  if ((a == 1 && k1 == k) || (c == 1 && l1 == l)) continue;
                  const std::uint64_t e = ks[a] * mr + ls[c];
                  for (int h = 0; h < 2; ++h) {
                    const V8& part = four[2 * (2 * a + c) + h];
                    for (int u = 0; u < 8; ++u) acc[16 * e + 8 * h + u] += part[u];
                  }
                }
              }
            }
          }
        }
        for (std::uint64_t e = 0; e < ml * mr; ++e) {
          cdouble s = lanes ? fold(&acc[16 * e], &acc[16 * e + 8]) : plain[e];
          if (tail) s = {s.real() + plain[e].real(), s.imag() + plain[e].imag()};
          partial[(2 * e) * leaves + b] = s.real();
          partial[(2 * e + 1) * leaves + b] = s.imag();
        }
      },
      grain);
  return partial;
}

}  // namespace morbizet
