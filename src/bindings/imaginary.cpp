// _solve_imaginary: exp(-beta H) psi as a unit vector and the logarithm of its norm,
// stoppable with Ctrl-C, with the spectral interval handed back so that a walk over
// several betas finds it once.

#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include <cstdint>
#include <utility>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/counting_operator.hpp"
#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/evolve_imaginary.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/sector_pauli_sum.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

void init_imaginary(nb::module_& m) {
  m.def(
      "_solve_imaginary",
      [](const Hamiltonian& ham, PsiArray psi, double beta, double rtol, std::int32_t num_threads,
         nb::object progress, const SectorSpace* sector, BoundsTuple bounds) {
        require_hermitian(ham, "imaginary-time");
        const std::size_t n_psi = psi.shape(0);
        check_state(ham, n_psi, sector);
        SpectrumBounds known = to_bounds(bounds);
        SolveStats stats;
        ImaginaryResult result;
        run_released(psi, n_psi, std::move(progress), &stats, [&](const cdouble* data, Checkpoint checkpoint) {
          if (sector != nullptr) {
            const SectorPauliSum op(ham, *sector);
            result = evolve_imaginary(CountingOperator(op, stats, checkpoint), data, beta, rtol, num_threads, &stats,
                                      &known);
          } else {
            const GroupedPauliSum op(ham);
            result = evolve_imaginary(CountingOperator(op, stats, checkpoint), data, beta, rtol, num_threads, &stats,
                                      &known);
          }
        });
        return nb::make_tuple(to_numpy(std::move(result.state), n_psi), result.log_norm,
                              stats_dict(*find_method("chebyshev"), stats), to_tuple(known));
      },
      "ham"_a, "psi"_a, "beta"_a, "rtol"_a, "num_threads"_a, "progress"_a = nb::none(),
      "sector"_a.none() = nb::none(), "bounds"_a.none() = nb::none(),
      "exp(-beta*H)*psi for a Hermitian H as (unit state, ln of its norm, statistics, bounds): the "
      "state's norm carried as a logarithm; bounds (lo, hi, safe_lo, safe_hi, estimated) of the spectrum "
      "of H' from an earlier call skip their search. Stoppable with Ctrl-C.");
}

}  // namespace morbizet::bindings
