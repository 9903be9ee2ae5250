// The internal entry points on a state spread over MPI processes: each process passes
// its slice and the communicator (as mpi4py's Comm.py2f() handle) and gets its slice of
// the result. Every check that can fail on one process only is agreed over all of them
// first, so that all raise the same exception and none waits forever in a collective.

#include <nanobind/stl/complex.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/communicator.hpp"
#include "morbizet/counting_operator.hpp"
#include "morbizet/distributed_pauli_sum.hpp"
#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/evolve_imaginary.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

namespace {

// As SignalCheck, and every process learns at each checkpoint whether any of them
// caught a signal, so that all stop together: those that did not catch it raise
// KeyboardInterrupt too. The package defers SIGINT while it runs a collective call (its
// handler only records it, since raising in the Python code between two collectives
// would leave the other processes waiting); `interrupted`, when not None, says whether
// such a signal is pending.
class CollectiveSignalCheck {
 public:
  CollectiveSignalCheck(ReleasedInterpreterLock& lock, const Communicator& comm, nb::object interrupted)
      : lock_(lock), comm_(comm), interrupted_(std::move(interrupted)), next_(std::chrono::steady_clock::now()) {}
  Checkpoint checkpoint() { return {&CollectiveSignalCheck::poll, this}; }

 private:
  static void poll(void* self) {
    auto& check = *static_cast<CollectiveSignalCheck*>(self);
    bool raised = false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= check.next_) {
      check.next_ = now + std::chrono::milliseconds(50);
      raised = check.lock_.with_lock([&] {
        if (PyErr_CheckSignals() != 0) return true;
        return !check.interrupted_.is_none() && nb::cast<bool>(check.interrupted_());
      });
    }
    if (!check.comm_.any(raised)) return;
    check.lock_.with_lock([] {
      if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    });
    throw SignalRaised{};
  }

  ReleasedInterpreterLock& lock_;
  const Communicator& comm_;
  nb::object interrupted_;
  std::chrono::steady_clock::time_point next_;
};

// The local slice length every process must pass, or why it cannot.
std::optional<std::string> slice_error(std::size_t n_psi, const DistributedPauliSum& op) {
  if (n_psi == op.local_dim()) return std::nullopt;
  return "psi has " + std::to_string(n_psi) + " amplitudes, but this process's slice of the state of " +
         std::to_string(std::bit_width(op.dim()) - 1) + " qubits on " + std::to_string(op.communicator().size()) +
         " processes holds " + std::to_string(op.local_dim());
}

std::uint64_t mix(std::uint64_t f, std::uint64_t v) { return (f ^ v) * 1099511628211ULL; }

// f with the kept bounds mixed in (whether any are known, and which).
std::uint64_t mix_bounds(std::uint64_t f, const SpectrumBounds& b) {
  f = mix(f, b.known ? 1 : 0);
  if (!b.known) return f;
  for (double v : {b.lo, b.hi, b.safe_lo, b.safe_hi}) f = mix(f, std::bit_cast<std::uint64_t>(v));
  return mix(mix(f, b.estimated ? 1 : 0), static_cast<std::uint64_t>(b.source));
}

// The shortest text that reads back as x, as the solvers print it.
std::string format_rtol(double x) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

}  // namespace

void init_distributed(nb::module_& m) {
  m.def(
      "_solve_distributed",
      [](const std::string& method, const Hamiltonian& ham, PsiArray psi, double theta, double rtol,
         std::int32_t num_threads, std::int64_t comm_handle, nb::object interrupted, nb::object spectrum) {
        const std::size_t n_psi = psi.shape(0);
        const bool keeps = !spectrum.is_none();
        SpectrumBounds bounds = keeps ? read_spectrum(spectrum) : SpectrumBounds{};
        SolveStats stats;
        StateBuffer result;
        const MethodRow* row = nullptr;
        std::uint64_t bytes = 0, per_application = 0;
        try {
          ReleasedInterpreterLock unlocked;
          const Communicator comm = Communicator::from_fortran(comm_handle);
          // Bad arguments first, reported as themselves, then arguments that differ.
          std::optional<std::string> bad;
          try {
            parse_method(method);
            if (!(rtol > 0.0)) throw std::invalid_argument("rtol must be a positive number, got " + format_rtol(rtol));
          } catch (const std::exception& e) {
            bad = e.what();
          }
          comm.agree_or_throw(bad);
          std::uint64_t f = 14695981039346656037ULL;
          for (char c : method) f = mix(f, static_cast<unsigned char>(c));
          f = mix(mix(f, std::bit_cast<std::uint64_t>(theta)), std::bit_cast<std::uint64_t>(rtol));
          f = mix_bounds(mix(f, keeps ? 1 : 0), bounds);
          if (!comm.all_equal(f)) {
            throw std::invalid_argument(
                "method, theta, rtol and kept spectral bounds differ between processes: pass the same on each");
          }
          const MethodRow& which = parse_method(method);
          if (which.needs_hermitian) require_hermitian(ham, which.name);
          const DistributedPauliSum op(
              ham, comm, which.form == ActionForm::grouped ? ActionOrder::grouped : ActionOrder::words);
          comm.agree_or_throw(slice_error(n_psi, op));
          CollectiveSignalCheck signals(unlocked, comm, std::move(interrupted));
          const CountingOperator counted(op, stats, signals.checkpoint());
          StateBuffer copy;
          const cdouble* data = aligned_data(psi, n_psi, copy);
          result = which.solve(counted, data, theta, rtol, num_threads, &stats, keeps ? &bounds : nullptr);
          row = &which;
          bytes = op.bytes_sent();
          per_application = op.bytes_per_application();
        } catch (const SignalRaised&) {
          throw nb::python_error();
        }
        if (keeps) write_spectrum(spectrum, bounds);
        nb::dict info = stats_dict(*row, stats);
        info["bytes_sent"] = bytes;
        info["bytes_per_application"] = per_application;
        return nb::make_tuple(to_numpy(std::move(result), n_psi), info);
      },
      "method"_a, "ham"_a, "psi"_a, "theta"_a, "rtol"_a, "num_threads"_a, "comm"_a, "interrupted"_a = nb::none(),
      "spectrum"_a = nb::none(),
      "As _solve, on this process's slice of a state spread over the processes of comm (a Fortran "
      "communicator handle); collective. interrupted(), when given, says whether a deferred Ctrl-C is "
      "pending here, which stops every process. spectrum as for _solve, the same on every process.");
  m.def(
      "_solve_imaginary_distributed",
      [](const Hamiltonian& ham, PsiArray psi, double beta, double rtol, std::int32_t num_threads,
         std::int64_t comm_handle, nb::object interrupted, BoundsTuple bounds) {
        const std::size_t n_psi = psi.shape(0);
        SolveStats stats;
        ImaginaryResult result;
        SpectrumBounds known = to_bounds(bounds);
        try {
          ReleasedInterpreterLock unlocked;
          const Communicator comm = Communicator::from_fortran(comm_handle);
          std::optional<std::string> bad;
          try {
            if (!(rtol > 0.0)) throw std::invalid_argument("rtol must be a positive number, got " + format_rtol(rtol));
            if (!(beta >= 0.0) || std::isinf(beta)) {
              throw std::invalid_argument("beta must be a finite number >= 0, got " + format_rtol(beta));
            }
          } catch (const std::exception& e) {
            bad = e.what();
          }
          comm.agree_or_throw(bad);
          std::uint64_t f = mix(14695981039346656037ULL, std::bit_cast<std::uint64_t>(beta));
          f = mix_bounds(mix(f, std::bit_cast<std::uint64_t>(rtol)), known);
          if (!comm.all_equal(f)) {
            throw std::invalid_argument("beta, rtol and bounds differ between processes: pass the same on each");
          }
          require_hermitian(ham, "imaginary-time");
          const DistributedPauliSum op(ham, comm, ActionOrder::grouped);
          comm.agree_or_throw(slice_error(n_psi, op));
          CollectiveSignalCheck signals(unlocked, comm, std::move(interrupted));
          const CountingOperator counted(op, stats, signals.checkpoint());
          StateBuffer copy;
          result = evolve_imaginary(counted, aligned_data(psi, n_psi, copy), beta, rtol, num_threads, &stats, &known);
        } catch (const SignalRaised&) {
          throw nb::python_error();
        }
        return nb::make_tuple(to_numpy(std::move(result.state), n_psi), result.log_norm,
                              stats_dict(*find_method("chebyshev"), stats), to_tuple(known));
      },
      "ham"_a, "psi"_a, "beta"_a, "rtol"_a, "num_threads"_a, "comm"_a, "interrupted"_a = nb::none(),
      "bounds"_a.none() = nb::none(), "As _solve_imaginary, on this process's slice; collective.");
  m.def(
      "_apply_distributed",
      [](const Hamiltonian& ham, PsiArray psi, std::int32_t num_threads, std::int64_t comm_handle) {
        const std::size_t n_psi = psi.shape(0);
        StateBuffer out;
        {
          ReleasedInterpreterLock unlocked;
          const DistributedPauliSum op(ham, Communicator::from_fortran(comm_handle), ActionOrder::grouped);
          op.communicator().agree_or_throw(slice_error(n_psi, op));
          StateBuffer copy;
          out = apply_hamiltonian(op, aligned_data(psi, n_psi, copy), num_threads);
        }
        return to_numpy(std::move(out), n_psi);
      },
      "ham"_a, "psi"_a, "num_threads"_a, "comm"_a, "As _apply, on this process's slice; collective.");
  m.def(
      "_expectation_distributed",
      [](const Hamiltonian& ham, PsiArray psi, std::int32_t num_threads, std::int64_t comm_handle) {
        const std::size_t n_psi = psi.shape(0);
        ReleasedInterpreterLock unlocked;
        const DistributedPauliSum op(ham, Communicator::from_fortran(comm_handle), ActionOrder::grouped);
        op.communicator().agree_or_throw(slice_error(n_psi, op));
        StateBuffer copy;
        return expectation_value(op, aligned_data(psi, n_psi, copy), num_threads);
      },
      "ham"_a, "psi"_a, "num_threads"_a, "comm"_a,
      "<psi|H|psi> over the whole state, the same on every process; collective.");
}

}  // namespace morbizet::bindings
