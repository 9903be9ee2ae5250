// The calling frame shared by the two evolution functions: convert the arguments, check
// the state's length, run the solver without the interpreter lock, and hand its buffer
// to NumPy without a copy.

#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "bindings.hpp"
#include "morbizet/evolve_higham.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/evolve_krylov.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

namespace {

using PsiArray = nb::ndarray<const cdouble, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using ResultArray = nb::ndarray<nb::numpy, cdouble, nb::shape<-1>, nb::c_contig>;
using Solver = StateBuffer (*)(OperatorRef, const cdouble*, double, double, std::int32_t, SolveStats*);

// Releases the interpreter lock for its lifetime and takes it back on every way out,
// exceptions included, before anything touches a Python object again.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

void check_length(std::size_t n_psi, const Hamiltonian& ham) {
  if (n_psi != ham.dim()) {
    throw nb::value_error(("psi has " + std::to_string(n_psi) + " amplitudes, but the Hamiltonian acts on " +
                           std::to_string(ham.num_qubits()) + " qubits, which need 2**" +
                           std::to_string(ham.num_qubits()) + " = " + std::to_string(ham.dim()))
                              .c_str());
  }
}

ResultArray evolve(Solver solver, const Hamiltonian& ham, const PsiArray& psi, double theta, double rtol,
                   std::int32_t num_threads) {
  const std::size_t n_psi = psi.shape(0);
  check_length(n_psi, ham);
  StateBuffer result;
  {
    ReleasedInterpreterLock unlocked;
    // NumPy allows complex128 views at any byte offset; the solvers read complex
    // numbers, which need their natural alignment, so such a view is read from a copy.
    const cdouble* data = psi.data();
    StateBuffer aligned;
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(cdouble) != 0) {
      aligned = allocate_state(n_psi);
      std::memcpy(static_cast<void*>(aligned.get()), static_cast<const void*>(data), n_psi * sizeof(cdouble));
      data = aligned.get();
    }
    result = solver(ham, data, theta, rtol, num_threads, nullptr);
  }
  // The capsule takes the buffer over only once it exists, so a failure to create it
  // still frees the buffer through the unique pointer.
  nb::capsule owner(result.get(), [](void* p) noexcept { delete[] static_cast<cdouble*>(p); });
  return ResultArray(result.release(), {n_psi}, owner);
}

void def_evolution(nb::module_& m, const char* name, Solver solver) {
  m.def(
      name,
      [solver](const Hamiltonian& ham, PsiArray psi, double theta, double rtol, std::int32_t num_threads) {
        return evolve(solver, ham, psi, theta, rtol, num_threads);
      },
      "ham"_a, "psi"_a, "theta"_a, "rtol"_a, "num_threads"_a);
}

}  // namespace

void init_evolution(nb::module_& m) {
  def_evolution(m, "_evolve_higham", &evolve_higham);
  def_evolution(m, "_evolve_krylov", &evolve_krylov);
}

}  // namespace morbizet::bindings
