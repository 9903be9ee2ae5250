#pragma once
// What every entry point that runs the core on a state vector shares: the state as an
// array argument, the interpreter lock released around the work, checks for signals
// while it runs, and the result handed to NumPy without a copy.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "morbizet/complex.hpp"
#include "morbizet/spectrum_bounds.hpp"
#include "morbizet/counting_operator.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/methods.hpp"
#include "morbizet/sector_space.hpp"
#include "morbizet/solve_stats.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet::bindings {

using PsiArray = nanobind::ndarray<const cdouble, nanobind::shape<-1>, nanobind::c_contig, nanobind::device::cpu>;
using ResultArray = nanobind::ndarray<nanobind::numpy, cdouble, nanobind::shape<-1>, nanobind::c_contig>;

// Releases the interpreter lock for its lifetime and takes it back on every way out,
// exceptions included, before anything touches a Python object again.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

  // Runs f with the lock held, and releases it again.
  template <class F>
  auto with_lock(F&& f) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return f();
  }

 private:
  PyThreadState* state_;
};

// Thrown from a checkpoint when a signal handler raised (KeyboardInterrupt for Ctrl-C);
// the Python exception stays set for the entry point to raise once it holds the lock.
struct SignalRaised {};

// A checkpoint that, at most every 50 ms, takes the lock for a moment and runs the
// interpreter's pending signal handlers (only the main thread runs them). The solver
// unwinds on SignalRaised, freeing what it holds. Given a Python callable and the
// solver's statistics, it also reports progress there: progress(applications, degree,
// substeps), the applications of H made so far and the parameters the solver chose.
class SignalCheck {
 public:
  explicit SignalCheck(ReleasedInterpreterLock& lock, nanobind::object progress = nanobind::none(),
                       const SolveStats* stats = nullptr)
      : lock_(lock), progress_(std::move(progress)), stats_(stats), next_(std::chrono::steady_clock::now()) {}
  Checkpoint checkpoint() { return {&SignalCheck::poll, this}; }

 private:
  static void poll(void* self);
  ReleasedInterpreterLock& lock_;
  nanobind::object progress_;
  const SolveStats* stats_;
  std::chrono::steady_clock::time_point next_;
};

// ValueError unless the state has the length the Hamiltonian needs.
void check_length(std::size_t n_psi, std::uint64_t num_qubits, std::uint64_t dim, const char* what = "psi");

// ValueError unless a state has the sector's dimension.
void check_sector_length(std::size_t n_psi, const SectorSpace& sector, const char* what = "psi");

// ValueError unless H maps the sector into itself, saying which word does not.
void check_sector(const Hamiltonian& ham, const SectorSpace& sector);

// ValueError unless a state of n_psi amplitudes is one H acts on: the sector's states,
// H mapping the sector into itself, when sector is given; the whole space's otherwise.
void check_state(const Hamiltonian& ham, std::size_t n_psi, const SectorSpace* sector);

// psi's data, or an aligned copy of it (into copy) for a view at an odd byte offset:
// the core reads complex numbers, which need their natural alignment. Call without the
// lock.
const cdouble* aligned_data(const PsiArray& psi, std::size_t n, StateBuffer& copy);

// The row of the named method; ValueError naming the choices for any other name.
const MethodRow& parse_method(const std::string& name);

// The solver's statistics as a dict (the interval's entries where the row reports them).
nanobind::dict stats_dict(const MethodRow& method, const SolveStats& stats);

// exp(-i theta H) psi by the named method as (state, statistics), stoppable with Ctrl-C:
// on the sector's states when sector is given, else on the whole space, with grouped
// (the grouped action of ham) when given for a method that runs on that form. spectrum,
// when not None, is a list whose item 0 holds the spectral bounds kept with ham (a
// BoundsTuple): read before the solve and replaced by what the solve found.
nanobind::tuple solve_state(const std::string& method, const Hamiltonian& ham, const GroupedPauliSum* grouped,
                            PsiArray psi, double theta, double rtol, std::int32_t num_threads,
                            nanobind::object progress, const SectorSpace* sector,
                            nanobind::object spectrum = nanobind::none());

// Bounds of the spectrum of H' as Python sees them: (lo, hi, safe_lo, safe_hi, estimated,
// source), or None where none is known yet; opaque to Python, handed back as it came.
using BoundsTuple = std::optional<std::tuple<double, double, double, double, bool, int>>;
SpectrumBounds to_bounds(const BoundsTuple& t);
BoundsTuple to_tuple(const SpectrumBounds& b);

// The bounds kept in a spectrum slot, a one-item list (see solve_state): nothing known
// for an empty slot; TypeError for anything but a one-item list. Call with the lock held.
SpectrumBounds read_spectrum(const nanobind::object& spectrum);
void write_spectrum(const nanobind::object& spectrum, const SpectrumBounds& bounds);

// A NumPy array of n amplitudes that owns buffer. Call with the lock.
ResultArray to_numpy(StateBuffer buffer, std::size_t n);

// f(data, checkpoint) with the interpreter lock released and signals checked between
// slices of work (progress reported from stats when given), data psi's n amplitudes
// aligned; a signal's exception is raised once the lock is held again.
template <class F>
void run_released(const PsiArray& psi, std::size_t n, nanobind::object progress, const SolveStats* stats, F&& f) {
  try {
    ReleasedInterpreterLock unlocked;
    SignalCheck signals(unlocked, std::move(progress), stats);
    StateBuffer copy;
    f(aligned_data(psi, n, copy), signals.checkpoint());
  } catch (const SignalRaised&) {
    throw nanobind::python_error();
  }
}

}  // namespace morbizet::bindings
