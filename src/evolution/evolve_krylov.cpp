#include "morbizet/evolve_krylov.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "operators/parallel.hpp"
#include "power_of_two_scaling.hpp"
#include "tolerance.hpp"

namespace morbizet {

namespace {

constexpr std::uint64_t kMaxKrylovDim = 64;
// Lanczos breakdown: below 100 * 2^-52 (times the scale of H') the next vector is
// rounding noise, and the Krylov space built so far is invariant under H'.
constexpr double kBreakdown = 2.220446049250313e-14;

// The breakdown threshold for H'. beta_j is at most |H'| <= norm_bound, so a fixed
// threshold would take every step of a Hamiltonian with tiny coefficients (say 1e-15,
// evolved for theta = 1e15) for a breakdown and return psi unchanged. Below norm 1 the
// threshold therefore shrinks with the norm; from norm 1 upward it is the fixed one.
double breakdown_threshold(const Hamiltonian& h) { return kBreakdown * std::min(1.0, h.norm_bound()); }

// The element-wise steps run on num_threads threads; they give the same values on any
// number. The sums (inner products and norms) run on the calling thread in index order,
// fused with the element-wise step that produces their operand, which adds the same
// terms in the same order as computing the two one after the other.

// dst = src * a (complex a).
void scale_into_parallel(const cdouble* src, cdouble* dst, std::uint64_t len, cdouble a, std::int32_t threads) {
  parallel_ranges(len, threads, [&](std::uint64_t b, std::uint64_t e) { scale_into(src + b, dst + b, e - b, a); });
}

// w -= beta * u, with a real beta scaling both parts, then returns the real part of
// dot_conj(v, w).
double subtract_then_dot(cdouble* w, const cdouble* u, double beta, const cdouble* v, std::uint64_t len) {
  double re = 0.0;
  for (std::uint64_t i = 0; i < len; ++i) {
    w[i] = {w[i].real() - beta * u[i].real(), w[i].imag() - beta * u[i].imag()};
    re += v[i].real() * w[i].real() + v[i].imag() * w[i].imag();
  }
  return re;
}

// w -= alpha * v, then returns norm2(w).
double subtract_then_norm(cdouble* w, const cdouble* v, double alpha, std::uint64_t len) {
  double sum = 0.0;
  for (std::uint64_t i = 0; i < len; ++i) {
    w[i] = {w[i].real() - alpha * v[i].real(), w[i].imag() - alpha * v[i].imag()};
    sum += w[i].real() * w[i].real() + w[i].imag() * w[i].imag();
  }
  return std::sqrt(sum);
}

// dst = src * r with a real r scaling both parts.
void scale_real(const cdouble* src, cdouble* dst, std::uint64_t len, double r, std::int32_t threads) {
  parallel_ranges(len, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) dst[i] = {src[i].real() * r, src[i].imag() * r};
  });
}

// One step of the second pass, element by element: x = w - alpha * v_cur - beta * v_prev
// (the beta term when beta_used); next = x * r; out += coefficient * next. The next
// application overwrites w, so x is never stored there.
void reconstruct_step(const cdouble* w, const cdouble* v_cur, double alpha, const cdouble* v_prev, bool beta_used,
                      double beta, double r, cdouble* next, cdouble coefficient, cdouble* out, std::uint64_t len,
                      std::int32_t threads) {
  parallel_ranges(len, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) {
      cdouble x{w[i].real() - alpha * v_cur[i].real(), w[i].imag() - alpha * v_cur[i].imag()};
      if (beta_used) x = {x.real() - beta * v_prev[i].real(), x.imag() - beta * v_prev[i].imag()};
      next[i] = {x.real() * r, x.imag() * r};
      const cdouble t = cmul(coefficient, next[i]);
      out[i] = {out[i].real() + t.real(), out[i].imag() + t.imag()};
    }
  });
}

// The plain 2-norm over- or underflows for vectors whose entries are all near the ends
// of the double range although the vector itself is representable. Such a vector is
// scaled in place by a power of two and the exponent returned, so that the substep runs
// on a vector of norm near 1; 0 when no scaling is needed or possible.
int rescale_if_needed(cdouble* x, std::uint64_t len, double& beta, std::int32_t threads) {
  if (!(beta == 0.0 || std::isinf(beta))) return 0;  // a usable norm, or NaN, which stays
  const int e = rescaling_exponent(x, len, 0, threads);
  if (e == 0) return 0;
  scale_by_power_of_two(x, len, -e, threads);
  beta = norm2(x, len);
  return e;
}

}  // namespace

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

double norm2(const cdouble* x, std::uint64_t len) {
  double sum = 0.0;
  for (std::uint64_t i = 0; i < len; ++i) sum += x[i].real() * x[i].real() + x[i].imag() * x[i].imag();
  return std::sqrt(sum);
}

KrylovParameters choose_krylov_parameters(std::uint64_t dim, double c, double rtol) {
  if (dim == 1) return {1, 1};
  // An infinite |theta| * norm has no finite substep count; even where the whole space
  // fits one substep, its exponential would only be NaN.
  if (std::isinf(c)) throw_too_large(c, rtol);
  const std::uint64_t d_max = std::min<std::uint64_t>(dim, kMaxKrylovDim);
  const double log_c = std::log(c);
  const double log_tol = std::log(0.5 * rtol);
  KrylovParameters best{2, 1};
  double best_cost = std::numeric_limits<double>::infinity();
  bool found = false;
  for (std::uint64_t d = 2; d <= d_max; ++d) {
    const double dd = static_cast<double>(d);
    std::uint64_t n = 1;  // d = dim: the Krylov space is the whole space, exact in one step
    if (d != dim) {
      // Error bound of n substeps of dimension d: n * 2 (c/n)^d / d! <= rtol/2.
      const double log_bound = (std::log(2.0) + dd * log_c) - std::lgamma(dd + 1.0);
      n = first_fitting_count((log_bound - log_tol) / (dd - 1.0),
                              [&](double nd) { return log_bound - (dd - 1.0) * std::log(nd) > log_tol; });
      if (n == 0) continue;
    }
    const double cost = static_cast<double>(2 * d - 1) * static_cast<double>(n);
    if (cost < best_cost) {
      best = {d, n};
      best_cost = cost;
      found = true;
    }
  }
  if (!found) throw_too_large(c, rtol);
  return best;
}

KrylovWorkspace::KrylovWorkspace(std::uint64_t d_, std::uint64_t dim)
    : d(d_), T(d_ * d_, 0.0), v_prev(allocate_state(dim)), v_cur(allocate_state(dim)), w(allocate_state(dim)) {}

DenseMatrix build_projected_matrix(const std::vector<double>& T, std::uint64_t d, std::uint64_t m, cdouble z) {
  DenseMatrix out(m * m);
  for (std::uint64_t i = 0; i < m; ++i) {
    for (std::uint64_t j = 0; j < m; ++j) out[i * m + j] = {T[i * d + j] * z.real(), T[i * d + j] * z.imag()};
  }
  return out;
}

std::uint64_t lanczos_project(const Hamiltonian& h, const cdouble* x, double beta, std::int32_t num_threads,
                              KrylovWorkspace& ws) {
  const std::uint64_t dim = h.dim();
  const std::uint64_t d = ws.d;
  scale_into_parallel(x, ws.v_cur.get(), dim, {1.0 / beta, 0.0}, num_threads);
  if (d == 0) return 0;
  const double threshold = breakdown_threshold(h);
  double beta_prev = 0.0;
  for (std::uint64_t j = 0;; ++j) {
    cdouble* w = ws.w.get();
    h.apply_nonidentity(ws.v_cur.get(), w, num_threads);
    // Three-term recurrence, beta term first; only the real part of the Rayleigh
    // quotient is kept, as for a Hermitian H'.
    const double alpha = j > 0 ? subtract_then_dot(w, ws.v_prev.get(), beta_prev, ws.v_cur.get(), dim)
                               : dot_conj(ws.v_cur.get(), w, dim).real();
    ws.T[j * d + j] = alpha;
    const double beta_j = subtract_then_norm(w, ws.v_cur.get(), alpha, dim);
    if (j + 1 < d) {
      ws.T[(j + 1) * d + j] = beta_j;
      ws.T[j * d + j + 1] = beta_j;
    }
    if (beta_j < threshold) return j + 1;
    if (j + 1 == d) return d;
    std::swap(ws.v_prev, ws.v_cur);
    scale_real(w, ws.v_cur.get(), dim, 1.0 / beta_j, num_threads);
    beta_prev = beta_j;
  }
}

void lanczos_reconstruct(const Hamiltonian& h, const cdouble* x, double beta, std::uint64_t m, double tau,
                         cdouble* out, std::int32_t num_threads, KrylovWorkspace& ws) {
  const std::uint64_t dim = h.dim();
  const std::uint64_t d = ws.d;
  const std::vector<double>& T = ws.T;
  scale_into_parallel(x, ws.v_cur.get(), dim, {1.0 / beta, 0.0}, num_threads);
  const DenseMatrix e = expm(build_projected_matrix(T, d, m, {0.0, -tau}), m);
  // beta * E(0,0) * v_0, formed from x = beta * v_0 directly.
  scale_into_parallel(x, out, dim, e[0], num_threads);
  for (std::uint64_t k = 1; k < m; ++k) {
    cdouble* w = ws.w.get();
    h.apply_nonidentity(ws.v_cur.get(), w, num_threads);
    // The basis vector v_k again, alpha term first this time, and its share of the result.
    const double alpha = T[(k - 1) * d + (k - 1)];
    const double beta_back = k >= 2 ? T[(k - 2) * d + (k - 1)] : 0.0;
    const double r = 1.0 / T[(k - 1) * d + k];
    const cdouble coefficient{beta * e[k * m].real(), beta * e[k * m].imag()};
    std::swap(ws.v_prev, ws.v_cur);  // v_prev now holds v_(k-1), v_cur the buffer for v_k
    reconstruct_step(w, ws.v_prev.get(), alpha, ws.v_cur.get(), k >= 2, beta_back, r, ws.v_cur.get(), coefficient,
                     out, dim, num_threads);
  }
}

StateBuffer evolve_krylov(const Hamiltonian& ham, const cdouble* psi, double theta, double rtol,
                          std::int32_t num_threads) {
  require_positive_rtol(rtol);
  const std::uint64_t dim = ham.dim();
  const double c = ham.norm_bound() * std::abs(theta);
  const cdouble s = ham.identity_coeff();

  if (c == 0.0) {
    StateBuffer result = allocate_state(dim);
    scale_into_parallel(psi, result.get(), dim, std::exp(cmul({0.0, -theta}, s)), num_threads);
    return result;
  }

  // Chosen before any allocation, so that a refused request costs nothing.
  const KrylovParameters p = choose_krylov_parameters(dim, c, rtol);
  StateBuffer result = allocate_state(dim);
  const double tau = theta / static_cast<double>(p.n);
  const cdouble phase = std::exp(cmul({0.0, -tau}, s));
  std::copy(psi, psi + dim, result.get());
  StateBuffer next = allocate_state(dim);
  KrylovWorkspace ws(p.d, dim);

  for (std::uint64_t step = 0; step < p.n; ++step) {
    cdouble* x = result.get();
    cdouble* y = next.get();
    double beta = norm2(x, dim);
    const int exponent = rescale_if_needed(x, dim, beta, num_threads);
    if (beta == 0.0) {
      std::fill(y, y + dim, cdouble{0.0, 0.0});  // the zero vector stays zero exactly
    } else {
      std::fill(ws.T.begin(), ws.T.end(), 0.0);
      const std::uint64_t m = lanczos_project(ham, x, beta, num_threads, ws);
      lanczos_reconstruct(ham, x, beta, m, tau, y, num_threads, ws);
      if (exponent != 0) scale_by_power_of_two(y, dim, exponent, num_threads);
    }
    // The identity part commutes with H': one scalar phase per substep.
    scale_into_parallel(y, y, dim, phase, num_threads);
    std::swap(result, next);
  }
  return result;
}

}  // namespace morbizet
