#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "circuit_support.hpp"
#include "engine/sequence/apply_gate.hpp"
#include "engine/kernels/scalar_kernel.hpp"
#include "engine/state/register.hpp"

namespace {

using korvel::apply_gate;
using korvel::Complex;
using korvel::PairLayout;
using korvel::QGate;
using korvel::Register;
using namespace korvel::testing;
using Indices = std::vector<std::uint32_t>;

// The operation as first described: every pair index, i0 by inserting a zero bit, the control
// test on i0 one control at a time, each product written out with the matrix entry on the left.
// Controls of 64 and more count as never set.
void reference_apply(std::vector<Complex>& state, std::uint32_t n, const QGate& gate,
                     const Indices& targets, const Indices& controls) {
    const auto product = [](Complex x, Complex u) {
        return Complex{x.real * u.real - x.imag * u.imag, x.real * u.imag + x.imag * u.real};
    };
    const auto sum = [](Complex x, Complex y) { return Complex{x.real + y.real, x.imag + y.imag}; };
    for (const std::uint32_t t : targets) {
        ASSERT_LT(t, n);
        const std::uint32_t low = (std::uint32_t{1} << t) - 1;
        for (std::uint32_t p = 0; p < (std::uint32_t{1} << (n - 1)); ++p) {
            const std::uint32_t i0 = (p & low) | ((p & ~low) << 1);
            const std::uint32_t i1 = i0 | (std::uint32_t{1} << t);
            bool pass = true;
            for (const std::uint32_t c : controls) pass = pass && c < 64 && ((std::uint64_t{i0} >> c) & 1);
            if (!pass) continue;
            const Complex a0 = state[i0], a1 = state[i1];
            state[i0] = sum(product(gate.entry(0, 0), a0), product(gate.entry(0, 1), a1));
            state[i1] = sum(product(gate.entry(1, 0), a0), product(gate.entry(1, 1), a1));
        }
    }
}

std::vector<Complex> basis(std::uint32_t n, std::size_t index) {
    std::vector<Complex> state(std::size_t{1} << n, Complex{0.0, 0.0});
    state[index] = {1.0, 0.0};
    return state;
}

// ---- pair enumeration ------------------------------------------------------------------------

TEST(PairLayout, ThreeQubitPairTable) {
    const std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> table = {
        {{0, 1}, {2, 3}, {4, 5}, {6, 7}},
        {{0, 2}, {1, 3}, {4, 6}, {5, 7}},
        {{0, 4}, {1, 5}, {2, 6}, {3, 7}},
    };
    for (std::uint32_t t = 0; t < 3; ++t) {
        const PairLayout layout(3, t, 0);
        ASSERT_EQ(layout.count(), 4u);
        for (std::uint64_t p = 0; p < 4; ++p) {
            const std::uint64_t i0 = layout.index0(p);
            EXPECT_EQ(std::make_pair(i0, i0 | layout.target_bit()), table[t][p]) << "t=" << t << " p=" << p;
        }
    }
}

TEST(PairLayout, ControlsKeepOnlyPairsWithEveryControlBitSet) {
    // Target 1 with controls {0, 3} on 5 qubits: i0 has bit 1 clear, bits 0 and 3 set.
    const PairLayout layout(5, 1, 0b01001);
    ASSERT_EQ(layout.count(), 4u);
    const std::vector<std::uint64_t> expected = {0b01001, 0b01101, 0b11001, 0b11101};
    for (std::uint64_t q = 0; q < 4; ++q) EXPECT_EQ(layout.index0(q), expected[q]);
}

// ---- the behaviour, case by case -------------------------------------------------------------

struct GateCase {
    const char* name;
    std::uint32_t qubits;
    std::size_t start;
    Indices targets;
    Indices controls;
    std::size_t expected;
};

class BitFlipCases : public ::testing::TestWithParam<GateCase> {};

TEST_P(BitFlipCases, MovesTheBasisStateAsExpected) {
    const GateCase& c = GetParam();
    Register reg = Register::create(c.qubits);
    set_amplitudes(reg, basis(c.qubits, c.start));
    apply_gate(reg, bit_flip, c.targets, c.controls);
    EXPECT_TRUE(same_bits(amplitudes_of(reg), basis(c.qubits, c.expected)));
}

INSTANTIATE_TEST_SUITE_P(
    ControlsAndTargets, BitFlipCases,
    ::testing::Values(
        GateCase{"qubit0_is_lowest_bit", 2, 0, {0}, {}, 1},
        GateCase{"qubit1", 2, 0, {1}, {}, 2},
        GateCase{"control_set", 2, 1, {1}, {0}, 3},
        GateCase{"control_clear", 2, 0, {1}, {0}, 0},
        GateCase{"control_is_target", 2, 1, {1}, {1}, 1},
        GateCase{"control_above_qubits", 3, 7, {0}, {5}, 7},
        GateCase{"control_equal_qubits", 3, 7, {0}, {3}, 7},
        GateCase{"control_63", 3, 7, {0}, {63}, 7},
        GateCase{"control_64_is_not_bit_0", 3, 1, {1}, {64}, 1},
        GateCase{"control_65_refuses_despite_set_bit_1", 3, 3, {2}, {65, 0}, 3},
        GateCase{"control_max", 3, 7, {0}, {0xFFFFFFFFu}, 7},
        GateCase{"duplicate_controls", 3, 3, {2}, {0, 1, 0, 1}, 7},
        GateCase{"repeated_target_cancels", 2, 0, {0, 0}, {}, 0},
        GateCase{"two_targets", 3, 0, {0, 2}, {}, 5},
        GateCase{"empty_targets_ignore_controls", 3, 6, {}, {9, 100}, 6},
        GateCase{"ghz_style_controls", 3, 1, {1, 2}, {0}, 7},
        GateCase{"single_pair", 1, 0, {0}, {}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ApplyGate, TargetOutsideRangeFailsAfterEarlierTargetsWereApplied) {
    Register reg = Register::create(3);
    EXPECT_EQ(failure_message([&] { apply_gate(reg, bit_flip, Indices{0, 3, 1}, {}); }),
              "Target(s) outside qubit range");
    // Qubit 0 was flipped and stays flipped; target 1, after the refused one, was never looked at.
    EXPECT_TRUE(same_bits(amplitudes_of(reg), basis(3, 1)));
    EXPECT_FALSE(reg.state().poisoned());
}

TEST(ApplyGate, TargetOutsideRangeIsRefusedEvenWhenControlsEmptyEveryPass) {
    Register reg = Register::create(3);
    EXPECT_EQ(failure_message([&] { apply_gate(reg, bit_flip, Indices{5}, Indices{7}); }),
              "Target(s) outside qubit range");
    EXPECT_EQ(failure_message([&] { apply_gate(reg, bit_flip, Indices{64}, {}); }),
              "Target(s) outside qubit range");
}

TEST(ApplyGate, ZeroQubitRegisterRefusesEveryTarget) {
    Register reg = Register::create(0);
    EXPECT_EQ(failure_message([&] { apply_gate(reg, bit_flip, Indices{0}, {}); }),
              "Target(s) outside qubit range");
    EXPECT_TRUE(same_bits(amplitudes_of(reg), basis(0, 0)));
}

TEST(ApplyGate, NonUnitaryProjectionScalesAndClears) {
    Register reg = Register::create(2);
    const std::vector<Complex> start = {{0.5, 0.25}, {-0.5, 1.0}, {0.125, -2.0}, {3.0, 0.0}};
    set_amplitudes(reg, start);
    apply_gate(reg, matrix({2.0, 0.0}, {0, 0}, {0, 0}, {0, 0}), Indices{1}, {});
    const std::vector<Complex> expected = {{1.0, 0.5}, {-1.0, 2.0}, {0.0, 0.0}, {0.0, 0.0}};
    EXPECT_TRUE(same_bits(amplitudes_of(reg), expected));
}

// ---- bit-exact agreement with the reference, serial and parallel passes ----------------------

Complex random_complex(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> value(-1.5, 1.5);
    return {value(rng), value(rng)};
}

class RandomCircuits : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RandomCircuits, MatchReferenceArithmeticBitForBit) {
    const std::uint32_t n = GetParam();
    std::mt19937_64 rng(0x5eed0000u + n);
    std::vector<Complex> state(std::size_t{1} << n);
    for (Complex& a : state) a = random_complex(rng);
    Register reg = Register::create(n);
    set_amplitudes(reg, state);
    // Large registers cost a full sweep per target: fewer steps there.
    const int steps = n > 12 ? 6 : 40;
    for (int step = 0; step < steps; ++step) {
        const QGate gate = matrix(random_complex(rng), random_complex(rng), random_complex(rng),
                                  random_complex(rng));
        Indices targets, controls;
        for (int k = std::uniform_int_distribution<int>(1, 3)(rng); k > 0; --k) {
            targets.push_back(std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng));
        }
        for (int k = std::uniform_int_distribution<int>(0, 3)(rng); k > 0; --k) {
            // Mostly valid qubits, sometimes n .. n+2 or a control of 64 and more.
            const std::uint32_t pick = std::uniform_int_distribution<std::uint32_t>(0, n + 3)(rng);
            controls.push_back(pick == n + 3 ? 64 + pick : pick);
        }
        reference_apply(state, n, gate, targets, controls);
        apply_gate(reg, gate, targets, controls);
        ASSERT_TRUE(same_bits(amplitudes_of(reg), state)) << "step " << step;
    }
}

// 16 and 17 qubits go past the serial grain and run on the pool, also with one control.
INSTANTIATE_TEST_SUITE_P(Qubits, RandomCircuits,
                         ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 16u, 17u));

// ---- a poisoned register ---------------------------------------------------------------------

TEST(ApplyGatePoisoned, PassesThatTouchNoPairReturnNormally) {
    Register reg = Register::create(3);
    poison(reg);
    EXPECT_NO_THROW(apply_gate(reg, bit_flip, Indices{}, Indices{0}));
    EXPECT_NO_THROW(apply_gate(reg, bit_flip, Indices{0, 1}, Indices{5}));
    EXPECT_NO_THROW(apply_gate(reg, bit_flip, Indices{2}, Indices{2}));
    EXPECT_NO_THROW(apply_gate(reg, bit_flip, Indices{1}, Indices{0, 64}));
}

TEST(ApplyGatePoisoned, PassesThatTouchPairsFailWithThePoisonMessage) {
    Register reg = Register::create(3);
    poison(reg);
    EXPECT_EQ(failure_message([&] { apply_gate(reg, bit_flip, Indices{0}, {}); }), poison_message);
    EXPECT_EQ(failure_message([&] { apply_gate(reg, bit_flip, Indices{1}, Indices{0, 2}); }),
              poison_message);
    // The target test comes before the lock.
    EXPECT_EQ(failure_message([&] { apply_gate(reg, bit_flip, Indices{3}, {}); }),
              "Target(s) outside qubit range");
}

TEST(ApplyGatePoisoned, OtherRegistersKeepWorking) {
    Register poisoned = Register::create(2);
    poison(poisoned);
    Register healthy = Register::create(2);
    apply_gate(healthy, bit_flip, Indices{1}, {});
    EXPECT_TRUE(same_bits(amplitudes_of(healthy), basis(2, 2)));
}

}  // namespace
