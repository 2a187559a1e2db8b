#pragma once

// The gates of a run as they act on one gathered block of amplitudes: pair passes over the
// block's own qubit numbers, or multiplications of the amplitudes a diagonal gate changes.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/base/complex.hpp"
#include "engine/kernels/gate_pass.hpp"
#include "engine/kernels/wide_pass.hpp"
#include "engine/sequence/sequence_gate.hpp"

namespace korvel {

// One gate of a run as it acts on a gathered block: a pair pass over the block's own qubit
// numbers, or, for a diagonal gate, a multiplication of the amplitudes it changes.
struct BlockStep {
    std::uint64_t select = 0;     // register qubits outside the block set that must all be 1
    std::optional<GatePass> pass; // the pair pass within the block; empty for a scaling step
    const GateMatrix* entries = nullptr;  // the pass's matrix
    // Scaling: the amplitudes whose block bits `mask` equal `value` are multiplied by factor0,
    // or by factor1 in blocks where the target (outside the set) is 1: bit `factor_select`.
    std::uint64_t mask = 0;
    std::uint64_t value = 0;
    std::uint64_t factor_select = 0;
    Complex factor0{};
    Complex factor1{};
    // The same step on one sub-block of 2^sub_block_bits consecutive amplitudes of the block,
    // when each of its pairs lies inside one (`local`): the pass over the sub-block's own bits,
    // or the scaling restricted to them, applied where the sub-block's offset in the block,
    // masked by local_mask, equals local_value (its controls, or its scaled half, above them).
    bool local = false;
    std::optional<GatePass> local_pass;
    std::uint64_t local_mask = 0;
    std::uint64_t local_value = 0;
    // A wide gate: its pass over the block's own qubit numbers (and over a sub-block's when
    // local), on the targets the block holds. A diagonal one may leave targets outside the set:
    // `outside` holds their matrix bits, whose values each block's offset fixes.
    const WideGate* wide = nullptr;
    std::optional<WidePass> wide_pass;
    std::optional<WidePass> local_wide_pass;
    std::uint32_t outside = 0;
};

// Sub-blocks of 2^10 amplitudes (16 KiB, half the L1 data cache of the AMD hosts and a third of
// this Xeon's 48 KiB): a group of consecutive local steps is applied sub-block by sub-block, so
// that each pass after the first reads L1 instead of L2. H at 24 qubits, 2 threads: 1.86 ms a
// gate on targets 0-9 against 2.96 on targets 10-14. Sub-blocks of 2^11 were no faster (H
// layers 176 against 181 ms, U3 layers 1,855 against 1,836 ms).
inline constexpr std::uint32_t sub_block_bits = 10;

// Whether the step acts on the block at register offset `base`.
inline bool selected(const BlockStep& step, std::uint64_t base) { return (base & step.select) == step.select; }

// The one place a gate becomes a pass, over the whole register or over a block's own qubit
// numbers.
GatePass gate_pass(const SequenceGate& gate, std::uint32_t qubits, std::uint32_t target,
                   std::uint64_t controls);

// Appends the steps of `gate` on blocks of 2^bits amplitudes gathered over the register qubits
// in `set`.
void add_steps(const SequenceGate& gate, std::uint64_t set, std::uint32_t bits, std::vector<BlockStep>& steps);

// Applies the steps in order to the block at register offset `base` (its qubits outside the set).
void apply_steps(Complex* block, std::uint32_t bits, std::uint64_t base, std::span<const BlockStep> steps);

}  // namespace korvel
