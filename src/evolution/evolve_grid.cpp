#include "morbizet/evolve_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "allocation.hpp"
#include "kernels/basis_ops.hpp"
#include "kernels/parallel.hpp"
#include "kernels/vector_ops.hpp"
#include "morbizet/state_vector.hpp"
#include "state_sums.hpp"
#include "tolerance.hpp"
#include "tridiagonal_eigen.hpp"

namespace morbizet {

namespace {

// The largest window: its eigenproblem (3 m^3 operations) stays far below the
// applications it serves, and longer windows save little once the fixed cost of a
// window is spread over dozens of steps.
constexpr std::uint64_t kMaxBasis = 96;
// Window sizes are compared from 8 steps on, every 4 steps.
constexpr std::uint64_t kFirstCheck = 8;
constexpr std::uint64_t kCheckEvery = 4;
// Output buffers formed at once; beyond this a batch gains nothing more from the cache.
constexpr std::uint64_t kMaxBatch = 64;
// Margin on the trapezoidal integral of the residual bound, sampled 25 times per period
// of its fastest oscillation (an error of a fraction of a percent).
constexpr double kSafety = 1.25;
// The first window stops growing once its cost per unit of time exceeds the best seen
// by this factor: past the minimum the cost only rises.
constexpr double kGiveUp = 1.1;
// beta_m below this (relative to |H'|) leaves rounding noise for the next vector: the
// basis spans a space invariant under H' and its states are exact for every time.
constexpr double kBreakdown = 0x1p-50;

struct Window {
  std::uint64_t m = 0;
  double reach = 0.0;
  TridiagonalEigen eigen;  // of T_m, all rows of Q
};

class Walk {
 public:
  Walk(OperatorRef h, const std::vector<GridObservable>& observables, const GridOptions& options,
       GridVisitor& visitor, std::int32_t threads, GridStats* stats)
      : h_(h),
        n_(h.local_dim()),
        leaf_(sum_block_size(h.dim())),
        observables_(observables),
        options_(options),
        visitor_(visitor),
        threads_(threads),
        stats_(stats),
        values_(observables.size()) {
    // Three quarters of the room for the basis and its next vector, the rest for a batch
    // of outputs and the observables' scratch vector (the block's last slot).
    m_cap_ = std::min(kMaxBasis, (options.max_vectors - 2) * 3 / 4);
    batch_cap_ = std::clamp<std::uint64_t>(options.max_vectors - (m_cap_ + 1) - 1, 1, kMaxBatch);
    basis_.block = allocate_block((m_cap_ + 1) * n_);
    outputs_.block = allocate_block((batch_cap_ + 1) * n_);
  }

  void run(const cdouble* psi, const double* times, std::size_t count, double rtol);

 private:
  double norm(const cdouble* x) const {
    return std::sqrt(pairwise_total(h_, block_sums_abs2(x, n_, leaf_, threads_)));
  }
  // Vector j of a pool, its slot handed out of the pool's block on first use. The slots
  // of the basis are swapped only after the first window has fixed its size and had its
  // extra slots cut, so the slots always hold the block's first vectors in some order.
  struct Pool {
    StateBlock block;
    std::vector<cdouble*> slots;
  };
  cdouble* vector(Pool& pool, std::uint64_t j) {
    while (pool.slots.size() <= j) pool.slots.push_back(pool.block.get() + pool.slots.size() * n_);
    return pool.slots[j];
  }
  // Outputs formed at once: what the room left by the basis of m holds, at most the block.
  std::uint64_t batch_size(std::uint64_t m) const {
    const std::uint64_t held = std::max<std::uint64_t>(basis_.slots.size(), m + 1) + 1;
    return std::clamp<std::uint64_t>(options_.max_vectors > held ? options_.max_vectors - held : 1, 1, batch_cap_);
  }
  cdouble* scratch() { return outputs_.block.get() + batch_cap_ * n_; }

  bool lanczos_step(std::uint64_t j);
  double reach(const TridiagonalEigen& e, std::uint64_t m, double beta, double horizon) const;
  double output_cost(std::uint64_t m, std::uint64_t p, bool& project) const;
  double cost(std::uint64_t m, std::uint64_t p, bool& project) const;
  std::uint64_t within(double r) const;
  Window build(double horizon);
  std::vector<cdouble> coefficients(const Window& w, const double* times, std::size_t count) const;
  void emit_formed(const Window& w, std::size_t end);
  void emit_projected(const Window& w, std::size_t end);
  void observe(const cdouble* state);
  void emit(std::size_t k, const cdouble* state);

  OperatorRef h_;
  std::uint64_t n_, leaf_;
  const std::vector<GridObservable>& observables_;
  const GridOptions& options_;
  GridVisitor& visitor_;
  std::int32_t threads_;
  GridStats* stats_;
  std::uint64_t m_cap_ = 0;
  std::uint64_t batch_cap_ = 0;
  std::uint64_t chosen_ = 0;  // the window size, once the first window has found it

  Pool basis_;    // the anchor, then the Lanczos vectors
  Pool outputs_;  // formed states, or an observable times basis vectors; the last slot is O' times a formed state
  std::vector<double> alpha_, beta_;
  std::vector<double> inv_;  // v_k = basis_[k] * inv_[k]
  std::vector<cdouble> values_;

  const double* times_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;   // the first time not yet handed over
  double now_ = 0.0;       // the anchor's time
  double scale_ = 0.0;     // |anchor|
  double share_ = 0.0;     // error allowed per unit of time walked
  double last_reach_ = 0.0;
};

void finish_unit(void* step, const cdouble* values, std::uint64_t begin, std::uint64_t len) {
  lanczos_step_range(*static_cast<const LanczosStep*>(step), values, begin, len);
}

// One Lanczos step on the basis kept unnormalised, v_k = u_k * inv_k (a pass saved per
// step): u_{j+1} = H' v_j - beta_{j-1} v_{j-1} - alpha_j v_j with alpha_j = <v_j, H' v_j>,
// beta_j = |u_{j+1}|. The first two terms are formed as H' u_j is handed over, while in
// cache. False at a breakdown (beta_j = 0 then).
bool Walk::lanczos_step(std::uint64_t j) {
  cdouble* next = vector(basis_, j + 1);
  const cdouble* cur = basis_.slots[j];
  std::vector<double> dots(leaf_count(n_, leaf_));
  const LanczosStep step{cur, j > 0 ? basis_.slots[j - 1] : cur, next, inv_[j], j > 0 ? beta_[j - 1] * inv_[j - 1] : 0.0,
                         leaf_, dots.data()};
  if (h_.hands_over()) {
    h_.apply_nonidentity_then(cur, BlockEpilogue{&finish_unit, const_cast<LanczosStep*>(&step), leaf_}, threads_);
  } else {
    h_.apply_nonidentity(cur, next, threads_);
    parallel_for(static_cast<std::int64_t>(dots.size()), threads_, [&](std::int64_t b) {
      const std::uint64_t begin = static_cast<std::uint64_t>(b) * leaf_;
      lanczos_step_range(step, next + begin, begin, std::min(leaf_, n_ - begin));
    });
  }
  const double a = inv_[j] * pairwise_total(h_, std::move(dots));
  // The second pass, leaf by leaf: a thread is worth waking for 2^14 amplitudes here,
  // where the step's other work is already done.
  std::vector<double> squares(leaf_count(n_, leaf_));
  parallel_for(
      static_cast<std::int64_t>(squares.size()), threads_,
      [&](std::int64_t b) {
        const std::uint64_t begin = static_cast<std::uint64_t>(b) * leaf_;
        squares[static_cast<std::size_t>(b)] =
            subtract_then_sum_abs2(next + begin, cur + begin, a * inv_[j], std::min(leaf_, n_ - begin));
      },
      static_cast<std::int64_t>(std::max<std::uint64_t>(1, kRange / leaf_)));
  const double b = std::sqrt(pairwise_total(h_, std::move(squares)));
  alpha_.push_back(a);
  if (!(b > kBreakdown * h_.norm_bound())) {
    beta_.push_back(0.0);
    return false;
  }
  beta_.push_back(b);
  inv_.push_back(1.0 / b);
  return true;
}

// The longest s <= horizon with kSafety * beta * integral_0^s f <= share * s at every
// sample, f(sigma) = |sum_j Q_1j Q_mj e^(-i sigma lambda_j)| (the same for -sigma, since
// T is real). f <= 1 (Cauchy-Schwarz on two rows of an orthogonal Q).
double Walk::reach(const TridiagonalEigen& e, std::uint64_t m, double beta, double horizon) const {
  if (kSafety * beta <= share_) return horizon;
  const std::uint64_t last = e.vectors.size() / m - 1;  // ends_only keeps two rows, a full Q m rows
  const auto [lo, hi] = std::minmax_element(e.values.begin(), e.values.end());
  const double spread = *hi - *lo;
  const auto f = [&](double sigma) {
    double re = 0.0, im = 0.0;
    for (std::uint64_t j = 0; j < m; ++j) {
      const double a = e.vectors[j] * e.vectors[last * m + j];
      re += a * std::cos(sigma * e.values[j]);
      im -= a * std::sin(sigma * e.values[j]);
    }
    return std::hypot(re, im);
  };
  double h = spread > 0.0 ? 0.25 / spread : horizon / 64.0;
  // A window whose reach is below one sample is sampled again, finer.
  for (int refine = 0; refine < 12; ++refine, h /= 8.0) {
    double sigma = 0.0, integral = 0.0, f_prev = f(0.0);
    for (;;) {
      const double next = std::min(horizon, sigma + h);
      const double f_next = f(next);
      integral += 0.5 * (f_prev + f_next) * (next - sigma);
      if (kSafety * beta * integral > share_ * next) break;
      sigma = next;
      f_prev = f_next;
      if (sigma >= horizon) return horizon;
    }
    if (sigma > 0.0) return sigma;
  }
  return 0.0;
}

// The times from next_ on, in order, that a window of reach r around the anchor serves.
std::uint64_t Walk::within(double r) const {
  std::uint64_t p = 0;
  while (next_ + p < count_ && std::abs(times_[next_ + p] - now_) <= r) ++p;
  return p;
}

// The work of a window of m vectors serving p times, in multiply-adds per amplitude, past
// its applications of H': forming the next anchor, and the outputs either formed one by
// one or (project) read from the observables projected into the basis.
double Walk::output_cost(std::uint64_t m, std::uint64_t p, bool& project) const {
  const auto md = static_cast<double>(m), pd = static_cast<double>(p);
  double per_state = md, projected = 0.0;
  for (const GridObservable& o : observables_) {
    per_state += o.cost + 2.0;
    // An inner product of the projection costs half a multiply-add of a combination
    // (no output is written, and two vectors are read for four products).
    projected += md * (o.cost + 1.0) + 0.5 * md * md * (o.hermitian ? 0.5 : 1.0);
  }
  const double formed = pd * per_state;
  project = !options_.states && !observables_.empty() && projected < formed;
  return md + (project ? projected : formed);
}

// The whole window: m applications of H' with their Lanczos passes, and the rest.
double Walk::cost(std::uint64_t m, std::uint64_t p, bool& project) const {
  return static_cast<double>(m) * (options_.application_cost + 4.0) + output_cost(m, p, project);
}

Window Walk::build(double horizon) {
  alpha_.clear();
  beta_.clear();
  inv_.resize(1);
  const bool exploring = chosen_ == 0;
  std::uint64_t limit = exploring ? m_cap_ : chosen_;
  // A window that may reach the end of the walk is checked as it grows, so that it
  // stops as soon as it does.
  const bool may_finish = exploring || horizon <= last_reach_;
  double best_rate = std::numeric_limits<double>::infinity(), best_reach = 0.0;
  std::uint64_t best_m = 0, m = 0;
  double r = 0.0;
  for (;;) {
    const bool more = lanczos_step(m);
    ++m;
    const bool check = !more || m == limit || (may_finish && m >= kFirstCheck && m % kCheckEvery == 0);
    if (!check) continue;
    r = reach(tridiagonal_eigen(alpha_.data(), beta_.data(), m, true), m, beta_[m - 1], horizon);
    if (r >= horizon || !more) break;
    if (exploring) {
      bool project = false;
      const double rate = r > 0.0 ? cost(m, within(r), project) / r : std::numeric_limits<double>::infinity();
      if (rate < best_rate) {
        best_rate = rate;
        best_m = m;
        best_reach = r;
      } else if (rate > kGiveUp * best_rate) {
        break;
      }
    }
    if (m == limit) {
      // A window too short to serve any time grows on, up to the largest.
      if (r > 0.0 || m >= m_cap_) break;
      limit = m_cap_;
    }
  }
  if (exploring && r < horizon && best_m > 0 && best_m < m) {
    // The first window went past the best size to find it. Its applications are spent
    // either way: it keeps them unless serving fewer times from the best size, and
    // covering the rest at the best rate, comes cheaper.
    bool project = false;
    const double keep = output_cost(m, within(r), project);
    const double trim = output_cost(best_m, within(best_reach), project) + best_rate * (r - best_reach);
    if (trim < keep) {
      m = best_m;
      r = best_reach;
    }
  }
  if (exploring) {
    chosen_ = m;
    // Vectors past the window size are not needed again; their memory goes to outputs.
    basis_.slots.resize(std::min<std::size_t>(basis_.slots.size(), chosen_ + 1));
    if (stats_ != nullptr) stats_->basis_size = chosen_;
  }
  if (!(r > 0.0)) {
    throw std::invalid_argument("rtol is too small for this grid: a window of " + std::to_string(m) +
                                " Lanczos vectors cannot keep its share of the error (rtol times the time it "
                                "spans over the path length), which is below rounding");
  }
  last_reach_ = r;
  if (stats_ != nullptr) ++stats_->windows;
  return {m, r, tridiagonal_eigen(alpha_.data(), beta_.data(), m)};
}

// y(s) = |anchor| e^(-i s c0) Q e^(-i s Lambda) Q^T e_1 for each s = times[t] - anchor: the
// combination of the normalised basis that approximates the state at that time, returned
// for the stored vectors (each y_k times inv_k), one row of m per time. The products run
// over all times at once, innermost, so that they vectorise.
std::vector<cdouble> Walk::coefficients(const Window& w, const double* times, std::size_t count) const {
  const std::uint64_t m = w.m;
  const cdouble c0 = h_.identity_coeff();
  // z_j(t) = e^(-i s lambda_j) Q_0j times the phase, real and imaginary parts apart.
  std::vector<double> zr(m * count), zi(m * count);
  for (std::size_t t = 0; t < count; ++t) {
    const double s = times[t] - now_;
    const cdouble phase = std::exp(cdouble{0.0, -s} * c0) * scale_;
    for (std::uint64_t j = 0; j < m; ++j) {
      const cdouble z = cdouble{std::cos(s * w.eigen.values[j]), -std::sin(s * w.eigen.values[j])} * phase;
      zr[j * count + t] = z.real() * w.eigen.vectors[j];
      zi[j * count + t] = z.imag() * w.eigen.vectors[j];
    }
  }
  std::vector<double> ar(count), ai(count);
  std::vector<cdouble> y(count * m);
  for (std::uint64_t i = 0; i < m; ++i) {
    std::fill(ar.begin(), ar.end(), 0.0);
    std::fill(ai.begin(), ai.end(), 0.0);
    for (std::uint64_t j = 0; j < m; ++j) {
      const double q = w.eigen.vectors[i * m + j];
      const double* r = zr.data() + j * count;
      const double* im = zi.data() + j * count;
      for (std::size_t t = 0; t < count; ++t) {
        ar[t] += q * r[t];
        ai[t] += q * im[t];
      }
    }
    for (std::size_t t = 0; t < count; ++t) y[t * m + i] = {ar[t] * inv_[i], ai[t] * inv_[i]};
  }
  // At the anchor itself the combination is exactly the anchor.
  for (std::size_t t = 0; t < count; ++t) {
    if (times[t] == now_) {
      std::fill(y.begin() + static_cast<std::ptrdiff_t>(t * m), y.begin() + static_cast<std::ptrdiff_t>((t + 1) * m),
                cdouble{0.0, 0.0});
      y[t * m] = {scale_ * inv_[0], 0.0};
    }
  }
  return y;
}

void finish_expectation(void* sums, const cdouble* values, std::uint64_t begin, std::uint64_t len) {
  expectation_range(*static_cast<const ExpectationSums*>(sums), values, begin, len);
}

// values_ = <state|O|state> for every observable: O' state handed over a unit at a time
// (or formed whole in the scratch vector) and summed against the state over fixed leaves.
void Walk::observe(const cdouble* state) {
  const std::uint64_t leaves = leaf_count(n_, leaf_);
  std::vector<double> re(leaves), im(leaves), norm2(leaves);
  const ExpectationSums sums{state, leaf_, re.data(), im.data(), norm2.data()};
  for (std::size_t o = 0; o < observables_.size(); ++o) {
    const OperatorRef& op = observables_[o].op;
    if (op.hands_over()) {
      op.apply_nonidentity_then(state, BlockEpilogue{&finish_expectation, const_cast<ExpectationSums*>(&sums), leaf_},
                                threads_);
    } else {
      cdouble* work = scratch();
      op.apply_nonidentity(state, work, threads_);
      parallel_for(static_cast<std::int64_t>(leaves), threads_, [&](std::int64_t b) {
        const std::uint64_t begin = static_cast<std::uint64_t>(b) * leaf_;
        expectation_range(sums, work + begin, begin, std::min(leaf_, n_ - begin));
      });
    }
    const double r = pairwise_total(h_, re), i = pairwise_total(h_, im), s2 = pairwise_total(h_, norm2);
    const cdouble c = op.identity_coeff();
    values_[o] = {r + c.real() * s2, i + c.imag() * s2};
  }
}

void Walk::emit(std::size_t k, const cdouble* state) {
  if (!observables_.empty()) observe(state);
  visitor_.visit(k, options_.states ? state : nullptr, observables_.empty() ? nullptr : values_.data());
}

// The times [next_, end) from states formed a batch at a time.
void Walk::emit_formed(const Window& w, std::size_t end) {
  const std::uint64_t batch = batch_size(w.m);
  std::vector<const cdouble*> basis(w.m);
  for (std::uint64_t k = 0; k < w.m; ++k) basis[k] = basis_.slots[k];
  while (next_ < end) {
    const std::uint64_t c = std::min<std::uint64_t>(batch, end - next_);
    const std::vector<cdouble> y = coefficients(w, times_ + next_, c);
    std::vector<cdouble*> out(c);
    for (std::uint64_t j = 0; j < c; ++j) out[j] = vector(outputs_, j);
    combine_basis(basis.data(), w.m, y.data(), c, out.data(), n_, threads_);
    for (std::uint64_t j = 0; j < c; ++j) emit(next_ + j, out[j]);
    next_ += c;
  }
}

// The times [next_, end) from each observable projected into the basis once:
// G = V^H O V, then <psi(s)|O|psi(s)> = y(s)^H G y(s).
void Walk::emit_projected(const Window& w, std::size_t end) {
  const std::uint64_t m = w.m, batch = batch_size(m);
  std::vector<const cdouble*> basis(m);
  for (std::uint64_t k = 0; k < m; ++k) basis[k] = basis_.slots[k];
  std::vector<std::vector<cdouble>> gram(observables_.size(), std::vector<cdouble>(m * m));
  for (std::size_t o = 0; o < observables_.size(); ++o) {
    const GridObservable& obs = observables_[o];
    const cdouble c = obs.op.identity_coeff();
    for (std::uint64_t first = 0; first < m; first += batch) {
      const std::uint64_t b = std::min(batch, m - first);
      std::vector<const cdouble*> right(b);
      for (std::uint64_t l = 0; l < b; ++l) {
        cdouble* x = vector(outputs_, l);
        obs.op.apply_nonidentity(basis[first + l], x, threads_);
        if (c != cdouble{0.0, 0.0}) add_scaled(basis[first + l], x, n_, c, threads_);
        right[l] = x;
      }
      std::vector<double> partial =
          basis_inner_products(basis.data(), m, right.data(), b, n_, leaf_, obs.hermitian, first, threads_);
      const std::uint64_t leaves = leaf_count(n_, leaf_);
      std::vector<double> sums(2 * m * b);
      for (std::uint64_t e = 0; e < 2 * m * b; ++e) sums[e] = pairwise_sum(partial.data() + e * leaves, leaves);
      h_.sum_across_pairwise(sums.data(), static_cast<int>(sums.size()));
      for (std::uint64_t k = 0; k < m; ++k) {
        for (std::uint64_t l = 0; l < b; ++l) {
          const cdouble g{sums[2 * (k * b + l)], sums[2 * (k * b + l) + 1]};
          if (!obs.hermitian) {
            gram[o][k * m + first + l] = g;
          } else if (k <= first + l) {
            gram[o][k * m + first + l] = g;
            gram[o][(first + l) * m + k] = std::conj(g);
          }
        }
      }
    }
  }
  // values(t) = y(t)^H G y(t) for all times at once: R = G Y, then the column sums of
  // conj(Y) * R, with the times innermost.
  const std::size_t count = end - next_;
  const std::vector<cdouble> y = coefficients(w, times_ + next_, count);
  std::vector<double> yr(m * count), yi(m * count), rr(count), ri(count), vr(count), vi(count);
  for (std::size_t t = 0; t < count; ++t) {
    for (std::uint64_t k = 0; k < m; ++k) {
      yr[k * count + t] = y[t * m + k].real();
      yi[k * count + t] = y[t * m + k].imag();
    }
  }
  std::vector<std::vector<cdouble>> values(count, std::vector<cdouble>(observables_.size()));
  for (std::size_t o = 0; o < observables_.size(); ++o) {
    std::fill(vr.begin(), vr.end(), 0.0);
    std::fill(vi.begin(), vi.end(), 0.0);
    for (std::uint64_t k = 0; k < m; ++k) {
      std::fill(rr.begin(), rr.end(), 0.0);
      std::fill(ri.begin(), ri.end(), 0.0);
      for (std::uint64_t l = 0; l < m; ++l) {
        const double gr = gram[o][k * m + l].real(), gi = gram[o][k * m + l].imag();
        const double* ar = yr.data() + l * count;
        const double* ai = yi.data() + l * count;
        for (std::size_t t = 0; t < count; ++t) {
          rr[t] += gr * ar[t] - gi * ai[t];
          ri[t] += gr * ai[t] + gi * ar[t];
        }
      }
      const double* br = yr.data() + k * count;
      const double* bi = yi.data() + k * count;
      for (std::size_t t = 0; t < count; ++t) {
        vr[t] += br[t] * rr[t] + bi[t] * ri[t];
        vi[t] += br[t] * ri[t] - bi[t] * rr[t];
      }
    }
    for (std::size_t t = 0; t < count; ++t) values[t][o] = {vr[t], vi[t]};
  }
  for (std::size_t t = 0; t < count; ++t, ++next_) visitor_.visit(next_, nullptr, values[t].data());
  if (stats_ != nullptr) ++stats_->projected;
}

void Walk::run(const cdouble* psi, const double* times, std::size_t count, double rtol) {
  times_ = times;
  count_ = count;
  double path = 0.0, previous = 0.0;
  for (std::size_t k = 0; k < count; ++k) {
    path += std::abs(times[k] - previous);
    previous = times[k];
  }
  // Times 0 before the walk first moves are psi itself.
  for (; next_ < count && times[next_] == 0.0; ++next_) emit(next_, psi);
  if (next_ == count) return;
  std::vector<double> most(count + 1, -std::numeric_limits<double>::infinity());
  std::vector<double> least(count + 1, std::numeric_limits<double>::infinity());
  for (std::size_t k = count; k-- > 0;) {
    most[k] = std::max(most[k + 1], times[k]);
    least[k] = std::min(least[k + 1], times[k]);
  }
  // Below about 4 eps |H'| per unit of time the bound only measures rounding, which the
  // walk cannot go below anyway: the states are then within that floor times the path.
  share_ = std::max(rtol / path, 4.0 * std::numeric_limits<double>::epsilon() * h_.norm_bound());
  scale_ = norm(psi);
  cdouble* anchor = vector(basis_, 0);
  if (!(scale_ > 0.0) || !std::isfinite(scale_)) {
    // psi = 0 stays 0; a state with infinite or NaN amplitudes has no meaningful evolution.
    const double fill = scale_ == 0.0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    std::fill(anchor, anchor + n_, cdouble{fill, fill});
    for (; next_ < count; ++next_) emit(next_, anchor);
    return;
  }
  copy_all(psi, anchor, n_, threads_);
  inv_.assign(1, 1.0 / scale_);
  while (next_ < count) {
    const double horizon = std::max(most[next_] - now_, now_ - least[next_]);
    Window w = build(horizon);
    const std::size_t end = next_ + within(w.reach);
    bool project = false;
    output_cost(w.m, end - next_, project);
    if (project) {
      emit_projected(w, end);
    } else {
      emit_formed(w, end);
    }
    if (next_ == count) break;
    // The next anchor: as far toward the next time as the window reaches.
    const double s = times[next_] > now_ ? w.reach : -w.reach;
    const double target = now_ + s;
    const std::vector<cdouble> y = coefficients(w, &target, 1);
    std::vector<const cdouble*> basis(w.m);
    for (std::uint64_t k = 0; k < w.m; ++k) basis[k] = basis_.slots[k];
    cdouble* moved = vector(basis_, w.m);
    combine_basis(basis.data(), w.m, y.data(), 1, &moved, n_, threads_);
    std::swap(basis_.slots[0], basis_.slots[w.m]);
    scale_ = norm(basis_.slots[0]);
    inv_.assign(1, 1.0 / scale_);
    now_ += s;
  }
}

}  // namespace

void evolve_grid(OperatorRef h, const cdouble* psi, const double* times, std::size_t count, double rtol,
                 const std::vector<GridObservable>& observables, const GridOptions& options, GridVisitor& visitor,
                 std::int32_t num_threads, GridStats* stats) {
  require_positive_rtol(rtol);
  if (options.max_vectors < kMinGridVectors) {
    throw std::invalid_argument("a grid walk needs room for at least " + std::to_string(kMinGridVectors) +
                                " state vectors, got " + std::to_string(options.max_vectors));
  }
  Walk(h, observables, options, visitor, num_threads, stats).run(psi, times, count, rtol);
}

}  // namespace morbizet
