#include <nanobind/stl/complex.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings.hpp"
#include "morbizet/hamiltonian.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

void init_hamiltonian(nb::module_& m) {
  // dynamic_attr: the package keeps what solves learn of the operator (its spectral
  // bounds) on the compiled object itself, which lives as long as the PauliSum.
  nb::class_<Hamiltonian>(m, "_Hamiltonian", nb::dynamic_attr())
      .def(nb::init<std::vector<PauliWord>>(), "pwords"_a)
      .def("_num_qubits", &Hamiltonian::num_qubits)
      .def("_num_terms", &Hamiltonian::num_terms)
      // A new list of new words on every call: Python never shares the stored words.
      .def("_get_pwords", &Hamiltonian::get_pwords, nb::rv_policy::copy);
}

}  // namespace morbizet::bindings
