#pragma once
// Sequential kernels on complex vectors, in index order 0 ... len - 1.

#include <cstdint>

#include "morbizet/complex.hpp"

namespace morbizet {

// dst[i] = src[i] * a with the plain complex product; src and dst are different arrays.
void scale_into(const cdouble* src, cdouble* dst, std::uint64_t len, cdouble a);

// The sum of conj(p[i]) * q[i], accumulated from 0 in index order.
cdouble dot_conj(const cdouble* p, const cdouble* q, std::uint64_t len);

// sqrt of the plain sum of |x[i]|^2 in index order, without rescaling.
double norm2(const cdouble* x, std::uint64_t len);

}  // namespace morbizet
