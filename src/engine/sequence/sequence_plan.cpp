// Cutting a gate sequence into runs and choosing each run's block set.

#include "engine/sequence/sequence_plan.hpp"

#include <algorithm>
#include <bit>

#include "engine/pool/worker_pool.hpp"

namespace korvel {

namespace {

// Pieces of at least 2^5 consecutive amplitudes (512 B, eight cache lines) when a block is
// gathered over high qubits. Random U3 layers with CNOT ladders at 24 qubits: 2^3 (more room,
// 35 runs against 38) took 186 sweeps against 159; 2^4 took 129, within the noise of the loaded
// machine it was measured on.
constexpr std::uint32_t min_contiguous_bits = 5;

// How far past the first gate it leaves behind a run looks for gates that may join it: enough
// for a layer of 29 gates and its ladder of controlled flips, while a plan of n gates stays
// within n · 256 steps.
constexpr std::size_t lookahead_gates = 256;


std::uint64_t low_mask(std::uint32_t bits) {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// `need` plus the lowest qubits outside it, up to `bits` qubits in all.
std::uint64_t fill_low(std::uint64_t need, std::uint32_t bits, std::uint32_t qubits) {
    std::uint64_t set = need;
    for (std::uint32_t q = 0; q < qubits && std::popcount(set) < static_cast<int>(bits); ++q) {
        set |= std::uint64_t{1} << q;
    }
    return set;
}

}  // namespace

BlockShape block_shape(std::uint32_t qubits) {
    // Such a state stays in cache anyway, and its passes run on the calling thread alone.
    if (qubits <= serial_qubits) return {qubits, qubits};
    // At least two blocks, so that both threads have one.
    const std::uint32_t bits = std::min(max_block_bits, qubits - 1);
    return {bits, std::min(min_contiguous_bits, bits)};
}

std::uint64_t qubits_needed(const SequenceGate& gate) {
    if (gate.wide != nullptr) return gate.wide->kind() == WideKind::diagonal ? 0 : gate.wide->target_mask();
    return is_diagonal(gate.gate.kind()) ? 0 : std::uint64_t{1} << gate.target;
}

Footprint footprint(const SequenceGate& gate) {
    const bool only_moves = gate.wide != nullptr ? gate.wide->only_moves() : gate.gate.kind() == GateKind::flip;
    return {gate.controls | gate.target_mask(), only_moves};
}

bool commute_exactly(const Footprint& a, const Footprint& b) {
    return (a.qubits & b.qubits) == 0 && (a.only_moves || b.only_moves);
}

bool commute_exactly(const SequenceGate& a, const SequenceGate& b) {
    return commute_exactly(footprint(a), footprint(b));
}

void plan_sequence(std::uint32_t qubits, std::span<const SequenceGate> gates, BlockShape shape,
                   SequencePlan& plan, GateOrder order) {
    plan.order.clear();
    plan.runs.clear();
    if (gates.empty()) return;
    if (shape.block_bits >= qubits) {
        for (std::size_t i = 0; i < gates.size(); ++i) plan.order.push_back(i);
        plan.runs.push_back({0, gates.size(), low_mask(qubits)});
        return;
    }
    // Qubits a run may add beside the contiguous low ones.
    const std::uint64_t contiguous = low_mask(shape.contiguous_bits);
    const int room = static_cast<int>(shape.block_bits - shape.contiguous_bits);
    const std::uint64_t every_qubit = low_mask(qubits);
    std::vector<std::size_t>& waiting = plan.waiting;
    waiting.clear();
    for (std::size_t i = 0; i < gates.size(); ++i) waiting.push_back(i);
    while (!waiting.empty()) {
        const std::size_t begin = plan.order.size();
        std::uint64_t need = 0;
        // The gates left behind in this scan, as one: a later gate may pass them only if it
        // commutes exactly with each, which is to commute with their union.
        Footprint left{0, true};
        std::size_t first_left = waiting.size();
        std::size_t kept = 0;
        std::size_t i = 0;
        for (; i < waiting.size(); ++i) {
            if (first_left < i && (left.qubits == every_qubit || i - first_left > lookahead_gates)) break;
            const SequenceGate& gate = gates[waiting[i]];
            const Footprint on = footprint(gate);
            const std::uint64_t with = need | qubits_needed(gate);
            const bool fits = std::popcount(with & ~contiguous) <= room || plan.order.size() == begin;
            const bool passes = first_left == waiting.size() || commute_exactly(on, left) ||
                                (order == GateOrder::disjoint && (on.qubits & left.qubits) == 0);
            if (fits && passes) {
                plan.order.push_back(waiting[i]);
                need = with;
                continue;
            }
            if (first_left == waiting.size()) first_left = i;
            left = {left.qubits | on.qubits, left.only_moves && on.only_moves};
            waiting[kept++] = waiting[i];
        }
        for (; i < waiting.size(); ++i) waiting[kept++] = waiting[i];
        waiting.resize(kept);
        plan.runs.push_back({begin, plan.order.size(), fill_low(need, shape.block_bits, qubits)});
    }
}

}  // namespace korvel
