#pragma once
// sum_k a_k T_k((H' - c)/r) psi for a Hermitian H' whose spectrum [c - r, c + r] holds,
// by the three-term recurrence phi_{k+1} = 2 (H' - c)/r phi_k - phi_{k-1}: the engine of
// both the real-time and the imaginary-time Chebyshev solvers, which differ only in
// their coefficients a_k.

#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/state_vector.hpp"

#include "allocation.hpp"

namespace morbizet {

// The series' vectors: the result, two recurrence vectors and, where the operator
// cannot hand H' * phi over a unit at a time, one for H' * phi. The working vectors are
// written before they are read, so they come uninitialised (on huge pages where large):
// a short series (a driven Hamiltonian's step) would otherwise spend more time faulting
// and zeroing fresh pages than applying H'.
struct ChebyshevVectors {
  StateBuffer result;
  StateBlock a, b, w;
};

// Allocates the vectors of a series on op's local_dim() amplitudes, collectively.
ChebyshevVectors allocate_chebyshev_vectors(const OperatorRef& op, bool result_only);

// result = sum_{k < coefficients.size()} coefficients[k] T_k((H' - c)/r) psi on [lo, hi]
// (c, r its centre and half width); psi is never written. With guard set, every
// Chebyshev vector's squared norm is compared with norm2_psi: on an interval that holds
// the spectrum |T_k((H' - c)/r) psi| <= |psi|, so one that grows beyond a factor 1.001
// shows that it does not, and the sum stops and returns false.
bool chebyshev_sum(const OperatorRef& op, const cdouble* psi, double norm2_psi, double lo, double hi,
                   const std::vector<cdouble>& coefficients, bool guard, ChebyshevVectors& vectors,
                   std::int32_t threads);

}  // namespace morbizet
