// Pauli expectation values as sums over amplitude pairs.
//
// P|k> = i^c (-1)^popcount(k & z) |k ^ x> with c = popcount(x & z), so
// <psi|P|psi> = i^c Σ_k s_k conj(psi[k ^ x]) psi[k], s_k = (-1)^popcount(k & z).
// With x = 0 that is Σ_k s_k |psi[k]|^2. Otherwise the terms of k and k ^ x pair up: for c even
// they add to 2 s_k Re(conj(psi[k ^ x]) psi[k]), for c odd to 2i s_k Im(…), so one real sum over
// the indices k with x's highest bit clear gives the value, times ±2.

#include "engine/circuit/pauli_expectation.hpp"

#include <bit>
#include <string>

#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/state_access.hpp"
#include "engine/kernels/subset_indices.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel::circuit {

namespace {

inline double parity_sign(std::uint64_t k, std::uint64_t z) {
    return (std::popcount(k & z) & 1) != 0 ? -1.0 : 1.0;
}

void refuse_outside(const char* name, std::size_t j, std::uint64_t mask, std::uint32_t qubits) {
    if ((mask >> qubits) == 0) return;
    const auto qubit = qubits + static_cast<std::uint32_t>(std::countr_zero(mask >> qubits));
    throw InvalidInput(std::string(name) + "[" + std::to_string(j) + "] names qubit " + std::to_string(qubit) +
                       ", out of range for " + std::to_string(qubits) + (qubits == 1 ? " qubit" : " qubits"));
}

double diagonal_expectation(std::span<const Complex> psi, std::uint64_t z) {
    return parallel_reduce_ranges(
        0, psi.size(), serial_grain, 0.0,
        [&](std::uint64_t first, std::uint64_t last, double sum) {
            for (std::uint64_t k = first; k < last; ++k) sum += parity_sign(k, z) * norm_sqr(psi[k]);
            return sum;
        },
        [](double left, double right) { return left + right; });
}

double paired_expectation(std::span<const Complex> psi, std::uint32_t qubits, std::uint64_t x, std::uint64_t z) {
    const std::uint64_t top = std::uint64_t{1} << (63 - std::countl_zero(x));
    const SubsetIndices pairs(qubits, top, 0);
    const int phase = std::popcount(x & z) & 3;
    const bool imaginary = (phase & 1) != 0;
    const double sum = parallel_reduce_ranges(
        0, pairs.count(), serial_grain / 2, 0.0,
        [&](std::uint64_t first, std::uint64_t last, double sum) {
            std::uint64_t k = pairs.at(first);
            for (std::uint64_t u = first; u < last; ++u, k = pairs.next(k)) {
                const Complex a = psi[k];
                const Complex b = psi[k ^ x];
                // conj(b) · a
                const double part = imaginary ? b.real * a.imag - b.imag * a.real : b.real * a.real + b.imag * a.imag;
                sum += parity_sign(k, z) * part;
            }
            return sum;
        },
        [](double left, double right) { return left + right; });
    // i^c · 2 Re for c = 0, 2; i^c · 2i Im = 2 i^(c+1) Im for c = 1, 3.
    const double factor = (phase == 0 || phase == 3) ? 2.0 : -2.0;
    return factor * sum;
}

}  // namespace

void pauli_expectations(const Register& reg, std::span<const std::uint64_t> x_masks,
                        std::span<const std::uint64_t> z_masks, std::span<double> out) {
    if (x_masks.size() != z_masks.size()) {
        throw InvalidInput("x_masks and z_masks differ in length (" + std::to_string(x_masks.size()) + " and " +
                           std::to_string(z_masks.size()) + ")");
    }
    for (std::size_t j = 0; j < x_masks.size(); ++j) {
        refuse_outside("x_masks", j, x_masks[j], reg.qubits());
        refuse_outside("z_masks", j, z_masks[j], reg.qubits());
    }
    read_locked(reg, [&](std::span<const Complex> psi) {
        for (std::size_t j = 0; j < x_masks.size(); ++j) {
            out[j] = x_masks[j] == 0 ? diagonal_expectation(psi, z_masks[j])
                                     : paired_expectation(psi, reg.qubits(), x_masks[j], z_masks[j]);
        }
    });
}

}  // namespace korvel::circuit
