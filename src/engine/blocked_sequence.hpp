#pragma once

// The cache-blocked executor behind apply_gate_sequence, for callers that hold the state lock
// already (a register settling its queued passes) and must not allocate while they do.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/complex.hpp"
#include "engine/gate_sequence.hpp"
#include "engine/kernels/gate_pass.hpp"
#include "engine/sequence_plan.hpp"

namespace korvel {

// One gate of a run as it acts on a gathered block: a pair pass over the block's own qubit
// numbers, or, for a diagonal gate, a multiplication of the amplitudes it changes.
struct BlockStep {
    std::uint64_t select;         // register qubits outside the block set that must all be 1
    std::optional<GatePass> pass; // the pair pass within the block; empty for a scaling step
    const GateMatrix* entries;    // the pass's matrix
    // Scaling: the amplitudes whose block bits `mask` equal `value` are multiplied by factor0,
    // or by factor1 in blocks where the target (outside the set) is 1: bit `factor_select`.
    std::uint64_t mask;
    std::uint64_t value;
    std::uint64_t factor_select;
    Complex factor0;
    Complex factor1;
    // The same step on one sub-block of 2^sub_block_bits consecutive amplitudes of the block,
    // when each of its pairs lies inside one (`local`): the pass over the sub-block's own bits,
    // or the scaling restricted to them, applied where the sub-block's offset in the block,
    // masked by local_mask, equals local_value (its controls, or its scaled half, above them).
    bool local;
    std::optional<GatePass> local_pass;
    std::uint64_t local_mask;
    std::uint64_t local_value;
};

// Sub-blocks of 2^10 amplitudes (16 KiB, half the L1 data cache of the AMD hosts and a third of
// this Xeon's 48 KiB): a group of consecutive local steps is applied sub-block by sub-block, so
// that each pass after the first reads L1 instead of L2. H at 24 qubits, 2 threads: 1.86 ms a
// gate on targets 0-9 against 2.96 on targets 10-14. Sub-blocks of 2^11 were no faster (H
// layers 176 against 181 ms, U3 layers 1,855 against 1,836 ms).
inline constexpr std::uint32_t sub_block_bits = 10;

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
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace);
void run_gate_sequence(Complex* amplitudes, std::uint32_t qubits,
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace,
                       BlockShape shape);

// One pass per gate over the whole register, allocating nothing.
void run_unblocked(Complex* amplitudes, std::uint32_t qubits, std::span<const SequenceGate> gates);

}  // namespace korvel
