#pragma once

// The cache-blocked executor behind apply_gate_sequence, for callers that hold the state lock
// already (a register settling its queued passes) and must not allocate while they do.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/base/complex.hpp"
#include "engine/sequence/block_steps.hpp"
#include "engine/sequence/sequence_plan.hpp"

namespace korvel {

// The plan and the per-run steps of a sequence, kept between sequences so that a caller that
// reserved room once allocates nothing after.
struct SequenceWorkspace {
    SequencePlan plan;
    std::vector<BlockStep> steps;

    // Room for a sequence of `gates` gates (throws std::bad_alloc).
    void reserve(std::size_t gates) {
        plan.reserve(gates);
        steps.reserve(2 * gates);
    }
};

// Applies the gates in order to the 2^qubits amplitudes, bit for bit as one pass per gate. The
// caller holds the state lock and has validated every gate. Allocates nothing once the
// workspace has room for gates.size() gates and the process's block buffers exist. `shape`
// (block_shape(qubits) unless a test asks for smaller blocks) has block_bits <= max_block_bits.
void run_gate_sequence(Complex* amplitudes, std::uint32_t qubits,
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace,
                       GateOrder order = GateOrder::exact);
void run_gate_sequence(Complex* amplitudes, std::uint32_t qubits,
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace,
                       BlockShape shape, GateOrder order = GateOrder::exact);

// Allocates the process's block buffers if they do not exist yet, so that a caller can have them
// before it takes a state lock. Without the memory, runs fall back to one pass per gate.
void reserve_block_buffers();

// One pass per gate over the whole register, allocating nothing.
void run_unblocked(Complex* amplitudes, std::uint32_t qubits, std::span<const SequenceGate> gates);

}  // namespace korvel
