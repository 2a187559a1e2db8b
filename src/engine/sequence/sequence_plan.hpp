#pragma once

// The plan of a cache-blocked gate sequence: the sequence cut into runs, and for each run the
// qubits whose amplitudes are gathered into one block. Within a block every gate of the run
// finds both amplitudes of each of its pairs, so a run costs one sweep of the state however
// many gates it holds. Pure: it looks at targets, controls and exact zeros, never at amplitudes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/gates/gate.hpp"
#include "engine/sequence/sequence_gate.hpp"

namespace korvel {

// Blocks of 2^block_bits amplitudes, each made of pieces of 2^contiguous_bits consecutive
// amplitudes at least (the qubits 0 … contiguous_bits−1 are always in the block's set).
struct BlockShape {
    std::uint32_t block_bits;
    std::uint32_t contiguous_bits;
};

// The largest block: 2^15 amplitudes, 512 KiB, a quarter of this machine's 2 MiB L2 per core
// and half of the 1 MiB L2 of the AMD hosts. Random U3 layers with CNOT ladders at 24 qubits:
// blocks of 2^14 and 2^16 were no faster (191 and 176 sweeps against 159, on a loaded machine).
inline constexpr std::uint32_t max_block_bits = 15;

// The shape the executor uses for a register of `qubits` qubits.
BlockShape block_shape(std::uint32_t qubits);

// The qubits a block must span for this gate: its target, unless the gate is diagonal (it
// multiplies each amplitude by one entry, so a block may hold its target fixed).
// Controls never need to: one outside the set is fixed within a block and selects whole blocks.
std::uint64_t qubits_needed(const SequenceGate& gate);

// The gates order[begin] … order[end−1] applied block by block over the qubits in
// block_qubits (2^block_bits amplitudes per block; every qubit when the register is no larger
// than one block).
struct SequenceRun {
    std::size_t begin;
    std::size_t end;
    std::uint64_t block_qubits;
};

// What decides whether gates may trade places: the qubits they act on (targets and controls),
// and whether they only move amplitudes (a controlled X). The union of several gates' footprints
// commutes with a gate exactly when each of them does.
struct Footprint {
    std::uint64_t qubits;
    bool only_moves;
};

Footprint footprint(const SequenceGate& gate);

// Two gates that may trade places with the same results to the last bit: they share no qubit
// and one of them only moves amplitudes. The other gate then computes the same products of the
// same inputs, only at other positions.
bool commute_exactly(const Footprint& a, const Footprint& b);
bool commute_exactly(const SequenceGate& a, const SequenceGate& b);

// Which gates the plan may let trade places. `exact` keeps every value bit for bit as one pass
// per gate in the order given (commute_exactly): the korvel module, and the runner without
// fusion. `disjoint` also lets gates that share no qubit pass each other: they commute, but the
// sums of their products are rounded in the other order, so results agree to rounding. The
// plan stays a pure function of the gates, so its bits are still the same on every run and
// thread count: the runner's promise with fusion on.
enum class GateOrder { exact, disjoint };

// A plan: the order the gates are applied in, cut into runs.
struct SequencePlan {
    std::vector<std::size_t> order;
    std::vector<SequenceRun> runs;
    std::vector<std::size_t> waiting;  // the planner's own room: gates not yet in a run

    // Room for a sequence of `gates` gates (throws std::bad_alloc).
    void reserve(std::size_t gates) {
        order.reserve(gates);
        runs.reserve(gates);
        waiting.reserve(gates);
    }
};

// Cuts the gates into runs, each as long as the block set can hold every qubit its gates need
// beside the contiguous low qubits. A later gate joins a run ahead of gates left for the next
// one when it commutes exactly with each of them (with GateOrder::disjoint, when it shares no
// qubit with any of them); otherwise the order is kept. Replaces what
// `plan` held. With room reserved for gates.size() gates, it allocates nothing.
void plan_sequence(std::uint32_t qubits, std::span<const SequenceGate> gates, BlockShape shape,
                   SequencePlan& plan, GateOrder order = GateOrder::exact);

}  // namespace korvel
