// _apply and _expectation: the whole Hamiltonian on a state, without the interpreter
// lock but stoppable with Ctrl-C, for the public package's H @ psi and expectation
// values.

#include <utility>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/observables.hpp"
#include "morbizet/sector_pauli_sum.hpp"

#include <nanobind/stl/complex.h>

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

void init_action(nb::module_& m) {
  m.def(
      "_apply",
      [](const Hamiltonian& ham, PsiArray psi, std::int32_t num_threads, const SectorSpace* sector) {
        const std::size_t n = psi.shape(0);
        check_state(ham, n, sector);
        StateBuffer out;
        try {
          ReleasedInterpreterLock unlocked;
          SignalCheck signals(unlocked);
          StateBuffer copy;
          const cdouble* data = aligned_data(psi, n, copy);
          if (sector != nullptr) {
            out = apply_hamiltonian(SectorPauliSum(ham, *sector), data, num_threads, signals.checkpoint());
          } else {
            out = apply_hamiltonian(GroupedPauliSum(ham), data, num_threads, signals.checkpoint());
          }
        } catch (const SignalRaised&) {
          throw nb::python_error();
        }
        return to_numpy(std::move(out), n);
      },
      "ham"_a, "psi"_a, "num_threads"_a, "sector"_a.none() = nb::none(),
      "H * psi, the identity part included (on the sector's states when one is given).");
  m.def(
      "_expectation",
      [](const Hamiltonian& ham, PsiArray psi, std::int32_t num_threads, const SectorSpace* sector) {
        const std::size_t n = psi.shape(0);
        if (sector != nullptr) {
          check_sector_length(n, *sector);
        } else {
          check_length(n, ham.num_qubits(), ham.dim());
        }
        try {
          ReleasedInterpreterLock unlocked;
          SignalCheck signals(unlocked);
          StateBuffer copy;
          const cdouble* data = aligned_data(psi, n, copy);
          if (sector != nullptr) {
            return expectation_value(SectorPauliSum(ham, *sector), data, num_threads, signals.checkpoint());
          }
          return expectation_value(GroupedPauliSum(ham), data, num_threads, signals.checkpoint());
        } catch (const SignalRaised&) {
          throw nb::python_error();
        }
      },
      "ham"_a, "psi"_a, "num_threads"_a, "sector"_a.none() = nb::none(),
      "<psi|H|psi>, not normalised; on a sector's states, the part of H that maps the sector into itself.");
}

}  // namespace morbizet::bindings
