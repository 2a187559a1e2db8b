// The planner on its own: runs cover the sequence, gates change places only with gates they
// commute with exactly, block sets are bounded and hold what each gate needs, and known
// circuits cost the expected number of sweeps.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "circuit_support.hpp"
#include "engine/sequence/sequence_plan.hpp"

namespace {

using korvel::BlockShape;
using korvel::SequenceGate;
using korvel::SequenceRun;
using namespace korvel::testing;

const korvel::QGate hadamard_like = matrix({0.6, 0.0}, {0.8, 0.0}, {0.8, 0.0}, {-0.6, 0.0});
const korvel::QGate phase_gate = matrix({1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 1.0});

std::uint64_t bit(std::uint32_t q) { return std::uint64_t{1} << q; }

korvel::SequencePlan planned(std::uint32_t n, const std::vector<SequenceGate>& gates, BlockShape shape,
                             korvel::GateOrder order = korvel::GateOrder::exact) {
    korvel::SequencePlan made;
    korvel::plan_sequence(n, gates, shape, made, order);
    return made;
}

std::vector<SequenceRun> plan(std::uint32_t n, const std::vector<SequenceGate>& gates, BlockShape shape,
                              korvel::GateOrder order = korvel::GateOrder::exact) {
    return planned(n, gates, shape, order).runs;
}

std::vector<SequenceGate> h_layers(std::uint32_t n, int layers) {
    std::vector<SequenceGate> gates;
    for (int l = 0; l < layers; ++l) {
        for (std::uint32_t q = 0; q < n; ++q) gates.push_back({hadamard_like, q, 0});
    }
    return gates;
}

// H on the highest qubit first, then its controlled phases from every lower qubit.
std::vector<SequenceGate> fourier(std::uint32_t n) {
    std::vector<SequenceGate> gates;
    for (std::uint32_t j = n; j-- > 0;) {
        gates.push_back({hadamard_like, j, 0});
        for (std::uint32_t k = j; k-- > 0;) gates.push_back({phase_gate, j, bit(k)});
    }
    return gates;
}

// Layers of a general gate on every qubit, each followed by a ladder of controlled flips.
std::vector<SequenceGate> layers_with_ladders(std::uint32_t n, int layers) {
    std::vector<SequenceGate> gates;
    for (int l = 0; l < layers; ++l) {
        for (std::uint32_t q = 0; q < n; ++q) gates.push_back({hadamard_like, q, 0});
        for (std::uint32_t q = 0; q + 1 < n; ++q) gates.push_back({bit_flip, q + 1, bit(q)});
    }
    return gates;
}

void expect_sound(std::uint32_t n, const std::vector<SequenceGate>& gates, BlockShape shape,
                  korvel::GateOrder order = korvel::GateOrder::exact) {
    const korvel::SequencePlan made = planned(n, gates, shape, order);
    // Every gate exactly once, and a gate ahead of an earlier one only if the two commute exactly
    // (or, in the disjoint order, share no qubit).
    ASSERT_EQ(made.order.size(), gates.size());
    std::vector<std::size_t> position(gates.size(), gates.size());
    for (std::size_t k = 0; k < made.order.size(); ++k) {
        ASSERT_LT(made.order[k], gates.size());
        ASSERT_EQ(position[made.order[k]], gates.size()) << "gate " << made.order[k] << " twice";
        position[made.order[k]] = k;
    }
    for (std::size_t i = 0; i < gates.size(); ++i) {
        for (std::size_t j = i + 1; j < gates.size(); ++j) {
            if (position[j] < position[i]) {
                const bool disjoint = (korvel::footprint(gates[i]).qubits & korvel::footprint(gates[j]).qubits) == 0;
                ASSERT_TRUE(korvel::commute_exactly(gates[i], gates[j]) ||
                            (order == korvel::GateOrder::disjoint && disjoint))
                    << "gate " << j << " before " << i;
            }
        }
    }
    std::size_t next = 0;
    const std::uint32_t bits = std::min(shape.block_bits, n);
    for (const SequenceRun& run : made.runs) {
        // The runs cut the order into consecutive, non-empty pieces.
        ASSERT_EQ(run.begin, next);
        ASSERT_LT(run.begin, run.end);
        next = run.end;
        EXPECT_EQ(std::popcount(run.block_qubits), static_cast<int>(bits));
        EXPECT_EQ(run.block_qubits >> n, 0u);
        const std::uint64_t contiguous = bit(std::min(shape.contiguous_bits, bits)) - 1;
        EXPECT_EQ(run.block_qubits & contiguous, contiguous);
        for (std::size_t k = run.begin; k < run.end; ++k) {
            const std::uint64_t need = korvel::qubits_needed(gates[made.order[k]]);
            EXPECT_EQ(run.block_qubits & need, need) << "gate " << made.order[k];
        }
    }
    EXPECT_EQ(next, gates.size());
}

TEST(SequencePlan, RandomSequencesAreCoveredWithBoundedBlockSets) {
    std::mt19937_64 rng(3);
    for (const std::uint32_t n : {1u, 4u, 9u, 16u, 24u, 29u}) {
        for (const BlockShape shape : {BlockShape{3, 1}, BlockShape{6, 2}, korvel::block_shape(n)}) {
            std::vector<SequenceGate> gates;
            for (int i = 0; i < 200; ++i) {
                const auto target = static_cast<std::uint32_t>(rng() % n);
                const std::uint64_t controls = (rng() & (bit(n) - 1)) & ~bit(target) & rng() & rng();
                const korvel::QGate& gate = rng() % 3 == 0 ? phase_gate : rng() % 2 == 0 ? bit_flip : hadamard_like;
                gates.push_back({gate, target, controls});
            }
            expect_sound(n, gates, shape);
            expect_sound(n, gates, shape, korvel::GateOrder::disjoint);
        }
    }
}

TEST(SequencePlan, DiagonalTargetsAndControlsNeedNoRoom) {
    // Phases and controls anywhere fit in one run with a single high target.
    std::vector<SequenceGate> gates{{hadamard_like, 20, bit(23)}};
    for (std::uint32_t q = 0; q < 24; ++q) gates.push_back({phase_gate, q, q == 0 ? 0 : bit(q - 1)});
    EXPECT_EQ(plan(24, gates, {4, 2}).size(), 1u);
}

TEST(SequencePlan, ARegisterWithinOneBlockIsOneRun) {
    const auto runs = plan(12, layers_with_ladders(12, 3), korvel::block_shape(12));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].block_qubits, bit(12) - 1);
}

TEST(SequencePlan, NoGatesNoRuns) { EXPECT_TRUE(plan(20, {}, korvel::block_shape(20)).empty()); }

// Sweeps (runs) of the benchmark circuits at 24 qubits with the engine's shape: 2^15-amplitude
// blocks, 5 contiguous qubits, room for 10 more per run.
TEST(SequencePlan, SweepsOfKnownCircuitsAt24Qubits) {
    const BlockShape shape = korvel::block_shape(24);
    ASSERT_EQ(shape.block_bits, 15u);
    ASSERT_EQ(shape.contiguous_bits, 5u);
    // Layer 1: qubits 0..14, then 15..23 with layer 2's 0..5, then 6..15, then 16..23.
    EXPECT_EQ(plan(24, h_layers(24, 2), shape).size(), 4u);
    // Only the Hadamards need room: 23..14 in one run, 13..0 in the next.
    EXPECT_EQ(plan(24, fourier(24), shape).size(), 2u);
    // Each layer needs qubits 5..23 twice (the gates, then the ladder's targets) with room for
    // 10 at a time. The ladder's flips below qubit 15 join the run of the layer's low gates,
    // ahead of its high gates: two runs per layer but the first.
    const auto ladders = plan(24, layers_with_ladders(24, 10), shape);
    EXPECT_EQ(ladders.size(), 19u);
    expect_sound(24, layers_with_ladders(24, 10), shape);
    // Free to pass gates on other qubits, layer 2's low Hadamards join layer 1's first run.
    EXPECT_EQ(plan(24, h_layers(24, 2), shape, korvel::GateOrder::disjoint).size(), 2u);
    EXPECT_LT(plan(24, layers_with_ladders(24, 10), shape, korvel::GateOrder::disjoint).size(), 19u);
    expect_sound(24, layers_with_ladders(24, 10), shape, korvel::GateOrder::disjoint);
}

TEST(SequencePlan, OnlyPermutationsTradePlacesAndOnlyWithGatesOnOtherQubits) {
    const korvel::QGate general = matrix({0.6, 0.0}, {0.0, 0.8}, {0.0, 0.8}, {0.6, 0.0});
    const SequenceGate flip{bit_flip, 1, bit(0)};
    EXPECT_TRUE(korvel::commute_exactly(flip, {general, 3, bit(2)}));
    EXPECT_TRUE(korvel::commute_exactly({general, 3, 0}, flip));
    // A shared qubit, control or target, keeps the order; so do two gates that both compute.
    EXPECT_FALSE(korvel::commute_exactly(flip, {general, 0, 0}));
    EXPECT_FALSE(korvel::commute_exactly(flip, {general, 3, bit(1)}));
    EXPECT_FALSE(korvel::commute_exactly({general, 3, 0}, {general, 4, 0}));
    EXPECT_FALSE(korvel::commute_exactly({phase_gate, 3, 0}, {general, 4, 0}));
}

}  // namespace
