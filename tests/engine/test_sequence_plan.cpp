// The planner on its own: runs cover the sequence in order, block sets are bounded and hold
// what each gate needs, and known circuits cost the expected number of sweeps.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "circuit_support.hpp"
#include "engine/sequence_plan.hpp"

namespace {

using korvel::BlockShape;
using korvel::SequenceGate;
using korvel::SequenceRun;
using namespace korvel::testing;

const korvel::QGate hadamard_like = matrix({0.6, 0.0}, {0.8, 0.0}, {0.8, 0.0}, {-0.6, 0.0});
const korvel::QGate phase_gate = matrix({1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 1.0});

std::uint64_t bit(std::uint32_t q) { return std::uint64_t{1} << q; }

std::vector<SequenceRun> plan(std::uint32_t n, const std::vector<SequenceGate>& gates, BlockShape shape) {
    std::vector<SequenceRun> runs;
    korvel::plan_sequence(n, gates, shape, runs);
    return runs;
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

void expect_sound(std::uint32_t n, const std::vector<SequenceGate>& gates, BlockShape shape) {
    const std::vector<SequenceRun> runs = plan(n, gates, shape);
    std::size_t next = 0;
    const std::uint32_t bits = std::min(shape.block_bits, n);
    for (const SequenceRun& run : runs) {
        // Every gate in exactly one run, in order, no run empty.
        ASSERT_EQ(run.begin, next);
        ASSERT_LT(run.begin, run.end);
        next = run.end;
        EXPECT_EQ(std::popcount(run.block_qubits), static_cast<int>(bits));
        EXPECT_EQ(run.block_qubits >> n, 0u);
        const std::uint64_t contiguous = bit(std::min(shape.contiguous_bits, bits)) - 1;
        EXPECT_EQ(run.block_qubits & contiguous, contiguous);
        for (std::size_t i = run.begin; i < run.end; ++i) {
            const std::uint64_t need = korvel::qubits_needed(gates[i]);
            EXPECT_EQ(run.block_qubits & need, need) << "gate " << i;
        }
    }
    EXPECT_EQ(next, gates.size());
}

TEST(SequencePlan, RandomSequencesAreCoveredInOrderWithBoundedBlockSets) {
    std::mt19937_64 rng(3);
    for (const std::uint32_t n : {1u, 4u, 9u, 16u, 24u, 29u}) {
        for (const BlockShape shape : {BlockShape{3, 1}, BlockShape{6, 2}, korvel::block_shape(n)}) {
            std::vector<SequenceGate> gates;
            for (int i = 0; i < 200; ++i) {
                const auto target = static_cast<std::uint32_t>(rng() % n);
                const std::uint64_t controls = (rng() & (bit(n) - 1)) & ~bit(target) & rng() & rng();
                gates.push_back({rng() % 3 == 0 ? phase_gate : hadamard_like, target, controls});
            }
            expect_sound(n, gates, shape);
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
    // 10 at a time: about 4 runs per layer.
    const auto ladders = plan(24, layers_with_ladders(24, 10), shape);
    EXPECT_EQ(ladders.size(), 38u);
    expect_sound(24, layers_with_ladders(24, 10), shape);
}

}  // namespace
