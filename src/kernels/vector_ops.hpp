#pragma once
// The element-wise passes of the solvers over state vectors (or over this process's
// slice of one), each run on the caller's threads in fixed ranges.
//
// Every loop here is element-wise, so its values do not depend on the thread count.
// Maxima start from 0 and are replaced only by strictly greater values, so NaN entries
// never win and a maximum is the same in whatever order it is taken. Sums are either
// sequential in index order (on the calling thread) or pairwise over fixed blocks
// (pairwise_sum), never split by thread.

#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"
#include "morbizet/vector_kernels.hpp"

namespace morbizet {

inline double abs2(cdouble v) { return v.real() * v.real() + v.imag() * v.imag(); }

// The plain sum of |x[i]|^2 in index order: norm2 before its square root.
double sum_abs2(const cdouble* x, std::uint64_t len);

// dst = src.
void copy_all(const cdouble* src, cdouble* dst, std::uint64_t n, std::int32_t threads);

// dst = src, returning max |src|^2.
double copy_max_abs2(const cdouble* src, cdouble* dst, std::uint64_t n, std::int32_t threads);

// dst = phase * src (dst may be src).
void scale_all(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble phase, std::int32_t threads);

// dst = phase * src as scale_all, returning the largest |re| or |im| of the new dst.
double scale_all_max_component(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble phase,
                               std::int32_t threads);

// dst = src * a (complex a), as scale_into on the caller's threads.
void scale_into_parallel(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble a, std::int32_t threads);

// dst = src * r with a real r scaling both parts.
void scale_real(const cdouble* src, cdouble* dst, std::uint64_t n, double r, std::int32_t threads);

// One Taylor term: term = f*work, result += term, and the maxima of |term|^2 and of the
// updated |result|^2, in one pass.
void add_taylor_term(cdouble f, const cdouble* work, cdouble* term, cdouble* result, std::uint64_t n,
                     std::int32_t threads, double& max_term, double& max_result);

// Largest |re| or |im| over the vector; NaN entries are passed over.
double max_component(const cdouble* x, std::uint64_t n, std::int32_t threads);

// x *= 2^e, exactly while nothing over- or underflows.
void scale_by_power_of_two(cdouble* x, std::uint64_t n, int e, std::int32_t threads);

// The exponent e with 2^-e * x in [1, 2) for a largest component x, or 0 when x is zero
// or not finite, or when it already lies in [2^-limit, 2^limit].
int rescaling_exponent(double largest_component, int limit);

// w -= beta * u, with a real beta scaling both parts, then returns the real part of
// dot_conj(v, w): sequential, in index order.
double subtract_then_dot(cdouble* w, const cdouble* u, double beta, const cdouble* v, std::uint64_t n);

// w -= alpha * v, then returns the plain sum of |w[i]|^2: sequential, in index order.
double subtract_then_sum_abs2(cdouble* w, const cdouble* v, double alpha, std::uint64_t n);

// One step of the second Lanczos pass, element by element: x = w - alpha * v_cur -
// beta * v_prev (the beta term when beta_used); next = x * r; out += coefficient * next.
void reconstruct_step(const cdouble* w, const cdouble* v_cur, double alpha, const cdouble* v_prev, bool beta_used,
                      double beta, double r, cdouble* next, cdouble coefficient, cdouble* out, std::uint64_t n,
                      std::int32_t threads);

// dst += a * src (complex a).
void add_scaled(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble a, std::int32_t threads);

// Per block: the sum of Re(conj(p[i]) q[i]), or of Im(conj(p[i]) q[i]) when imaginary.
std::vector<double> block_dots(const cdouble* p, const cdouble* q, std::uint64_t n, std::uint64_t block,
                               bool imaginary, std::int32_t threads);

// --- Passes of the Chebyshev solver. Their sums come back as one value per block of
// `block` elements (block_sums), for a pairwise sum that does not depend on how the
// state is cut among threads or processes.

// v[i] = a complex Gaussian pseudo-random number drawn from the global index offset + i
// alone, so that every process draws its slice of the same vector.
void fill_probe(cdouble* v, std::uint64_t n, std::uint64_t offset, std::int32_t threads);

// Per block: the sum of |x[i]|^2.
std::vector<double> block_sums_abs2(const cdouble* x, std::uint64_t n, std::uint64_t block, std::int32_t threads);

// w -= beta * u (real beta), then per block the sum of Re(conj(v[i]) w[i]) over the
// block's doubles in eight partial sums (double d into sum d mod 8), added pairwise: the
// Lanczos steps of the spectral estimate, in vector lanes, the same for every width.
std::vector<double> subtract_then_block_dots(cdouble* w, const cdouble* u, double beta, const cdouble* v,
                                             std::uint64_t n, std::uint64_t block, std::int32_t threads);

// w -= alpha * v (real alpha), then per block the sum of |w[i]|^2 (in eight partial sums,
// as above).
std::vector<double> subtract_then_block_abs2(cdouble* w, const cdouble* v, double alpha, std::uint64_t n,
                                             std::uint64_t block, std::int32_t threads);

// One term of a Chebyshev series, given w = H' * cur. The first term (first = true, cur
// = psi, no prev): next = p * w - q * psi, result = a_before * psi + a * next. Every
// later one: next = p * w - q * cur - prev (next may be prev, overwriting the oldest
// vector), result += a * next. With leaf_sums set, the sum of |next|^2 over each leaf of
// `leaf` amplitudes goes to leaf_sums[first index / leaf]: eight partial sums over the
// leaf's doubles (double d into sum d mod 8, in index order), then added pairwise, the
// same for every vector width. next and result are the scalar formulas' bits.
struct ChebyshevStep {
  const cdouble* cur;
  const cdouble* prev;
  cdouble* next;
  cdouble* result;
  double p, q;
  cdouble a, a_before;
  bool first;
  double* leaf_sums;
  std::uint64_t leaf;
};

// The step on amplitudes [begin, begin + len) (whole leaves, or the end of the state),
// w holding their H' * cur.
void chebyshev_step_range(const ChebyshevStep& step, const cdouble* w, std::uint64_t begin, std::uint64_t len);

// The first half of a Lanczos step on vectors kept unnormalised (v_j = cur * scale),
// given w = H' * cur: next = scale * w - prev_coeff * prev, and per leaf of `leaf`
// amplitudes the sum of Re(conj(cur[i]) next[i]) in index order into
// leaf_dots[first index / leaf].
struct LanczosStep {
  const cdouble* cur;
  const cdouble* prev;
  cdouble* next;
  double scale, prev_coeff;
  std::uint64_t leaf;
  double* leaf_dots;
};

// The step on len amplitudes from begin (whole leaves, or the end of the state), w[k]
// the amplitude begin + k.
void lanczos_step_range(const LanczosStep& step, const cdouble* w, std::uint64_t begin, std::uint64_t len);

// Per leaf of `leaf` amplitudes, given w = O' * state handed over a unit at a time: the
// sums of Re and Im of conj(state[i]) w[i] and of |state[i]|^2, in index order, into
// re, im and norm2 at [first index / leaf].
struct ExpectationSums {
  const cdouble* state;
  std::uint64_t leaf;
  double* re;
  double* im;
  double* norm2;
};
void expectation_range(const ExpectationSums& sums, const cdouble* w, std::uint64_t begin, std::uint64_t len);

// The step on all n amplitudes, w = H' * cur in full, leaf by leaf on the caller's threads.
void chebyshev_step(const ChebyshevStep& step, const cdouble* w, std::uint64_t n, std::int32_t threads);

}  // namespace morbizet
