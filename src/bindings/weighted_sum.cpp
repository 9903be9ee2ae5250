// _WeightedSum: the parts of a driven Hamiltonian H(t) = sum_j f_j(t) H_j with their
// words merged and grouped once; each solve at new weights only rescales coefficients.

#include <nanobind/stl/complex.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/weighted_sum.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

void init_weighted_sum(nb::module_& m) {
  nb::class_<WeightedSum>(m, "_WeightedSum")
      .def(nb::init<const std::vector<Hamiltonian>&>(), "parts"_a,
           "The parts H_j, their words merged and grouped once.")
      .def_prop_ro("num_parts", &WeightedSum::num_parts)
      .def_prop_ro("num_qubits", &WeightedSum::num_qubits)
      .def("combine", &WeightedSum::combine, "weights"_a, "sum_j weights[j] H_j as a Hamiltonian.")
      .def(
          "solve",
          [](const WeightedSum& self, const std::string& method, const std::vector<cdouble>& weights, PsiArray psi,
             double theta, double rtol, std::int32_t num_threads, nb::object progress) {
            const Hamiltonian combined = self.combine(weights);
            const GroupedPauliSum grouped = self.grouped(combined);
            return solve_state(method, combined, &grouped, psi, theta, rtol, num_threads, std::move(progress),
                               nullptr);
          },
          "method"_a, "weights"_a, "psi"_a, "theta"_a, "rtol"_a, "num_threads"_a, "progress"_a = nb::none(),
          "As _solve for H = sum_j weights[j] H_j, on the grouping made once.");
}

}  // namespace morbizet::bindings
