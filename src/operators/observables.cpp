#include "morbizet/observables.hpp"

#include <algorithm>
#include <vector>

#include "kernels/parallel.hpp"
#include "kernels/vector_ops.hpp"

namespace morbizet {

namespace {

// H' * psi is formed in slices of this many amplitudes (1 MiB).
constexpr std::uint64_t kSlice = std::uint64_t{1} << 16;

}  // namespace

StateBuffer apply_hamiltonian(const GroupedPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                              const Checkpoint& checkpoint) {
  const std::uint64_t dim = h.dim();
  StateBuffer out = allocate_state(dim);
  h.apply_nonidentity(psi, out.get(), num_threads, checkpoint);
  add_scaled(psi, out.get(), dim, h.identity_coeff(), num_threads);
  return out;
}

cdouble expectation_value(const GroupedPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                          const Checkpoint& checkpoint) {
  const std::uint64_t dim = h.dim();
  const std::uint64_t slice = std::min({dim, kSlice, checkpoint_slice(dim, h.num_words())});
  const std::uint64_t leaf = sum_block_size(dim);
  StateBuffer part = allocate_state(slice);
  std::vector<double> re, im, norm;
  const SliceSource whole{psi, 0, 0};
  for (std::uint64_t begin = 0; begin < dim; begin += slice) {
    if (begin > 0) checkpoint();
    h.accumulate(0, h.groups().size(), &whole, 0, dim - 1, part.get(), begin, slice, true, num_threads);
    const std::vector<double> r = block_dots(psi + begin, part.get(), slice, leaf, false, num_threads);
    const std::vector<double> i = block_dots(psi + begin, part.get(), slice, leaf, true, num_threads);
    const std::vector<double> s = block_sums_abs2(psi + begin, slice, leaf, num_threads);
    re.insert(re.end(), r.begin(), r.end());
    im.insert(im.end(), i.begin(), i.end());
    norm.insert(norm.end(), s.begin(), s.end());
  }
  const cdouble bra_h_ket{pairwise_sum(re.data(), re.size()), pairwise_sum(im.data(), im.size())};
  const double norm2 = pairwise_sum(norm.data(), norm.size());
  const cdouble s = h.identity_coeff();
  return {bra_h_ket.real() + s.real() * norm2, bra_h_ket.imag() + s.imag() * norm2};
}

}  // namespace morbizet
