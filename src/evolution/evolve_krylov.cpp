#include "morbizet/evolve_krylov.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "allocation.hpp"
#include "kernels/vector_ops.hpp"
#include "phase.hpp"
#include "tolerance.hpp"

namespace morbizet {

namespace {

constexpr std::uint64_t kMaxKrylovDim = 64;
// Lanczos breakdown: below 100 * 2^-52 (times the scale of H') the next vector is
// rounding noise, and the Krylov space built so far is invariant under H'.
constexpr double kBreakdown = 2.220446049250313e-14;

// Below this a beta_j cannot be divided by safely (its reciprocal would overflow), so a
// breakdown is taken whatever the cap.
constexpr double kSmallestDivisor = 0x1p-960;

// The breakdown threshold for H'. beta_j is at most |H'| <= norm_bound, so a fixed
// threshold would take every step of a Hamiltonian with tiny coefficients (say 1e-15,
// evolved for theta = 1e15) for a breakdown and return psi unchanged. Below norm 1 the
// threshold therefore shrinks with the norm; from norm 1 upward it is the fixed one.
// The workspace's cap lowers it further: a small beta_j is a true part of H' whose
// effect over a long time can exceed the tolerance (H = Z + 1e-14 X over t = 1e5).
double breakdown_threshold(const OperatorRef& h, const KrylovWorkspace& ws) {
  return std::max(kSmallestDivisor, std::min(kBreakdown * std::min(1.0, h.norm_bound()), ws.breakdown_cap));
}

// The element-wise steps run on num_threads threads; they give the same values on any
// number. The sums (inner products and norms) run on the calling thread in index order,
// fused with the element-wise step that produces their operand, which adds the same
// terms in the same order as computing the two one after the other. A state spread over
// processes adds the processes' sums in rank order.
double combined(const OperatorRef& op, double local_sum) {
  op.sum_across_in_rank_order(&local_sum, 1);
  return local_sum;
}

// The plain 2-norm of a state vector, as norm2 of the whole of it.
double state_norm(const OperatorRef& op, const cdouble* x, std::uint64_t len) {
  return std::sqrt(combined(op, sum_abs2(x, len)));
}

// The plain 2-norm loses its accuracy (its squares turn subnormal) or over- or
// underflows for vectors whose entries all lie near the ends of the double range,
// although the vector itself is representable; this happens to an ordinary state that
// a complex identity part shrinks or grows substep after substep. Such a vector is
// scaled in place by a power of two and the exponent returned, so that the substep runs
// on a vector of norm near 1; 0 when no scaling is needed or possible.
int rescale_if_needed(const OperatorRef& op, cdouble* x, std::uint64_t len, double& beta, std::int32_t threads) {
  if (beta >= 0x1p-450 && beta <= 0x1p450) return 0;  // squares far from the ends of the range
  if (std::isnan(beta)) return 0;
  double mx = max_component(x, len, threads);
  op.max_across(&mx, 1);
  const int e = rescaling_exponent(mx, 0);
  if (e == 0) return 0;
  scale_by_power_of_two(x, len, -e, threads);
  beta = state_norm(op, x, len);
  return e;
}

// The whole space as the Krylov space (d = dim <= 64, one substep): there is no
// truncation error to bound, but the plain three-term recurrence loses orthogonality
// within a few steps, and once it has, T no longer represents H' and a long substep
// comes out plainly wrong (a norm of 1.0001, errors of order one). The basis has at
// most 64 vectors of at most 64 amplitudes, so it is kept, and each new vector is
// orthogonalised against all of it twice ("twice is enough": Giraud, Langou and
// Rozloznik 2005). Then out = beta * V_m * exp(-i*tau*T_m) * e_1, from m applications.
// The inner products of a state spread over processes are added in rank order.
void exact_space_substep(const OperatorRef& h, const cdouble* x, double beta, double tau, cdouble* out,
                         std::int32_t num_threads, KrylovWorkspace& ws) {
  const std::uint64_t len = h.local_dim();
  const std::uint64_t d = ws.d;
  const double threshold = breakdown_threshold(h, ws);
  std::vector<cdouble> basis(d * len);
  std::vector<double> overlaps(2 * d);
  for (std::uint64_t i = 0; i < len; ++i) basis[i] = x[i] * (1.0 / beta);
  std::uint64_t m = d;
  for (std::uint64_t j = 0; j < d; ++j) {
    cdouble* w = ws.w.get();
    h.apply_nonidentity(basis.data() + j * len, w, num_threads);
    double alpha = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
      for (std::uint64_t k = 0; k <= j; ++k) {
        const cdouble o = dot_conj(basis.data() + k * len, w, len);
        overlaps[2 * k] = o.real();
        overlaps[2 * k + 1] = o.imag();
      }
      h.sum_across_in_rank_order(overlaps.data(), static_cast<int>(2 * (j + 1)));
      for (std::uint64_t k = 0; k <= j; ++k) {
        const cdouble o{overlaps[2 * k], overlaps[2 * k + 1]};
        const cdouble* v = basis.data() + k * len;
        for (std::uint64_t i = 0; i < len; ++i) w[i] -= o * v[i];
      }
      alpha += overlaps[2 * j];
    }
    ws.T[j * d + j] = alpha;
    const double beta_j = state_norm(h, w, len);
    if (j + 1 == d || beta_j < threshold) {
      m = j + 1;
      break;
    }
    ws.T[(j + 1) * d + j] = beta_j;
    ws.T[j * d + j + 1] = beta_j;
    for (std::uint64_t i = 0; i < len; ++i) basis[(j + 1) * len + i] = w[i] * (1.0 / beta_j);
  }
  const DenseMatrix e = expm(build_projected_matrix(ws.T, d, m, {0.0, -tau}), m);
  std::fill(out, out + len, cdouble{0.0, 0.0});
  for (std::uint64_t k = 0; k < m; ++k) {
    const cdouble coefficient = beta * e[k * m];
    const cdouble* v = basis.data() + k * len;
    for (std::uint64_t i = 0; i < len; ++i) out[i] += coefficient * v[i];
  }
}

}  // namespace

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

std::uint64_t lanczos_project(OperatorRef h, const cdouble* x, double beta, std::int32_t num_threads,
                              KrylovWorkspace& ws) {
  const std::uint64_t dim = h.local_dim();
  const std::uint64_t d = ws.d;
  scale_into_parallel(x, ws.v_cur.get(), dim, {1.0 / beta, 0.0}, num_threads);
  if (d == 0) return 0;
  const double threshold = breakdown_threshold(h, ws);
  double beta_prev = 0.0;
  for (std::uint64_t j = 0;; ++j) {
    cdouble* w = ws.w.get();
    h.apply_nonidentity(ws.v_cur.get(), w, num_threads);
    // Three-term recurrence, beta term first; only the real part of the Rayleigh
    // quotient is kept, as for a Hermitian H'.
    const double alpha = combined(h, j > 0 ? subtract_then_dot(w, ws.v_prev.get(), beta_prev, ws.v_cur.get(), dim)
                                           : dot_conj(ws.v_cur.get(), w, dim).real());
    ws.T[j * d + j] = alpha;
    const double beta_j = std::sqrt(combined(h, subtract_then_sum_abs2(w, ws.v_cur.get(), alpha, dim)));
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

void lanczos_reconstruct(OperatorRef h, const cdouble* x, double beta, std::uint64_t m, double tau, cdouble* out,
                         std::int32_t num_threads, KrylovWorkspace& ws) {
  const std::uint64_t dim = h.local_dim();
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

StateBuffer evolve_krylov(OperatorRef ham, const cdouble* psi, double theta, double rtol, std::int32_t num_threads,
                          SolveStats* stats) {
  require_positive_rtol(rtol);
  const std::uint64_t dim = ham.local_dim();
  const double c = ham.norm_bound() * std::abs(theta);
  const cdouble s = ham.identity_coeff();
  StateBuffer result;

  if (c == 0.0) {
    allocate_collectively(ham, [&] { result = allocate_state(dim); });
    const SplitPhase phase = split_exp(cmul({0.0, -theta}, s));
    scale_into_parallel(psi, result.get(), dim, phase.factor, num_threads);
    if (phase.exponent != 0) scale_by_power_of_two(result.get(), dim, clamp_exponent(phase.exponent), num_threads);
    return result;
  }

  // Chosen before any allocation, so that a refused request costs nothing.
  const KrylovParameters p = choose_krylov_parameters(ham.dim(), c, rtol);
  if (stats != nullptr) *stats = SolveStats{stats->applications, p.d, p.n};
  StateBuffer next;
  std::unique_ptr<KrylovWorkspace> ws;
  allocate_collectively(ham, [&] {
    result = allocate_state(dim);
    next = allocate_state(dim);
    ws = std::make_unique<KrylovWorkspace>(p.d, dim);
  });
  const double tau = theta / static_cast<double>(p.n);
  // A beta_j dropped at a breakdown changes each substep by at most |tau| * beta_j
  // (relative), n substeps by |theta| * beta_j. It is dropped when that stays within a
  // quarter of rtol (beside the half that the truncation bound takes), or when beta_j is
  // at the rounding level of H' (4 eps * norm_bound) so that dropping it costs no more
  // than the rounding floor eps * |theta| * norm_bound: a true invariant subspace.
  ws->breakdown_cap = std::max(0x1p-50 * ham.norm_bound(), 0.25 * rtol / std::abs(theta));
  const bool whole_space = p.d == ham.dim();
  // A phase per substep beyond the double range (a large complex identity part) is
  // applied as a factor and a power of two carried to the end.
  const SplitPhase phase = split_exp(cmul({0.0, -tau}, s));
  std::int64_t carried = 0;
  std::copy(psi, psi + dim, result.get());

  for (std::uint64_t step = 0; step < p.n; ++step) {
    cdouble* x = result.get();
    cdouble* y = next.get();
    double beta = state_norm(ham, x, dim);
    const int exponent = rescale_if_needed(ham, x, dim, beta, num_threads);
    if (beta == 0.0) {
      std::fill(y, y + dim, cdouble{0.0, 0.0});  // the zero vector stays zero exactly
    } else {
      std::fill(ws->T.begin(), ws->T.end(), 0.0);
      if (whole_space) {
        exact_space_substep(ham, x, beta, tau, y, num_threads, *ws);
      } else {
        const std::uint64_t m = lanczos_project(ham, x, beta, num_threads, *ws);
        lanczos_reconstruct(ham, x, beta, m, tau, y, num_threads, *ws);
      }
      if (exponent != 0) scale_by_power_of_two(y, dim, exponent, num_threads);
    }
    // The identity part commutes with H': one scalar phase per substep.
    scale_into_parallel(y, y, dim, phase.factor, num_threads);
    carried += phase.exponent;
    std::swap(result, next);
  }
  if (carried != 0) scale_by_power_of_two(result.get(), dim, clamp_exponent(carried), num_threads);
  return result;
}

}  // namespace morbizet
