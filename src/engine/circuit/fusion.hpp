#pragma once

// Gate fusion for the runner: a pure, deterministic plan over a program that merges runs of
// unconditional gates into single steps on at most two qubits (diagonal gates into diagonals
// on up to five), where the measured kernel costs say the merged gate is cheaper than its parts. The fused matrices are products taken in
// program order with the engine's own complex arithmetic, so they are the same bits on every
// run, thread count and instruction set; they agree with the unfused gates to rounding.
// A fused program also runs with GateOrder::disjoint (fused_gate_order), so that the cache
// blocks may take gates out of program order where they share no qubit.

#include <cstdint>
#include <vector>

#include "engine/circuit/program.hpp"
#include "engine/sequence/sequence_plan.hpp"

namespace korvel::circuit {

// Measured in blocks of a 24-qubit state (2 threads, AVX-512), as sweeps per gate: a dense
// two-qubit gate 0.86-0.9, a general one-qubit gate 0.35, a diagonal or an X pattern about 0.2,
// a diagonal or permutation on two qubits 0.5. Merging three or more qubits into one dense
// gate costs 1.8 sweeps and more, above most of what it would replace.
inline constexpr std::uint32_t max_fused_qubits = 2;
// A diagonal pass costs about the same on two qubits as on five (one product per amplitude),
// so runs of diagonal gates merge up to the widest step: a ring of rzz becomes a quarter as many
// passes.
inline constexpr std::uint32_t max_fused_diagonal_qubits = max_wide_targets;

// The steps with every run of unconditional gate steps fused; measurements, resets, jumps and
// conditional steps stay where they are and end the runs around them, and so does every step a
// jump continues at (the jumps are renumbered to the fused steps). Throws AllocationFailure.
std::vector<Step> fuse_steps(const std::vector<Step>& steps);

// How the gate sequences of a program run: fused, disjoint gates may trade places in the plan.
// Measured through the runner at 22 qubits, fused, program order against this (2 threads, AMD
// EPYC, other builds on the machine): two H layers 36 -> 19 ms, U3 layers with CX ladders
// 442 -> 254 ms, the Heisenberg chain 892 -> 553 ms, quantum volume 1161 -> 1063 ms.
constexpr GateOrder fused_gate_order(bool fused) { return fused ? GateOrder::disjoint : GateOrder::exact; }

}  // namespace korvel::circuit
