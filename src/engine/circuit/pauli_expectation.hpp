#pragma once

// Exact expectation values of Pauli strings, read from a register's amplitudes in place.

#include <cstdint>
#include <span>

#include "engine/state/register.hpp"

namespace korvel::circuit {

// out[j] = <psi| P_j |psi> with P_j = i^popcount(x_j & z_j) · X^x_j · Z^z_j (a qubit with both
// bits set carries Y), not divided by <psi|psi>. Each value is one pass with a reduction whose
// split depends only on the register size, so it is the same on every run and thread count.
// Throws InvalidInput when the lengths differ or a mask names a qubit outside the register.
void pauli_expectations(const Register& reg, std::span<const std::uint64_t> x_masks,
                        std::span<const std::uint64_t> z_masks, std::span<double> out);

}  // namespace korvel::circuit
