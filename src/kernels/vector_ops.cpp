#include "vector_ops.hpp"

#include <algorithm>
#include <cmath>

#include "lanes.hpp"
#include "parallel.hpp"

namespace morbizet {

void scale_into(const cdouble* src, cdouble* dst, std::uint64_t len, cdouble a) {
  for (std::uint64_t i = 0; i < len; ++i) dst[i] = cmul(src[i], a);
}

cdouble dot_conj(const cdouble* p, const cdouble* q, std::uint64_t len) {
  double re = 0.0, im = 0.0;
  for (std::uint64_t i = 0; i < len; ++i) {
    re += p[i].real() * q[i].real() + p[i].imag() * q[i].imag();
    im += p[i].real() * q[i].imag() - p[i].imag() * q[i].real();
  }
  return {re, im};
}

double sum_abs2(const cdouble* x, std::uint64_t len) {
  double sum = 0.0;
  for (std::uint64_t i = 0; i < len; ++i) sum += x[i].real() * x[i].real() + x[i].imag() * x[i].imag();
  return sum;
}

double norm2(const cdouble* x, std::uint64_t len) { return std::sqrt(sum_abs2(x, len)); }

void copy_all(const cdouble* src, cdouble* dst, std::uint64_t n, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) { std::copy(src + b, src + e, dst + b); });
}

double copy_max_abs2(const cdouble* src, cdouble* dst, std::uint64_t n, std::int32_t threads) {
  double mx = 0.0, unused = 0.0;
  parallel_max2(n, threads, mx, unused, [&](std::uint64_t b, std::uint64_t e, double& m, double&) {
    for (std::uint64_t i = b; i < e; ++i) {
      dst[i] = src[i];
      const double a = abs2(src[i]);
      m = a > m ? a : m;
    }
  });
  return mx;
}

void scale_all(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble phase, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) dst[i] = cmul(src[i], phase);
  });
}

double scale_all_max_component(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble phase,
                               std::int32_t threads) {
  double mx = 0.0, unused = 0.0;
  parallel_max2(n, threads, mx, unused, [&](std::uint64_t b, std::uint64_t e, double& m, double&) {
    for (std::uint64_t i = b; i < e; ++i) {
      dst[i] = cmul(src[i], phase);
      const double a = std::max(std::abs(dst[i].real()), std::abs(dst[i].imag()));
      m = a > m ? a : m;
    }
  });
  return mx;
}

void scale_into_parallel(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble a, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) { scale_into(src + b, dst + b, e - b, a); });
}

void scale_real(const cdouble* src, cdouble* dst, std::uint64_t n, double r, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) dst[i] = {src[i].real() * r, src[i].imag() * r};
  });
}

void add_taylor_term(cdouble f, const cdouble* work, cdouble* term, cdouble* result, std::uint64_t n,
                     std::int32_t threads, double& max_term, double& max_result) {
  parallel_max2(n, threads, max_term, max_result, [&](std::uint64_t b, std::uint64_t e, double& mt, double& mr) {
    for (std::uint64_t i = b; i < e; ++i) {
      const cdouble t = cmul(f, work[i]);
      const cdouble r{result[i].real() + t.real(), result[i].imag() + t.imag()};
      term[i] = t;
      result[i] = r;
      const double at = abs2(t), ar = abs2(r);
      mt = at > mt ? at : mt;
      mr = ar > mr ? ar : mr;
    }
  });
}

double max_component(const cdouble* x, std::uint64_t n, std::int32_t threads) {
  double mx = 0.0, unused = 0.0;
  parallel_max2(n, threads, mx, unused, [&](std::uint64_t b, std::uint64_t e, double& m, double&) {
    for (std::uint64_t i = b; i < e; ++i) {
      const double a = std::max(std::abs(x[i].real()), std::abs(x[i].imag()));
      m = a > m ? a : m;
    }
  });
  return mx;
}

void scale_by_power_of_two(cdouble* x, std::uint64_t n, int e, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t end) {
    for (std::uint64_t i = b; i < end; ++i) x[i] = {std::ldexp(x[i].real(), e), std::ldexp(x[i].imag(), e)};
  });
}

int rescaling_exponent(double largest_component, int limit) {
  const double mx = largest_component;
  if (mx == 0.0 || !std::isfinite(mx)) return 0;
  if (mx >= std::ldexp(1.0, -limit) && mx <= std::ldexp(1.0, limit)) return 0;
  return std::ilogb(mx);
}

double subtract_then_dot(cdouble* w, const cdouble* u, double beta, const cdouble* v, std::uint64_t n) {
  double re = 0.0;
  for (std::uint64_t i = 0; i < n; ++i) {
    w[i] = {w[i].real() - beta * u[i].real(), w[i].imag() - beta * u[i].imag()};
    re += v[i].real() * w[i].real() + v[i].imag() * w[i].imag();
  }
  return re;
}

double subtract_then_sum_abs2(cdouble* w, const cdouble* v, double alpha, std::uint64_t n) {
  double sum = 0.0;
  for (std::uint64_t i = 0; i < n; ++i) {
    w[i] = {w[i].real() - alpha * v[i].real(), w[i].imag() - alpha * v[i].imag()};
    sum += w[i].real() * w[i].real() + w[i].imag() * w[i].imag();
  }
  return sum;
}

void reconstruct_step(const cdouble* w, const cdouble* v_cur, double alpha, const cdouble* v_prev, bool beta_used,
                      double beta, double r, cdouble* next, cdouble coefficient, cdouble* out, std::uint64_t n,
                      std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) {
      cdouble x{w[i].real() - alpha * v_cur[i].real(), w[i].imag() - alpha * v_cur[i].imag()};
      if (beta_used) x = {x.real() - beta * v_prev[i].real(), x.imag() - beta * v_prev[i].imag()};
      next[i] = {x.real() * r, x.imag() * r};
      const cdouble t = cmul(coefficient, next[i]);
      out[i] = {out[i].real() + t.real(), out[i].imag() + t.imag()};
    }
  });
}

namespace {

// SplitMix64 (Steele, Lea and Flood, "Fast splittable pseudorandom number generators",
// OOPSLA 2014): a counter-based generator, so any element can be drawn on its own.
std::uint64_t splitmix64(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A uniform double in (0, 1]: the top 53 bits, plus one so that the logarithm below is
// finite.
double unit_interval(std::uint64_t bits) { return static_cast<double>((bits >> 11) + 1) * 0x1p-53; }

constexpr std::uint64_t kProbeSeed = 0x6d6f7262697a6574ULL;

}  // namespace

void fill_probe(cdouble* v, std::uint64_t n, std::uint64_t offset, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) {
      const std::uint64_t key = splitmix64(kProbeSeed ^ (offset + i));
      // Box-Muller: a pair of independent standard normals from two uniforms.
      const double radius = std::sqrt(-2.0 * std::log(unit_interval(splitmix64(key))));
      const double angle = 6.283185307179586 * unit_interval(splitmix64(key ^ 0x5555555555555555ULL));
      v[i] = {radius * std::cos(angle), radius * std::sin(angle)};
    }
  });
}

void add_scaled(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble a, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) {
      const cdouble t = cmul(a, src[i]);
      dst[i] = {dst[i].real() + t.real(), dst[i].imag() + t.imag()};
    }
  });
}

std::vector<double> block_dots(const cdouble* p, const cdouble* q, std::uint64_t n, std::uint64_t block,
                               bool imaginary, std::int32_t threads) {
  return block_sums(n, block, threads, [&](std::uint64_t b, std::uint64_t e) {
    const cdouble d = dot_conj(p + b, q + b, e - b);
    return imaginary ? d.imag() : d.real();
  });
}

std::vector<double> block_sums_abs2(const cdouble* x, std::uint64_t n, std::uint64_t block, std::int32_t threads) {
  return block_sums(n, block, threads, [&](std::uint64_t b, std::uint64_t e) { return sum_abs2(x + b, e - b); });
}


namespace {

using namespace lanes;

// Sums over the doubles of len amplitudes in eight partial sums, double d into sum d mod 8
// in index order, added pairwise at the end, so that every vector width W gives the same
// bits. lanes(j) does the work of amplitudes [j, j + W) and returns their doubles'
// terms; one(k) does amplitude k alone (the tail after the last four) and returns its
// two terms.
template <int W, class Lanes4, class One>
[[gnu::always_inline]] inline double eight_sums(std::uint64_t len, Lanes4&& lanes, One&& one) {
  using D = typename Lanes<W>::d;
  constexpr int kVectors = 4 / W;  // four amplitudes, one double for each partial sum
  D acc[kVectors] = {};
  std::uint64_t k = 0;
  for (; k + 4 <= len; k += 4) {
    for (int v = 0; v < kVectors; ++v) acc[v] += lanes(k + static_cast<std::uint64_t>(v * W));
  }
  double sums[8];
  for (int v = 0; v < kVectors; ++v) {
    for (int c = 0; c < 2 * W; ++c) sums[v * 2 * W + c] = acc[v][c];
  }
  for (; k < len; ++k) {
    const auto [re, im] = one(k);
    sums[(2 * k) % 8] += re;
    sums[(2 * k + 1) % 8] += im;
  }
  return ((sums[0] + sums[1]) + (sums[2] + sums[3])) + ((sums[4] + sums[5]) + (sums[6] + sums[7]));
}

// One term on the amplitudes [i0, i0 + len) of one leaf (w[k] = H' * cur at i0 + k),
// returning the sum of |next|^2 over them (eight_sums).
template <int W, bool kFirst>
[[gnu::always_inline]] inline double chebyshev_leaf(const ChebyshevStep& s, const cdouble* w, std::uint64_t i0,
                                                    std::uint64_t len) {
  using D = typename Lanes<W>::d;
  const D p = splat<W>(s.p), q = splat<W>(s.q), a_re = splat<W>(s.a.real()), a_im = splat<W>(s.a.imag());
  const D b_re = splat<W>(s.a_before.real()), b_im = splat<W>(s.a_before.imag());
  const auto lanes = [&](std::uint64_t j) __attribute__((always_inline)) {
    const std::uint64_t i = i0 + j;
    const D cur = load<W>(s.cur + i);
    D x = p * load<W>(w + j) - q * cur;
    if constexpr (kFirst) {
      store<W>(s.next + i, x);
      store<W>(s.result + i, times<W>(b_re, b_im, cur) + times<W>(a_re, a_im, x));
    } else {
      x = x - load<W>(s.prev + i);
      store<W>(s.next + i, x);
      store<W>(s.result + i, load<W>(s.result + i) + times<W>(a_re, a_im, x));
    }
    return x * x;
  };
  const auto one = [&](std::uint64_t k) __attribute__((always_inline)) {
    const std::uint64_t i = i0 + k;
    cdouble x{s.p * w[k].real() - s.q * s.cur[i].real(), s.p * w[k].imag() - s.q * s.cur[i].imag()};
    if constexpr (kFirst) {
      s.next[i] = x;
      const cdouble t0 = cmul(s.a_before, s.cur[i]), t1 = cmul(s.a, x);
      s.result[i] = {t0.real() + t1.real(), t0.imag() + t1.imag()};
    } else {
      x = {x.real() - s.prev[i].real(), x.imag() - s.prev[i].imag()};
      s.next[i] = x;
      const cdouble t = cmul(s.a, x);
      s.result[i] = {s.result[i].real() + t.real(), s.result[i].imag() + t.imag()};
    }
    return std::pair{x.real() * x.real(), x.imag() * x.imag()};
  };
  return eight_sums<W>(len, lanes, one);
}

// w -= beta u over len amplitudes, returning the sum of Re(conj(v) w) (eight_sums); with
// v = w, the sum of |w|^2 (each amplitude is read back after it is written).
template <int W>
[[gnu::always_inline]] inline double subtract_dot_lanes(cdouble* w, const cdouble* u, double beta, const cdouble* v,
                                                        std::uint64_t len) {
  using D = typename Lanes<W>::d;
  const D b = splat<W>(beta);
  const auto lanes = [&](std::uint64_t j) __attribute__((always_inline)) {
    const D x = load<W>(w + j) - b * load<W>(u + j);
    store<W>(w + j, x);
    return load<W>(v + j) * x;
  };
  const auto one = [&](std::uint64_t k) __attribute__((always_inline)) {
    w[k] = {w[k].real() - beta * u[k].real(), w[k].imag() - beta * u[k].imag()};
    return std::pair{v[k].real() * w[k].real(), v[k].imag() * w[k].imag()};
  };
  return eight_sums<W>(len, lanes, one);
}

template <int W>
[[gnu::always_inline]] inline void chebyshev_lanes(const ChebyshevStep& step, const cdouble* w, std::uint64_t begin,
                                                   std::uint64_t len) {
  for (std::uint64_t l0 = 0; l0 < len; l0 += step.leaf) {
    const std::uint64_t e = std::min(len, l0 + step.leaf) - l0;
    const double sum = step.first ? chebyshev_leaf<W, true>(step, w + l0, begin + l0, e)
                                  : chebyshev_leaf<W, false>(step, w + l0, begin + l0, e);
    if (step.leaf_sums != nullptr) step.leaf_sums[(begin + l0) / step.leaf] = sum;
  }
}

[[gnu::target("avx512f,avx512dq")]] void chebyshev_avx512(const ChebyshevStep& step, const cdouble* w,
                                                           std::uint64_t begin, std::uint64_t len) {
  chebyshev_lanes<4>(step, w, begin, len);
}

[[gnu::target("avx2")]] void chebyshev_avx2(const ChebyshevStep& step, const cdouble* w, std::uint64_t begin,
                                            std::uint64_t len) {
  chebyshev_lanes<2>(step, w, begin, len);
}

[[gnu::target("avx512f,avx512dq")]] double subtract_dot_avx512(cdouble* w, const cdouble* u, double beta,
                                                                const cdouble* v, std::uint64_t len) {
  return subtract_dot_lanes<4>(w, u, beta, v, len);
}

[[gnu::target("avx2")]] double subtract_dot_avx2(cdouble* w, const cdouble* u, double beta, const cdouble* v,
                                                 std::uint64_t len) {
  return subtract_dot_lanes<2>(w, u, beta, v, len);
}

}  // namespace

void chebyshev_step_range(const ChebyshevStep& step, const cdouble* w, std::uint64_t begin, std::uint64_t len) {
  // The widest variant this processor runs; all give the same bits, lane by lane.
  switch (widest_lanes()) {
    case 4: chebyshev_avx512(step, w, begin, len); break;
    case 2: chebyshev_avx2(step, w, begin, len); break;
    default: chebyshev_lanes<1>(step, w, begin, len); break;
  }
}

void lanczos_step_range(const LanczosStep& step, const cdouble* w, std::uint64_t begin, std::uint64_t len) {
  const double a = step.scale, b = step.prev_coeff;
  for (std::uint64_t l0 = 0; l0 < len; l0 += step.leaf) {
    double sum = 0.0;
    for (std::uint64_t k = l0, e = std::min(len, l0 + step.leaf); k < e; ++k) {
      const std::uint64_t i = begin + k;
      const cdouble x{a * w[k].real() - b * step.prev[i].real(), a * w[k].imag() - b * step.prev[i].imag()};
      step.next[i] = x;
      sum += step.cur[i].real() * x.real() + step.cur[i].imag() * x.imag();
    }
    step.leaf_dots[(begin + l0) / step.leaf] = sum;
  }
}

void expectation_range(const ExpectationSums& sums, const cdouble* w, std::uint64_t begin, std::uint64_t len) {
  for (std::uint64_t l0 = 0; l0 < len; l0 += sums.leaf) {
    double re = 0.0, im = 0.0, norm2 = 0.0;
    for (std::uint64_t k = l0, e = std::min(len, l0 + sums.leaf); k < e; ++k) {
      const cdouble p = sums.state[begin + k];
      re += p.real() * w[k].real() + p.imag() * w[k].imag();
      im += p.real() * w[k].imag() - p.imag() * w[k].real();
      norm2 += abs2(p);
    }
    const std::uint64_t at = (begin + l0) / sums.leaf;
    sums.re[at] = re;
    sums.im[at] = im;
    sums.norm2[at] = norm2;
  }
}

void chebyshev_step(const ChebyshevStep& step, const cdouble* w, std::uint64_t n, std::int32_t threads) {
  const auto leaves = static_cast<std::int64_t>(leaf_count(n, step.leaf));
  const auto grain = static_cast<std::int64_t>(std::max<std::uint64_t>(1, kRange * kRangesPerThread / step.leaf));
  parallel_for(
      leaves, threads,
      [&](std::int64_t b) {
        const std::uint64_t begin = static_cast<std::uint64_t>(b) * step.leaf;
        chebyshev_step_range(step, w + begin, begin, std::min(step.leaf, n - begin));
      },
      grain);
}

std::vector<double> subtract_then_block_dots(cdouble* w, const cdouble* u, double beta, const cdouble* v,
                                             std::uint64_t n, std::uint64_t block, std::int32_t threads) {
  const int width = widest_lanes();
  return block_sums(n, block, threads, [&](std::uint64_t b, std::uint64_t e) {
    if (width == 4) return subtract_dot_avx512(w + b, u + b, beta, v + b, e - b);
    if (width == 2) return subtract_dot_avx2(w + b, u + b, beta, v + b, e - b);
    return subtract_dot_lanes<1>(w + b, u + b, beta, v + b, e - b);
  });
}

std::vector<double> subtract_then_block_abs2(cdouble* w, const cdouble* v, double alpha, std::uint64_t n,
                                             std::uint64_t block, std::int32_t threads) {
  return subtract_then_block_dots(w, v, alpha, w, n, block, threads);
}

}  // namespace morbizet
