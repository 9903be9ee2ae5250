#include "frame.hpp"

#include <cstring>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <string>

namespace nb = nanobind;

namespace morbizet::bindings {

void SignalCheck::poll(void* self) {
  auto& check = *static_cast<SignalCheck*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (now < check.next_) return;
  check.next_ = now + std::chrono::milliseconds(50);
  const bool raised = check.lock_.with_lock([&] {
    if (PyErr_CheckSignals() != 0) return true;
    if (check.stats_ == nullptr || check.progress_.is_none()) return false;
    try {
      check.progress_(check.stats_->applications, check.stats_->degree, check.stats_->substeps);
    } catch (nb::python_error& e) {
      e.restore();  // a failing progress report stops the solve with its exception
      return true;
    }
    return false;
  });
  if (raised) throw SignalRaised{};
}

void check_length(std::size_t n_psi, std::uint64_t num_qubits, std::uint64_t dim, const char* what) {
  if (n_psi != dim) {
    throw nb::value_error((std::string(what) + " has " + std::to_string(n_psi) +
                           " amplitudes, but the Hamiltonian acts on " + std::to_string(num_qubits) +
                           " qubits, which need 2**" + std::to_string(num_qubits) + " = " + std::to_string(dim))
                              .c_str());
  }
}

const cdouble* aligned_data(const PsiArray& psi, std::size_t n, StateBuffer& copy) {
  const cdouble* data = psi.data();
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(cdouble) != 0) {
    copy = allocate_state(n);
    std::memcpy(static_cast<void*>(copy.get()), static_cast<const void*>(data), n * sizeof(cdouble));
    return copy.get();
  }
  return data;
}

ResultArray to_numpy(StateBuffer buffer, std::size_t n) {
  // The capsule takes the buffer over only once it exists, so a failure to create it
  // still frees the buffer through the unique pointer.
  nb::capsule owner(buffer.get(), [](void* p) noexcept { delete[] static_cast<cdouble*>(p); });
  return ResultArray(buffer.release(), {n}, owner);
}

SpectrumBounds to_bounds(const BoundsTuple& t) {
  if (!t) return {};
  const auto& [lo, hi, safe_lo, safe_hi, estimated, source] = *t;
  if (source < 0 || source > static_cast<int>(IntervalSource::lanczos)) throw nb::value_error("bounds: unknown source");
  return {lo, hi, safe_lo, safe_hi, estimated, true, static_cast<IntervalSource>(source)};
}

BoundsTuple to_tuple(const SpectrumBounds& b) {
  if (!b.known) return std::nullopt;
  return std::tuple{b.lo, b.hi, b.safe_lo, b.safe_hi, b.estimated, static_cast<int>(b.source)};
}

SpectrumBounds read_spectrum(const nb::object& spectrum) {
  if (!nb::isinstance<nb::list>(spectrum) || nb::len(spectrum) != 1) {
    throw nb::type_error("spectrum must be a list of one item (None or bounds from an earlier solve)");
  }
  BoundsTuple kept;
  if (!nb::try_cast<BoundsTuple>(nb::borrow<nb::list>(spectrum)[0], kept)) {
    throw nb::type_error("spectrum[0] must be None or the bounds an earlier solve left there");
  }
  return to_bounds(kept);
}

void write_spectrum(const nb::object& spectrum, const SpectrumBounds& bounds) {
  nb::borrow<nb::list>(spectrum)[0] = nb::cast(to_tuple(bounds));
}

const MethodRow& parse_method(const std::string& name) {
  if (const MethodRow* row = find_method(name)) return *row;
  std::string choices;
  const auto all = methods();
  for (std::size_t k = 0; k < all.size(); ++k) {
    choices += (k == 0 ? "'" : k + 1 == all.size() ? " or '" : ", '") + std::string(all[k].name) + "'";
  }
  throw nb::value_error(("unknown method '" + name + "': choose " + choices).c_str());
}

nb::dict stats_dict(const MethodRow& method, const SolveStats& s) {
  nb::dict d;
  d["method"] = std::string(method.name);
  d["applications"] = s.applications;
  d["degree"] = s.degree;
  d["substeps"] = s.substeps;
  if (method.reports_interval) {
    d["estimation_steps"] = s.estimation_steps;
    d["ritz_min"] = s.ritz_min;
    d["ritz_max"] = s.ritz_max;
    d["interval"] = nb::make_tuple(s.interval_lo, s.interval_hi);
    d["widened"] = s.widened;
    d["interval_source"] = std::string(interval_source_name(s.interval_source));
    d["interval_kept"] = s.interval_kept;
  }
  return d;
}

}  // namespace morbizet::bindings
