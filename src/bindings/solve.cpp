// _solve: the evolution behind the public package. The same solvers as the _evolve_*
// functions, with the same results bit for bit, but run through an operator that
// counts the applications and checks for signals between them, so that Ctrl-C stops a
// long solve; it returns what the solver chose and did beside the state.

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/counting_operator.hpp"
#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/interruptible_hamiltonian.hpp"
#include "morbizet/sector_pauli_sum.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

namespace {

// The row's solver on the form of H' it runs on, through an operator that counts the
// applications and checks for signals between them.
StateBuffer run(const MethodRow& method, const Hamiltonian& ham, const GroupedPauliSum* grouped, const cdouble* psi,
                double theta, double rtol, std::int32_t threads, SolveStats& stats, Checkpoint checkpoint,
                SpectrumBounds* bounds) {
  if (method.form == ActionForm::grouped) {
    if (grouped != nullptr) {
      return method.solve(CountingOperator(*grouped, stats, checkpoint), psi, theta, rtol, threads, &stats, bounds);
    }
    const GroupedPauliSum own(ham);
    return method.solve(CountingOperator(own, stats, checkpoint), psi, theta, rtol, threads, &stats, bounds);
  }
  const InterruptibleHamiltonian words(ham);
  return method.solve(CountingOperator(words, stats, checkpoint), psi, theta, rtol, threads, &stats, bounds);
}

// The same on the states of a sector: every method runs on the sector's gathering action.
StateBuffer run(const MethodRow& method, const SectorPauliSum& op, const cdouble* psi, double theta, double rtol,
                std::int32_t threads, SolveStats& stats, Checkpoint checkpoint) {
  return method.solve(CountingOperator(op, stats, checkpoint), psi, theta, rtol, threads, &stats, nullptr);
}

}  // namespace

nb::tuple solve_state(const std::string& method, const Hamiltonian& ham, const GroupedPauliSum* grouped, PsiArray psi,
                      double theta, double rtol, std::int32_t num_threads, nb::object progress,
                      const SectorSpace* sector, nb::object spectrum) {
  const MethodRow& which = parse_method(method);
  // The kept bounds hold for the whole space's H', not for a sector's part of it.
  const bool keeps = !spectrum.is_none() && sector == nullptr;
  SpectrumBounds bounds = keeps ? read_spectrum(spectrum) : SpectrumBounds{};
  if (which.needs_hermitian) require_hermitian(ham, which.name);
  const std::size_t n_psi = psi.shape(0);
  check_state(ham, n_psi, sector);
  SolveStats stats;
  StateBuffer result;
  run_released(psi, n_psi, std::move(progress), &stats, [&](const cdouble* data, Checkpoint checkpoint) {
    if (sector != nullptr) {
      const SectorPauliSum op(ham, *sector);
      result = run(which, op, data, theta, rtol, num_threads, stats, checkpoint);
    } else {
      result = run(which, ham, grouped, data, theta, rtol, num_threads, stats, checkpoint, keeps ? &bounds : nullptr);
    }
  });
  if (keeps) write_spectrum(spectrum, bounds);
  return nb::make_tuple(to_numpy(std::move(result), n_psi), stats_dict(which, stats));
}

void init_solve(nb::module_& m) {
  m.def(
      "_methods",
      [] {
        nb::list rows;
        for (const MethodRow& row : methods()) {
          nb::dict d;
          d["name"] = std::string(row.name);
          d["needs_hermitian"] = row.needs_hermitian;
          d["reports_interval"] = row.reports_interval;
          rows.append(d);
        }
        return rows;
      },
      "The solvers _solve runs, in order: dicts of name, needs_hermitian and reports_interval.");
  m.def(
      "_solve",
      [](const std::string& method, const Hamiltonian& ham, PsiArray psi, double theta, double rtol,
         std::int32_t num_threads, nb::object progress, const SectorSpace* sector, nb::object spectrum) {
        return solve_state(method, ham, nullptr, psi, theta, rtol, num_threads, std::move(progress), sector,
                           std::move(spectrum));
      },
      "method"_a, "ham"_a, "psi"_a, "theta"_a, "rtol"_a, "num_threads"_a, "progress"_a = nb::none(),
      "sector"_a.none() = nb::none(), "spectrum"_a = nb::none(),
      "exp(-i*theta*H)*psi by the named method ('taylor', 'krylov', 'chebyshev'), stoppable with Ctrl-C; "
      "psi holds the sector's states when one is given (H must map it into itself); "
      "returns (state, statistics). progress, when given, is called a few times a second as "
      "progress(applications, degree, substeps). spectrum, when given, is a one-item list holding the "
      "spectral bounds kept with ham (None at first): the solve uses them and stores what it found.");
}

}  // namespace morbizet::bindings
