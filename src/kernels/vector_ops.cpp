#include "vector_ops.hpp"

#include <algorithm>
#include <cmath>

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

}  // namespace morbizet
