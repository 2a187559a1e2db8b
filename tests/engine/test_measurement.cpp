#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "circuit_support.hpp"
#include "engine/sequence/apply_gate.hpp"
#include "engine/readout/measurement.hpp"
#include "engine/state/register.hpp"
#include "engine/readout/weighted_draw.hpp"

namespace {

using korvel::apply_gate;
using korvel::Complex;
using korvel::measure;
using korvel::measure_all;
using korvel::Register;
using korvel::weighted_draw;
using namespace korvel::testing;
using Indices = std::vector<std::uint32_t>;

constexpr double h = 0.7071067811865476;
const korvel::QGate hadamard = matrix({h, 0}, {h, 0}, {h, 0}, {-h, 0});

// The random value handed to the draws under test, and how many were taken.
std::uint64_t next_bits = 0;
int draws_taken = 0;
std::uint64_t fixed_source() {
    ++draws_taken;
    return next_bits;
}
std::uint32_t measure_with(Register& reg, std::uint32_t target, std::uint64_t bits) {
    next_bits = bits;
    return measure(reg, target, fixed_source);
}
std::uint32_t measure_all_with(const Register& reg, std::uint64_t bits) {
    next_bits = bits;
    return measure_all(reg, fixed_source);
}
std::size_t weighted_draw_with(const std::vector<double>& weights, std::uint64_t bits) {
    next_bits = bits;
    return weighted_draw(weights, fixed_source);
}

constexpr std::uint64_t lowest = 0;
constexpr std::uint64_t highest = ~std::uint64_t{0};
// U = 1/2 exactly.
constexpr std::uint64_t half = std::uint64_t{1} << 63;

Register with_state(std::uint32_t n, const std::vector<Complex>& state) {
    Register reg = Register::create(n);
    set_amplitudes(reg, state);
    return reg;
}

// ---- measure ---------------------------------------------------------------------------------

TEST(Measure, FreshRegisterGivesZeroAndStaysPut) {
    for (const std::uint32_t n : {1u, 3u, 5u}) {
        Register reg = Register::create(n);
        const auto before = amplitudes_of(reg);
        for (std::uint32_t k = 0; k < n; ++k) EXPECT_EQ(measure(reg, k), 0u);
        EXPECT_TRUE(same_bits(amplitudes_of(reg), before));
    }
}

TEST(Measure, BasisStateReadsItsBits) {
    Register reg = Register::create(3);
    apply_gate(reg, bit_flip, Indices{0}, {});
    const auto before = amplitudes_of(reg);
    EXPECT_EQ(measure(reg, 0), 1u);
    EXPECT_EQ(measure(reg, 1), 0u);
    EXPECT_EQ(measure(reg, 2), 0u);
    EXPECT_TRUE(same_bits(amplitudes_of(reg), before));
}

TEST(Measure, CollapseScalesTheDrawnOutcomeByItsOwnWeight) {
    // Unnormalised: outcome weights 0.25 + 2.25 (qubit 0 clear) and 4 + 1 (qubit 0 set).
    const std::vector<Complex> start = {{0.5, 0}, {0, 2}, {0, -1.5}, {1, 0}};
    for (const auto& [bits, outcome] : {std::pair{lowest, 0u}, std::pair{highest, 1u}}) {
        Register reg = with_state(2, start);
        draws_taken = 0;
        EXPECT_EQ(measure_with(reg, 0, bits), outcome);
        EXPECT_EQ(draws_taken, 1);
        const Complex factor{1.0 / std::sqrt(outcome == 0 ? 2.5 : 5.0), 0.0};
        const Complex zero{0.0, 0.0};
        const Complex m00 = outcome == 0 ? factor : zero, m11 = outcome == 1 ? factor : zero;
        std::vector<Complex> expected(4);
        for (std::size_t i0 : {0, 2}) {
            expected[i0] = m00 * start[i0] + zero * start[i0 + 1];
            expected[i0 + 1] = zero * start[i0] + m11 * start[i0 + 1];
        }
        EXPECT_TRUE(same_bits(amplitudes_of(reg), expected));
        const auto p = probabilities_of(reg);
        EXPECT_NEAR(p[0] + p[1] + p[2] + p[3], 1.0, 1e-15);
        // The other outcome's weight is now zero: it can never be drawn again.
        EXPECT_EQ(measure_with(reg, 0, outcome == 0 ? highest : lowest), outcome);
    }
}

TEST(Measure, ChosenWeightEqualToTheFirstGoesToOutcomeOne) {
    Register reg = with_state(1, {{0.5, 0.5}, {0.5, -0.5}});  // p0 = p1 = 0.5 exactly
    EXPECT_EQ(measure_with(reg, 0, half - 1), 0u);
    reg = with_state(1, {{0.5, 0.5}, {0.5, -0.5}});
    EXPECT_EQ(measure_with(reg, 0, half), 1u);
}

TEST(Measure, ZeroWeightOutcomeIsNeverDrawn) {
    Register zero_only = with_state(2, {{0, 0}, {0, 0}, {1, 0}, {0, 0}});
    EXPECT_EQ(measure_with(zero_only, 0, highest), 0u);
    Register one_only = with_state(2, {{0, 0}, {0, 0}, {0, 0}, {1, 0}});
    EXPECT_EQ(measure_with(one_only, 0, lowest), 1u);
}

TEST(Measure, SuperpositionGivesBothOutcomes) {
    int ones = 0;
    constexpr int trials = 400;
    for (int i = 0; i < trials; ++i) {
        Register reg = Register::create(2);
        apply_gate(reg, hadamard, Indices{0}, {});
        const std::uint32_t outcome = measure(reg, 0);
        ones += static_cast<int>(outcome);
        const auto p = probabilities_of(reg);
        EXPECT_EQ(p[outcome ^ 1], 0.0);
        EXPECT_EQ(measure(reg, 0), outcome);
    }
    // Mean 200, standard deviation 10.
    EXPECT_GT(ones, 120);
    EXPECT_LT(ones, 280);
}

struct OutsideTarget {
    std::uint32_t qubits;
    std::uint32_t target;
    std::string message;
};

class MeasureOutsideTarget : public ::testing::TestWithParam<OutsideTarget> {};

TEST_P(MeasureOutsideTarget, IsRefusedBeforeAnyPassOrDraw) {
    const auto& c = GetParam();
    Register reg = Register::create(c.qubits);
    if (c.qubits > 0) apply_gate(reg, hadamard, Indices{0}, {});
    const auto before = amplitudes_of(reg);
    draws_taken = 0;
    const Failure failure = failure_of([&] { (void)measure_with(reg, c.target, lowest); });
    EXPECT_EQ(failure.message, c.message);
    EXPECT_EQ(notice_count(failure.notices), 1u) << failure.notices;
    EXPECT_EQ(draws_taken, 0);
    EXPECT_FALSE(reg.state().poisoned());
    EXPECT_TRUE(same_bits(amplitudes_of(reg), before));
}

const std::string out_of_bounds = "index out of bounds: the len is ";

INSTANTIATE_TEST_SUITE_P(
    Measure, MeasureOutsideTarget,
    ::testing::Values(OutsideTarget{3, 3, out_of_bounds + "8 but the index is 8"},
                      OutsideTarget{3, 5, out_of_bounds + "8 but the index is 32"},
                      OutsideTarget{3, 31, out_of_bounds + "8 but the index is 2147483648"},
                      OutsideTarget{3, 32, "Target(s) outside qubit range"},
                      OutsideTarget{3, 34, "Target(s) outside qubit range"},
                      OutsideTarget{3, 35, out_of_bounds + "8 but the index is 8"},
                      OutsideTarget{3, 63, out_of_bounds + "8 but the index is 2147483648"},
                      OutsideTarget{3, 0xFFFFFFFFu, out_of_bounds + "8 but the index is 2147483648"},
                      OutsideTarget{0, 0, out_of_bounds + "1 but the index is 1"},
                      OutsideTarget{0, 32, out_of_bounds + "1 but the index is 1"},
                      OutsideTarget{1, 64, "Target(s) outside qubit range"}));

// ---- refused weights, for both operations ------------------------------------------------------

struct BadState {
    const char* name;
    std::vector<Complex> state;
    const char* message;
};

class BadStates : public ::testing::TestWithParam<BadState> {};

TEST_P(BadStates, FailWithoutDrawingOrPoisoning) {
    const auto& c = GetParam();
    Register reg = with_state(1, c.state);
    draws_taken = 0;
    EXPECT_EQ(failure_message([&] { (void)measure_with(reg, 0, lowest); }), c.message);
    EXPECT_EQ(failure_message([&] { (void)measure_all_with(reg, lowest); }), c.message);
    EXPECT_EQ(draws_taken, 0);
    EXPECT_FALSE(reg.state().poisoned());
    EXPECT_TRUE(same_bits(amplitudes_of(reg), c.state));
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Measurement, BadStates,
    ::testing::Values(
        BadState{"nan", {{1, 0}, {nan, 0}}, "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        BadState{"nan_with_infinity", {{inf, 0}, {0, nan}}, "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        BadState{"all_zero", {{0, 0}, {-0.0, 0}}, "called `Result::unwrap()` on an `Err` value: AllWeightsZero"},
        BadState{"underflow_to_zero", {{1e-200, 0}, {0, 1e-170}}, "called `Result::unwrap()` on an `Err` value: AllWeightsZero"},
        BadState{"infinite", {{inf, 0}, {1, 0}}, "Uniform::new: range overflow"},
        BadState{"overflowing_total", {{1e154, 0}, {0, 1.3e154}}, "Uniform::new: range overflow"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- measure_all -------------------------------------------------------------------------------

TEST(MeasureAll, FreshAndBasisStates) {
    EXPECT_EQ(measure_all(Register::create(0)), 0u);
    EXPECT_EQ(measure_all(Register::create(4)), 0u);
    Register reg = Register::create(3);
    apply_gate(reg, bit_flip, Indices{0}, {});
    for (int i = 0; i < 20; ++i) EXPECT_EQ(measure_all(reg), 1u);
}

TEST(MeasureAll, TakesOneValueAndLeavesTheStateAlone) {
    Register reg = Register::create(2);
    apply_gate(reg, hadamard, Indices{0, 1}, {});
    const auto before = amplitudes_of(reg);
    draws_taken = 0;
    (void)measure_all_with(reg, half);
    EXPECT_EQ(draws_taken, 1);
    EXPECT_TRUE(same_bits(amplitudes_of(reg), before));
}

TEST(MeasureAll, SuperpositionGivesBothOutcomesEvenly) {
    Register reg = Register::create(1);
    apply_gate(reg, hadamard, Indices{0}, {});
    int ones = 0;
    for (int i = 0; i < 2000; ++i) ones += static_cast<int>(measure_all(reg));
    EXPECT_GT(ones, 800);  // mean 1000, standard deviation about 22
    EXPECT_LT(ones, 1200);
}

// States whose weights are small integers sum exactly in any order, so measure_all must agree
// with the draw over the whole probability vector for every random value. Their total is a power
// of two, so a random value can put the chosen weight exactly on a running sum (a tie).
std::vector<Complex> integer_weight_state(std::uint32_t n, std::mt19937_64& rng) {
    const std::vector<Complex> choices = {{0, 0}, {0, 0}, {0, 0}, {1, 0}, {1, 1}, {0, 2}};
    std::vector<Complex> state(std::size_t{1} << n, Complex{0, 0});
    std::uniform_int_distribution<std::size_t> pick(0, choices.size() - 1);
    for (Complex& a : state) a = choices[pick(rng)];
    state.back() = {0, 0};   // the last position has weight zero
    state.front() = {1, 0};  // and the total is never zero
    const auto weight = [](Complex a) { return static_cast<std::uint64_t>(korvel::norm_sqr(a)); };
    std::uint64_t total = 0;
    for (const Complex a : state) total += weight(a);
    const std::uint64_t goal = std::bit_floor(total);
    for (std::size_t i = state.size() - 1; total > goal; --i) {
        total -= weight(state[i]);
        state[i] = {0, 0};
    }
    for (std::size_t i = state.size() - 2; total < goal; --i) {
        if (weight(state[i]) == 0) {
            state[i] = {1, 0};
            ++total;
        }
    }
    return state;
}

class MeasureAllAgreesWithTheDraw : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(MeasureAllAgreesWithTheDraw, ForEveryRandomValueIncludingTies) {
    const std::uint32_t n = GetParam();
    std::mt19937_64 rng(n * 7919u);
    const Register reg = with_state(n, integer_weight_state(n, rng));
    const std::vector<double> p = probabilities_of(reg);

    std::vector<std::uint64_t> values = {lowest, highest, half, half - 1, 1};
    for (int i = 0; i < 40; ++i) values.push_back(rng());
    // Values whose x lands exactly on a running sum, where a tie must go up.
    double total = 0;
    for (const double w : p) total += w;
    const double scale = korvel::uniform_scale(total);
    ASSERT_EQ(scale, total);
    double running = 0;
    for (std::size_t i = 0; i + 1 < p.size(); ++i) {
        running += p[i];
        // A sample of running sums, and every one that ends a chunk of the scan.
        const bool sampled = i % (1 + p.size() / 32) == 0 || (i + 1) % 16384 == 0;
        if (!sampled || running >= total) continue;
        // running / total is a multiple of 2^-52 since the total is a power of two.
        values.push_back(static_cast<std::uint64_t>(running / total * 0x1p52) << 12);
        ASSERT_EQ(korvel::unit_from_bits(values.back()) * scale, running);
    }
    for (const std::uint64_t bits : values) {
        const std::uint32_t drawn = measure_all_with(reg, bits);
        ASSERT_EQ(drawn, weighted_draw_with(p, bits)) << "bits " << bits;
        ASSERT_GT(p[drawn], 0.0);
    }
}

// 15 and 17 qubits span several chunks of the scan.
INSTANTIATE_TEST_SUITE_P(MeasureAll, MeasureAllAgreesWithTheDraw,
                         ::testing::Values(0u, 1u, 2u, 3u, 8u, 14u, 15u, 17u));

TEST(MeasureAll, RoundingBetweenChunksNeverYieldsAZeroWeight) {
    // Chunk 0 holds weight 1 at index 0, chunk 1 four weights of 2^-54: their chunk sum 2^-52
    // lifts the total above 1, but added one by one onto 1 each of them rounds away. The largest
    // draw then lies in chunk 1 by the chunk sums and in no element by the running sum.
    constexpr std::uint32_t n = 15;
    std::vector<Complex> state(std::size_t{1} << n, Complex{0, 0});
    state[0] = {1, 0};
    for (std::size_t i = 16384; i < 16388; ++i) state[i] = {0x1p-27, 0};
    const Register reg = with_state(n, state);
    for (const std::uint64_t bits : {lowest, half, highest - (std::uint64_t{1} << 12), highest}) {
        const std::uint32_t drawn = measure_all_with(reg, bits);
        EXPECT_TRUE(drawn == 0 || (drawn >= 16384 && drawn < 16388)) << drawn;
    }
}

// ---- a poisoned register ---------------------------------------------------------------------

TEST(MeasurementPoisoned, EveryDrawFailsWithThePoisonMessage) {
    Register reg = Register::create(3);
    poison(reg);
    draws_taken = 0;
    EXPECT_EQ(failure_message([&] { (void)measure_with(reg, 0, lowest); }), poison_message);
    EXPECT_EQ(failure_message([&] { (void)measure_all_with(reg, lowest); }), poison_message);
    EXPECT_EQ(draws_taken, 0);
    // The target test needs no lock.
    EXPECT_EQ(failure_message([&] { (void)measure(reg, 3); }), out_of_bounds + "8 but the index is 8");
}

}  // namespace
