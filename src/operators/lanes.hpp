#pragma once
// W complex amplitudes as one vector register, written with GCC vector extensions so
// that one source compiles to SSE2, AVX2 or AVX-512 code, chosen at run time. Every
// operation is the scalar one lane by lane, so all widths give the same roundings.

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

// Sign bit of a double, for negating by exclusive or.
inline constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

}  // namespace morbizet::lanes
