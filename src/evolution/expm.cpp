#include <cmath>
#include <limits>
#include <utility>

#include "morbizet/dense_matrix.hpp"

namespace morbizet {

namespace {

// Coefficients of the [13/13] Pade approximant, b_j = (26-j)! / (j! (13-j)!), scaled so
// that b13 = 1, as in Higham (2005). All are exact doubles.
constexpr double kB[14] = {64764752532480000.0, 32382376266240000.0, 7771770303897600.0,
                           1187353796428800.0,  129060195264000.0,   10559470521600.0,
                           670442572800.0,      33522128640.0,       1323241920.0,
                           40840800.0,          960960.0,            16380.0,
                           182.0,               1.0};

bool is_zero(cdouble z) { return z.real() == 0.0 && z.imag() == 0.0; }

// Largest column sum of moduli; a NaN column sum never becomes the norm.
double one_norm(const DenseMatrix& a, std::uint64_t d) {
  double norm = 0.0;
  for (std::uint64_t j = 0; j < d; ++j) {
    double sum = 0.0;
    for (std::uint64_t i = 0; i < d; ++i) sum += std::hypot(a[i * d + j].real(), a[i * d + j].imag());
    if (sum > norm) norm = sum;
  }
  return norm;
}

// ((first + c1*m1) + c2*m2) + c3*m3 entry by entry, each real coefficient scaling both
// parts; first is updated in place.
void add_combination(DenseMatrix& first, double c1, const DenseMatrix& m1, double c2, const DenseMatrix& m2,
                     double c3, const DenseMatrix& m3) {
  for (std::size_t e = 0; e < first.size(); ++e) {
    first[e] = {((first[e].real() + c1 * m1[e].real()) + c2 * m2[e].real()) + c3 * m3[e].real(),
                ((first[e].imag() + c1 * m1[e].imag()) + c2 * m2[e].imag()) + c3 * m3[e].imag()};
  }
}

// (c1*m1 + c2*m2) + c3*m3 written into out.
void set_combination(DenseMatrix& out, double c1, const DenseMatrix& m1, double c2, const DenseMatrix& m2,
                     double c3, const DenseMatrix& m3) {
  out.resize(m1.size());
  for (std::size_t e = 0; e < out.size(); ++e) {
    out[e] = {(c1 * m1[e].real() + c2 * m2[e].real()) + c3 * m3[e].real(),
              (c1 * m1[e].imag() + c2 * m2[e].imag()) + c3 * m3[e].imag()};
  }
}

void add_to_diagonal(DenseMatrix& m, std::uint64_t d, double value) {
  for (std::uint64_t i = 0; i < d; ++i) m[i * d + i] = {m[i * d + i].real() + value, m[i * d + i].imag()};
}

}  // namespace

DenseMatrix matmul(const DenseMatrix& a, const DenseMatrix& b, std::uint64_t d) {
  DenseMatrix y(d * d);
  for (std::uint64_t i = 0; i < d; ++i) {
    cdouble* yrow = y.data() + i * d;
    for (std::uint64_t j = 0; j < d; ++j) {
      const cdouble aij = a[i * d + j];
      if (is_zero(aij)) continue;  // keeps banded factors cheap
      const cdouble* brow = b.data() + j * d;
      for (std::uint64_t k = 0; k < d; ++k) {
        const cdouble t = cmul(aij, brow[k]);
        yrow[k] = {t.real() + yrow[k].real(), t.imag() + yrow[k].imag()};
      }
    }
  }
  return y;
}

DenseMatrix gauss_jordan_solve(DenseMatrix p, DenseMatrix q, std::uint64_t d) {
  for (std::uint64_t i = 0; i < d; ++i) {
    std::uint64_t pivot = i;
    double best = std::hypot(p[i * d + i].real(), p[i * d + i].imag());
    for (std::uint64_t r = i + 1; r < d; ++r) {
      const double mod = std::hypot(p[r * d + i].real(), p[r * d + i].imag());
      if (mod > best) {
        pivot = r;
        best = mod;
      }
    }
    if (pivot != i) {
      for (std::uint64_t l = 0; l < d; ++l) {
        std::swap(p[i * d + l], p[pivot * d + l]);
        std::swap(q[i * d + l], q[pivot * d + l]);
      }
    }
    const cdouble pi = p[i * d + i];
    for (std::uint64_t l = 0; l < d; ++l) {
      p[i * d + l] /= pi;
      q[i * d + l] /= pi;
    }
    for (std::uint64_t k = 0; k < d; ++k) {
      if (k == i) continue;
      const cdouble f = p[k * d + i];
      if (is_zero(f)) continue;
      for (std::uint64_t l = 0; l < d; ++l) {
        const cdouble fp = cmul(f, p[i * d + l]);
        const cdouble fq = cmul(f, q[i * d + l]);
        p[k * d + l] = {p[k * d + l].real() - fp.real(), p[k * d + l].imag() - fp.imag()};
        q[k * d + l] = {q[k * d + l].real() - fq.real(), q[k * d + l].imag() - fq.imag()};
      }
    }
  }
  return q;
}

DenseMatrix expm(DenseMatrix a, std::uint64_t d) {
  if (d == 1) return DenseMatrix{std::exp(a[0])};

  const double norm = one_norm(a, d);
  // An infinite norm has no scaling exponent; the answer is not representable anyway.
  if (!(norm <= std::numeric_limits<double>::max())) {
    return DenseMatrix(d * d, cdouble{std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::quiet_NaN()});
  }
  // Scale so that the 1-norm is at most theta13; every finite norm needs at most 1021.
  const int s = norm > theta13 ? static_cast<int>(std::ceil(std::log2(norm / theta13))) : 0;
  const double scale = std::ldexp(1.0, s);
  for (cdouble& e : a) e = {e.real() / scale, e.imag() / scale};

  const DenseMatrix a2 = matmul(a, a, d);
  const DenseMatrix a4 = matmul(a2, a2, d);
  const DenseMatrix a6 = matmul(a4, a2, d);

  // Odd part U = A [A6 (b13 A6 + b11 A4 + b9 A2) + b7 A6 + b5 A4 + b3 A2 + b1 I].
  DenseMatrix w;
  set_combination(w, kB[13], a6, kB[11], a4, kB[9], a2);
  DenseMatrix w2 = matmul(a6, w, d);
  add_combination(w2, kB[7], a6, kB[5], a4, kB[3], a2);
  add_to_diagonal(w2, d, kB[1]);
  const DenseMatrix u = matmul(a, w2, d);

  // Even part V = A6 (b12 A6 + b10 A4 + b8 A2) + b6 A6 + b4 A4 + b2 A2 + b0 I.
  set_combination(w, kB[12], a6, kB[10], a4, kB[8], a2);
  DenseMatrix v = matmul(a6, w, d);
  add_combination(v, kB[6], a6, kB[4], a4, kB[2], a2);
  add_to_diagonal(v, d, kB[0]);

  DenseMatrix p(d * d), q(d * d);
  for (std::size_t e = 0; e < p.size(); ++e) {
    p[e] = {v[e].real() - u[e].real(), v[e].imag() - u[e].imag()};
    q[e] = {u[e].real() + v[e].real(), u[e].imag() + v[e].imag()};
  }
  // r13 = (V - U)^-1 (V + U) approximates exp(A / 2^s); squaring undoes the scaling.
  DenseMatrix r = gauss_jordan_solve(std::move(p), std::move(q), d);
  for (int k = 0; k < s; ++k) r = matmul(r, r, d);
  return r;
}

}  // namespace morbizet
