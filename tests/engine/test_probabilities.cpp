#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "circuit_support.hpp"
#include "engine/sequence/apply_gate.hpp"
#include "engine/state/probabilities.hpp"
#include "engine/state/register.hpp"

namespace {

using korvel::apply_gate;
using korvel::Complex;
using korvel::Register;
using namespace korvel::testing;
using Indices = std::vector<std::uint32_t>;

std::vector<double> one_hot(std::size_t size, std::size_t index) {
    std::vector<double> values(size, 0.0);
    values[index] = 1.0;
    return values;
}

class FreshRegister : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FreshRegister, HasAllWeightOnIndexZero) {
    const Register reg = Register::create(GetParam());
    EXPECT_EQ(probabilities_of(reg), one_hot(std::size_t{1} << GetParam(), 0));
}

INSTANTIATE_TEST_SUITE_P(Qubits, FreshRegister, ::testing::Values(0u, 1u, 2u, 5u, 15u, 16u));

TEST(Probabilities, ElementsAreUnnormalisedSquaredMagnitudes) {
    struct Case {
        double entry;
        double expected;
    };
    for (const Case c : {Case{0.7071067811865475, 0.4999999999999999},
                         Case{0.7071067811865476, 0.5000000000000001}}) {
        Register reg = Register::create(1);
        apply_gate(reg, matrix({c.entry, 0}, {c.entry, 0}, {c.entry, 0}, {-c.entry, 0}), Indices{0}, {});
        EXPECT_EQ(probabilities_of(reg), (std::vector<double>{c.expected, c.expected}));
    }
}

TEST(Probabilities, EveryElementIsExactlyItsSquaredMagnitude) {
    // Every element must be real*real + imag*imag, also for NaN, infinite and tiny parts.
    constexpr std::uint32_t n = 17;
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    std::vector<Complex> state(std::size_t{1} << n);
    for (Complex& a : state) a = {value(rng), value(rng)};
    state[5] = {std::numeric_limits<double>::quiet_NaN(), 0.0};
    state[6] = {std::numeric_limits<double>::infinity(), 1.0};
    state[7] = {1e-170, -1e-170};
    Register reg = Register::create(n);
    set_amplitudes(reg, state);

    const std::vector<double> result = probabilities_of(reg);
    ASSERT_EQ(result.size(), state.size());
    for (std::size_t k = 0; k < state.size(); ++k) {
        const double expected = state[k].real * state[k].real + state[k].imag * state[k].imag;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(result[k]), std::bit_cast<std::uint64_t>(expected)) << k;
    }
    const std::vector<double> again = probabilities_of(reg);
    EXPECT_EQ(0, std::memcmp(again.data(), result.data(), result.size() * sizeof(double)))
        << "a second call must not change anything";
    EXPECT_TRUE(same_bits(amplitudes_of(reg), state));
}

TEST(Probabilities, PoisonedRegisterFailsEveryTime) {
    Register reg = Register::create(3);
    poison(reg);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(failure_message([&] { (void)probabilities_of(reg); }), poison_message);
    }
}

}  // namespace
