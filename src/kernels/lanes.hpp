#pragma once
// W complex amplitudes as one vector register, written with GCC vector extensions so
// that one source compiles to SSE2, AVX2 or AVX-512 code, chosen at run time. Every
// operation is the scalar one lane by lane, so all widths give the same roundings.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "morbizet/complex.hpp"

namespace morbizet::lanes {

inline std::uint64_t parity(std::uint64_t v) { return static_cast<std::uint64_t>(std::popcount(v) & 1); }

// W complex amplitudes, interleaved (re, im, re, im, ...), as one vector register.
template <int W>
struct Lanes;
template <>
struct Lanes<1> {
  typedef double d __attribute__((vector_size(16)));
  typedef std::uint64_t u __attribute__((vector_size(16)));
};
template <>
struct Lanes<2> {
  typedef double d __attribute__((vector_size(32)));
  typedef std::uint64_t u __attribute__((vector_size(32)));
};
template <>
struct Lanes<4> {
  typedef double d __attribute__((vector_size(64)));
  typedef std::uint64_t u __attribute__((vector_size(64)));
};

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::d load(const cdouble* p) {
  typename Lanes<W>::d v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <int W>
[[gnu::always_inline]] inline void store(cdouble* p, typename Lanes<W>::d v) {
  std::memcpy(static_cast<void*>(p), &v, sizeof v);
}

// Lane pair c takes complex element c ^ XW: the in-register part of i -> i ^ x.
template <int W, int XW>
[[gnu::always_inline]] inline typename Lanes<W>::u permutation() {
  typename Lanes<W>::u m;
  for (int c = 0; c < W; ++c) {
    m[2 * c] = static_cast<std::uint64_t>(2 * (c ^ XW));
    m[2 * c + 1] = static_cast<std::uint64_t>(2 * (c ^ XW) + 1);
  }
  return m;
}

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::u swap_parts() {
  typename Lanes<W>::u m;
  for (int c = 0; c < W; ++c) {
    m[2 * c] = static_cast<std::uint64_t>(2 * c + 1);
    m[2 * c + 1] = static_cast<std::uint64_t>(2 * c);
  }
  return m;
}

// Real parts from the first operand, imaginary parts from the second.
template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::u interleave() {
  typename Lanes<W>::u m;
  for (int c = 0; c < W; ++c) {
    m[2 * c] = static_cast<std::uint64_t>(2 * c);
    m[2 * c + 1] = static_cast<std::uint64_t>(2 * W + 2 * c + 1);
  }
  return m;
}

// The widest of these this processor runs: 4 (AVX-512), 2 (AVX2) or 1 (SSE2) complex
// amplitudes per register. Every width gives the same roundings, so the choice never
// shows in a result.
inline int widest_lanes() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return 4;
  return __builtin_cpu_supports("avx2") ? 2 : 1;
}

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::d splat(double v) {
  typename Lanes<W>::d d;
  for (int c = 0; c < 2 * W; ++c) d[c] = v;
  return d;
}

// The complex products a * x of the W amplitudes of x, a held as its real parts (a_re)
// and imaginary parts (a_im), each twice per amplitude: (a_re x_re - a_im x_im,
// a_re x_im + a_im x_re), the scalar formula lane by lane.
template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::d times(typename Lanes<W>::d a_re, typename Lanes<W>::d a_im,
                                                         typename Lanes<W>::d x) {
  using D = typename Lanes<W>::d;
  const D p1 = a_re * x;
  const D p2 = a_im * __builtin_shuffle(x, swap_parts<W>());
  return __builtin_shuffle(p1 - p2, p1 + p2, interleave<W>());
}

// Sign bit of a double, for negating by exclusive or.
inline constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

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
      store<W>(out + l, load<W>(out + l) + times<W>(sr, si, v));
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

}  // namespace morbizet::lanes
