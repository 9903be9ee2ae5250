// _apply and _expectation: the whole Hamiltonian on a state, without the interpreter
// lock but stoppable with Ctrl-C, for the public package's H @ psi and expectation
// values.

#include <utility>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/observables.hpp"

#include <nanobind/stl/complex.h>

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

void init_action(nb::module_& m) {
  m.def(
      "_apply",
      [](const Hamiltonian& ham, PsiArray psi, std::int32_t num_threads) {
        const std::size_t n = psi.shape(0);
        check_length(n, ham.num_qubits(), ham.dim());
        StateBuffer out;
        try {
          ReleasedInterpreterLock unlocked;
          SignalCheck signals(unlocked);
          StateBuffer copy;
          const GroupedPauliSum grouped(ham);
          out = apply_hamiltonian(grouped, aligned_data(psi, n, copy), num_threads, signals.checkpoint());
        } catch (const SignalRaised&) {
          throw nb::python_error();
        }
        return to_numpy(std::move(out), n);
      },
      "ham"_a, "psi"_a, "num_threads"_a, "H * psi, the identity part included.");
  m.def(
      "_expectation",
      [](const Hamiltonian& ham, PsiArray psi, std::int32_t num_threads) {
        const std::size_t n = psi.shape(0);
        check_length(n, ham.num_qubits(), ham.dim());
        try {
          ReleasedInterpreterLock unlocked;
          SignalCheck signals(unlocked);
          StateBuffer copy;
          const GroupedPauliSum grouped(ham);
          return expectation_value(grouped, aligned_data(psi, n, copy), num_threads, signals.checkpoint());
        } catch (const SignalRaised&) {
          throw nb::python_error();
        }
      },
      "ham"_a, "psi"_a, "num_threads"_a, "<psi|H|psi>, not normalised.");
}

}  // namespace morbizet::bindings
