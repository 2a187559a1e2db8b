#pragma once

// Gradients of Pauli-sum expectation values by the adjoint method: one forward run of a gate
// program, then one backward sweep per cotangent that undoes the gates on two states and reads
// each parametrised gate's generator between them.
//
// A parametrised step k with matrix U_k(θ) is described by its generator G_k, a Hermitian Pauli
// sum over the step's target and controls with dU_k/dθ = -i G_k U_k (so U_k = exp(-iθ G_k) up
// to a constant factor that commutes with it: RX(θ) has G = X/2, a controlled RX has
// G = X_t (I - Z_c) / 4). Then for ψ = U_N … U_1 |0…0> and a Hermitian O,
//     d<ψ|O|ψ>/dθ_k = 2 Im <λ_k| G_k |φ_k>,
// φ_k = U_k … U_1 |0…0> and λ_k = U_{k+1}† … U_N† O ψ. The sweep reaches each φ_k and λ_k from
// the last step backwards by applying inverse gates (the conjugate transposes), so the steps
// must be unitary; the program decoder does not test that.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/circuit/program.hpp"

namespace korvel::circuit {

// One term c · P, P = i^popcount(x & z) X^x Z^z (a qubit with both bits carries Y), which is
// Hermitian, so a real c keeps the sum Hermitian.
struct PauliTerm {
    std::uint64_t x;
    std::uint64_t z;
    double coefficient;
};

// Several Pauli sums in one list: sum j holds terms[offsets[j]] to terms[offsets[j + 1] - 1].
// An empty sum is the zero operator.
struct PauliSums {
    std::vector<PauliTerm> terms;
    std::vector<std::size_t> offsets{0};

    std::size_t count() const noexcept { return offsets.size() - 1; }
    std::span<const PauliTerm> sum(std::size_t j) const noexcept {
        return std::span<const PauliTerm>(terms).subspan(offsets[j], offsets[j + 1] - offsets[j]);
    }
};

inline constexpr std::size_t pauli_term_size = 32;

// Decodes 32-byte little-endian term records (u64 x mask, u64 z mask, f64 coefficient, u64
// group) into `groups` sums: a record joins sum `group`, and groups never decrease along the
// list. `name` names the argument in every refusal: InvalidInput("<name>[K]: ...") for the
// first record at fault (a mask naming a qubit outside `qubits`, a coefficient that is not
// finite, a group out of range or out of order).
PauliSums decode_pauli_terms(std::span<const std::byte> bytes, const char* name, std::size_t groups,
                             std::uint32_t qubits);

// A gate program with the positions of its parametrised steps and their generators.
struct AdjointProgram {
    std::uint32_t qubits;
    std::vector<Step> steps;                 // gate steps only, unconditional
    std::vector<std::uint64_t> parametrised; // step indices, strictly ascending
    PauliSums generators;                    // generators.sum(j) belongs to steps[parametrised[j]]
};

// Refuses (InvalidInput naming the argument) parametrised positions that are not strictly
// ascending step indices, a generator count other than one per position, and a generator
// whose terms act outside its step's target and controls.
void check_adjoint_program(const AdjointProgram& program);

// values[o] = <ψ|O_o|ψ> and jacobian[o · P + j] = d<ψ|O_o|ψ>/dθ_j for the P parametrised
// steps: one forward run, then one sweep per observable. Holds three states at most (two when
// there is one observable). The same bits on every run and thread count.
void adjoint_jacobian(const AdjointProgram& program, const PauliSums& observables, std::span<double> values,
                      std::span<double> jacobian);

// out[j] = Σ_o cotangent[o] · d<ψ|O_o|ψ>/dθ_j: one forward run and one sweep with the combined
// bra Σ_o cotangent[o] O_o ψ, never the Jacobian. Two states. Throws InvalidInput when the
// cotangent's length differs from the observable count or an element is not finite.
void adjoint_vjp(const AdjointProgram& program, const PauliSums& observables, std::span<const double> cotangent,
                 std::span<double> out);

}  // namespace korvel::circuit
