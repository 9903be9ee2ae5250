// _grid: a grid of times walked in windows of a Lanczos basis, handing every time's
// state or expectation values to a Python function as the walk reaches it, without the
// interpreter lock in between and stoppable with Ctrl-C.

#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/counting_operator.hpp"
#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/evolve_grid.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/sector_pauli_sum.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

namespace {

using TimesArray = nb::ndarray<const double, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using RowsArray = nb::ndarray<cdouble, nb::shape<-1, -1>, nb::c_contig, nb::device::cpu>;
using ValuesArray = nb::ndarray<nb::numpy, cdouble, nb::shape<-1>>;

// The cost of one application of a grouped sum, in multiply-adds per amplitude of a
// basis combination: a pass over the state, one gather per group of words that flip the
// same qubits and a little per word (fitted to the chains, random sums and observables of
// the grid benchmark at 16 and 20 qubits).
double application_cost(const GroupedPauliSum& g) {
  return 4.0 + static_cast<double>(g.groups().size()) + 0.1 * static_cast<double>(g.num_words());
}
// A sector's action pays a ranking and a scattered read per group (about three times the
// full space's contiguous gather, measured on the Heisenberg chain at 20 qubits).
double application_cost(const SectorPauliSum& g) {
  return 4.0 + 3.0 * static_cast<double>(g.num_groups()) + 0.1 * static_cast<double>(g.num_words());
}

// The operator of H, or of an observable, on the full space or on a sector's states.
struct FullSpace {
  GroupedPauliSum operator()(const Hamiltonian& h) const { return GroupedPauliSum(h); }
};
struct OnSector {
  const SectorSpace& space;
  SectorPauliSum operator()(const Hamiltonian& h) const { return SectorPauliSum(h, space); }
};

bool is_hermitian(const Hamiltonian& h) {
  if (h.identity_coeff().imag() != 0.0) return false;
  const auto& words = h.get_pwords();
  return std::all_of(h.active_terms().begin(), h.active_terms().end(),
                     [&](std::uint64_t k) { return words[k].coeff().imag() == 0.0; });
}

// Hands every time over to visit(k, state, values) with the lock held: the state as a
// new array of its own, or (with rows) copied into rows[k] first and passed as None.
class PythonVisitor final : public GridVisitor {
 public:
  PythonVisitor(ReleasedInterpreterLock& lock, nb::object visit, RowsArray* rows, std::size_t n, std::size_t count)
      : lock_(lock), visit_(std::move(visit)), rows_(rows), n_(n), count_(count) {}

  void visit(std::size_t k, const cdouble* state, const cdouble* values) override {
    if (state != nullptr && rows_ != nullptr) {
      std::memcpy(static_cast<void*>(rows_->data() + k * n_), static_cast<const void*>(state), n_ * sizeof(cdouble));
      state = nullptr;
    }
    const bool raised = lock_.with_lock([&] {
      try {
        nb::object s = nb::none(), v = nb::none();
        if (state != nullptr) {
          StateBuffer copy = allocate_state(n_);
          std::memcpy(static_cast<void*>(copy.get()), static_cast<const void*>(state), n_ * sizeof(cdouble));
          s = nb::cast(to_numpy(std::move(copy), n_));
        }
        if (values != nullptr) {
          StateBuffer copy = allocate_state(count_);
          std::copy(values, values + count_, copy.get());
          v = nb::cast(to_numpy(std::move(copy), count_));
        }
        visit_(k, s, v);
      } catch (nb::python_error& e) {
        e.restore();  // a failing visit stops the walk with its exception
        return true;
      }
      return false;
    });
    if (raised) throw SignalRaised{};
  }

 private:
  ReleasedInterpreterLock& lock_;
  nb::object visit_;
  RowsArray* rows_;
  std::size_t n_, count_;
};

}  // namespace

// The walk of the bound _grid on the operators that make builds.
template <class Make>
GridStats walk_grid(const Make& make, const Hamiltonian& ham, const cdouble* psi, const TimesArray& times,
                    double rtol, std::int32_t num_threads, const std::vector<const Hamiltonian*>& observables,
                    bool states, RowsArray* rows, std::uint64_t max_vectors, const nb::object& visit, std::size_t n,
                    SolveStats& stats, SolveStats& observed, ReleasedInterpreterLock& unlocked) {
  using Op = decltype(make(ham));
  SignalCheck signals(unlocked);
  const Op op = make(ham);
  const CountingOperator<Op> counted(op, stats, signals.checkpoint());
  std::deque<Op> parts;
  std::deque<CountingOperator<Op>> counted_parts;
  std::vector<GridObservable> measured;
  for (const Hamiltonian* o : observables) {
    parts.push_back(make(*o));
    counted_parts.emplace_back(parts.back(), observed, signals.checkpoint());
    measured.push_back({counted_parts.back(), application_cost(parts.back()), is_hermitian(*o)});
  }
  GridOptions options{states, max_vectors, application_cost(op)};
  PythonVisitor visitor(unlocked, visit, rows, n, observables.size());
  GridStats grid;
  evolve_grid(counted, psi, times.data(), times.shape(0), rtol, measured, options, visitor, num_threads, &grid);
  return grid;
}

void init_grid(nb::module_& m) {
  m.def(
      "_grid",
      [](const Hamiltonian& ham, PsiArray psi, TimesArray times, double rtol, std::int32_t num_threads,
         std::vector<const Hamiltonian*> observables, bool states, std::optional<RowsArray> rows,
         std::uint64_t max_vectors, nb::object visit, const SectorSpace* sector) {
        require_hermitian(ham);
        const std::size_t n = psi.shape(0);
        for (const Hamiltonian* o : observables) check_length(o->dim(), o->num_qubits(), ham.dim(), "an observable");
        check_state(ham, n, sector);
        if (rows && (rows->shape(0) != times.shape(0) || rows->shape(1) != n)) {
          throw nb::value_error("rows must have one row of the state's amplitudes per time");
        }
        SolveStats stats, observed;
        GridStats grid;
        try {
          ReleasedInterpreterLock unlocked;
          StateBuffer copy;
          const cdouble* data = aligned_data(psi, n, copy);
          RowsArray* out = rows ? &*rows : nullptr;
          grid = sector != nullptr
                     ? walk_grid(OnSector{*sector}, ham, data, times, rtol, num_threads, observables, states, out,
                                 max_vectors, visit, n, stats, observed, unlocked)
                     : walk_grid(FullSpace{}, ham, data, times, rtol, num_threads, observables, states, out,
                                 max_vectors, visit, n, stats, observed, unlocked);
        } catch (const SignalRaised&) {
          throw nb::python_error();
        }
        nb::dict d;
        d["applications"] = stats.applications;
        d["observable_applications"] = observed.applications;
        d["windows"] = grid.windows;
        d["basis_size"] = grid.basis_size;
        d["projected"] = grid.projected;
        return d;
      },
      "ham"_a, "psi"_a, "times"_a, "rtol"_a, "num_threads"_a, "observables"_a, "states"_a, "rows"_a.none(),
      "max_vectors"_a, "visit"_a, "sector"_a.none() = nb::none(),
      "Walks the times in order in windows of a Lanczos basis (H Hermitian apart from its identity part), "
      "calling visit(k, state, values) at every time: state a new array (None with rows, whose row k then holds "
      "it, or when states is False), values the expectation values of the observables (None without them). "
      "Holds at most max_vectors state vectors; returns the walk's statistics. With a sector, psi and the states "
      "hold its states, and the observables are measured by their part that maps the sector into itself.");
}

}  // namespace morbizet::bindings
