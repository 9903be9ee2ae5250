#include "morbizet/observables.hpp"

#include <algorithm>
#include <vector>

#include "kernels/parallel.hpp"
#include "kernels/vector_ops.hpp"

namespace morbizet {

namespace {

// H' * psi is formed in slices of this many amplitudes (1 MiB).
constexpr std::uint64_t kSlice = std::uint64_t{1} << 16;

template <class Op>
StateBuffer apply_whole(const Op& h, const cdouble* psi, std::int32_t num_threads, const Checkpoint& checkpoint) {
  const std::uint64_t dim = h.dim();
  StateBuffer out = allocate_state(dim);
  h.apply_nonidentity(psi, out.get(), num_threads, checkpoint);
  add_scaled(psi, out.get(), dim, h.identity_coeff(), num_threads);
  return out;
}

// <psi|H|psi> with H' * psi formed a slice at a time by form(begin, len, part).
template <class Op, class Form>
cdouble expectation_by_slices(const Op& h, const cdouble* psi, std::int32_t num_threads, const Checkpoint& checkpoint,
                              Form&& form) {
  const std::uint64_t dim = h.dim();
  const std::uint64_t slice = std::min({dim, kSlice, checkpoint_slice(dim, h.num_words())});
  const std::uint64_t leaf = sum_block_size(dim);
  StateBuffer part = allocate_state(slice);
  std::vector<double> re, im, norm;
  for (std::uint64_t begin = 0; begin < dim; begin += slice) {
    if (begin > 0) checkpoint();
    const std::uint64_t len = std::min(slice, dim - begin);
    form(begin, len, part.get());
    const std::vector<double> r = block_dots(psi + begin, part.get(), len, leaf, false, num_threads);
    const std::vector<double> i = block_dots(psi + begin, part.get(), len, leaf, true, num_threads);
    const std::vector<double> s = block_sums_abs2(psi + begin, len, leaf, num_threads);
    re.insert(re.end(), r.begin(), r.end());
    im.insert(im.end(), i.begin(), i.end());
    norm.insert(norm.end(), s.begin(), s.end());
  }
  const cdouble bra_h_ket{pairwise_sum(re.data(), re.size()), pairwise_sum(im.data(), im.size())};
  const double norm2 = pairwise_sum(norm.data(), norm.size());
  const cdouble s = h.identity_coeff();
  return {bra_h_ket.real() + s.real() * norm2, bra_h_ket.imag() + s.imag() * norm2};
}

}  // namespace

StateBuffer apply_hamiltonian(const GroupedPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                              const Checkpoint& checkpoint) {
  return apply_whole(h, psi, num_threads, checkpoint);
}

cdouble expectation_value(const GroupedPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                          const Checkpoint& checkpoint) {
  const SliceSource whole{psi, 0, 0};
  return expectation_by_slices(h, psi, num_threads, checkpoint, [&](std::uint64_t begin, std::uint64_t len, cdouble* part) {
    h.accumulate(0, h.groups().size(), &whole, 0, h.dim() - 1, part, begin, len, true, num_threads);
  });
}

StateBuffer apply_hamiltonian(const SectorPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                              const Checkpoint& checkpoint) {
  return apply_whole(h, psi, num_threads, checkpoint);
}

cdouble expectation_value(const SectorPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                          const Checkpoint& checkpoint) {
  // The sector's action runs by blocks of the numbering, not by slices: H' * psi is
  // formed whole.
  StateBuffer whole = allocate_state(h.dim());
  h.apply_nonidentity(psi, whole.get(), num_threads, checkpoint);
  return expectation_by_slices(h, psi, num_threads, checkpoint, [&](std::uint64_t begin, std::uint64_t len, cdouble* part) {
    std::copy(whole.get() + begin, whole.get() + begin + len, part);
  });
}

}  // namespace morbizet
