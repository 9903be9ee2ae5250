#pragma once
// The complex scalar of the numeric core and the one product formula it uses.

#include <complex>

namespace morbizet {

// Two IEEE-754 doubles, real part first: the layout of NumPy's complex128.
using cdouble = std::complex<double>;

// The plain product (ac - bd, ad + bc). GCC's operator* on std::complex falls back to a
// library routine that recovers infinities from NaN results; this library never does,
// so that every complex product rounds the same way on every code path.
inline cdouble cmul(cdouble a, cdouble b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

}  // namespace morbizet
