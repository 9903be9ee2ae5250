// The calling frame shared by the three evolution functions: convert the arguments,
// check the state's length, run the solver without the interpreter lock for the whole
// run, and hand its buffer to NumPy without a copy.

#include <cstdint>
#include <utility>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/evolve_higham.hpp"
#include "morbizet/evolve_krylov.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

namespace {

using Solver = StateBuffer (*)(const Hamiltonian&, const cdouble*, double, double, std::int32_t);

ResultArray evolve(Solver solver, const Hamiltonian& ham, const PsiArray& psi, double theta, double rtol,
                   std::int32_t num_threads) {
  const std::size_t n_psi = psi.shape(0);
  check_length(n_psi, ham.num_qubits(), ham.dim());
  StateBuffer result;
  {
    ReleasedInterpreterLock unlocked;
    StateBuffer copy;
    result = solver(ham, aligned_data(psi, n_psi, copy), theta, rtol, num_threads);
  }
  return to_numpy(std::move(result), n_psi);
}

void def_evolution(nb::module_& m, const char* name, Solver solver) {
  m.def(
      name,
      [solver](const Hamiltonian& ham, PsiArray psi, double theta, double rtol, std::int32_t num_threads) {
        return evolve(solver, ham, psi, theta, rtol, num_threads);
      },
      "ham"_a, "psi"_a, "theta"_a, "rtol"_a, "num_threads"_a);
}

StateBuffer taylor(const Hamiltonian& h, const cdouble* psi, double theta, double rtol, std::int32_t threads) {
  return evolve_higham(h, psi, theta, rtol, threads);
}

StateBuffer krylov(const Hamiltonian& h, const cdouble* psi, double theta, double rtol, std::int32_t threads) {
  return evolve_krylov(h, psi, theta, rtol, threads);
}

// The series is not bound to the word order, so it applies H' in the grouped form.
StateBuffer chebyshev(const Hamiltonian& h, const cdouble* psi, double theta, double rtol, std::int32_t threads) {
  require_hermitian(h);
  const GroupedPauliSum grouped(h);
  return evolve_chebyshev(grouped, psi, theta, rtol, threads);
}

}  // namespace

void init_evolution(nb::module_& m) {
  def_evolution(m, "_evolve_higham", &taylor);
  def_evolution(m, "_evolve_krylov", &krylov);
  def_evolution(m, "_evolve_chebyshev", &chebyshev);
}

}  // namespace morbizet::bindings
