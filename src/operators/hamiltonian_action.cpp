// The action of the non-identity part of a Hamiltonian on a state vector.

#include <algorithm>
#include <bit>

#include "morbizet/hamiltonian.hpp"
#include "kernels/parallel.hpp"

namespace morbizet {

namespace {

// -v, by flipping the sign bits of both parts (never a subtraction, so -0 and NaNs
// come out the same on every path).
inline cdouble flip_sign(cdouble v, std::uint64_t sign_bit) {
  return {std::bit_cast<double>(std::bit_cast<std::uint64_t>(v.real()) ^ sign_bit),
          std::bit_cast<double>(std::bit_cast<std::uint64_t>(v.imag()) ^ sign_bit)};
}

}  // namespace

void PauliWord::apply_add(const cdouble* in, cdouble* out, std::int32_t num_threads) const {
  const std::uint64_t x = x_mask_;
  const std::uint64_t z = z_mask_;
  const cdouble s0 = phased_coeff_;
  parallel_for(static_cast<std::int64_t>(dim_), num_threads, [=](std::int64_t idx) {
    const auto i = static_cast<std::uint64_t>(idx);
    const std::uint64_t j = i ^ x;
    // coeff*P|i> = (-1)^popcount(i & z) * phased_coeff * |i ^ x>; the sign is applied to
    // the sign bits without a branch, since a data-dependent branch here mispredicts
    // half the time.
    const std::uint64_t sign_bit = static_cast<std::uint64_t>(std::popcount(i & z) & 1) << 63;
    const cdouble t = cmul(flip_sign(s0, sign_bit), in[i]);
    out[j] = {t.real() + out[j].real(), t.imag() + out[j].imag()};
  });
}

void Hamiltonian::apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const {
  apply_pauli_sum(active_words_, in, out, dim_, num_threads);
}

}  // namespace morbizet
