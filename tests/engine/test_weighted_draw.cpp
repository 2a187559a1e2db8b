#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "circuit_support.hpp"
#include "engine/readout/weighted_draw.hpp"

namespace {

using korvel::uniform_scale;
using korvel::unit_from_bits;
using korvel::weighted_draw;
using namespace korvel::testing;
using Weights = std::vector<double>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t largest_bits = ~std::uint64_t{0};

// The random value whose U is exactly k × 2^-52.
constexpr std::uint64_t bits_for_unit_steps(std::uint64_t k) { return k << 12; }

// A source that counts how often it is asked.
int draws_taken = 0;
std::uint64_t counting_source() {
    ++draws_taken;
    return 0;
}

// The draw with the given random value.
std::uint64_t next_bits = 0;
std::size_t weighted_draw_with(const Weights& weights, std::uint64_t bits) {
    next_bits = bits;
    return weighted_draw(weights, +[] { return next_bits; });
}

// ---- refusals, in the order the weights are examined -----------------------------------------

struct Refusal {
    const char* name;
    Weights weights;
    const char* message;
};

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, FailWithoutTakingARandomValue) {
    draws_taken = 0;
    EXPECT_EQ(failure_message([&] { (void)weighted_draw(GetParam().weights, counting_source); }),
              GetParam().message);
    EXPECT_EQ(draws_taken, 0);
}

INSTANTIATE_TEST_SUITE_P(
    WeightedDraw, Refusals,
    ::testing::Values(
        Refusal{"empty", {}, "called `Result::unwrap()` on an `Err` value: NoItem"},
        Refusal{"nan_first", {nan, 1.0}, "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        Refusal{"negative_later", {1.0, -0.5}, "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        Refusal{"nan_before_infinite_total", {inf, nan}, "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        Refusal{"nan_after_zeros", {0.0, 0.0, nan}, "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        Refusal{"negative_infinity", {-inf}, "called `Result::unwrap()` on an `Err` value: InvalidWeight"},
        Refusal{"all_zero", {0.0, -0.0, 0.0}, "called `Result::unwrap()` on an `Err` value: AllWeightsZero"},
        Refusal{"single_zero", {0.0}, "called `Result::unwrap()` on an `Err` value: AllWeightsZero"},
        Refusal{"infinite_weight", {1.0, inf}, "Uniform::new: range overflow"},
        Refusal{"total_overflows", {1.7e308, 1.7e308}, "Uniform::new: range overflow"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WeightedDraw, AcceptedWeightsTakeExactlyOneRandomValue) {
    draws_taken = 0;
    (void)weighted_draw(Weights{0.25, 0.75}, counting_source);
    EXPECT_EQ(draws_taken, 1);
}

// ---- positions -------------------------------------------------------------------------------

struct Draw {
    const char* name;
    Weights weights;
    std::uint64_t bits;
    std::size_t position;
};

class Draws : public ::testing::TestWithParam<Draw> {};

TEST_P(Draws, PickThePositionOfTheChosenWeight) {
    EXPECT_EQ(weighted_draw_with(GetParam().weights, GetParam().bits), GetParam().position);
}

INSTANTIATE_TEST_SUITE_P(
    WeightedDraw, Draws,
    ::testing::Values(
        // T = 1 gives S = 1 and x = U exactly.
        Draw{"lowest", {0.5, 0.5}, 0, 0},
        Draw{"just_below_bound", {0.5, 0.5}, bits_for_unit_steps((1ull << 51) - 1), 0},
        Draw{"tie_goes_up", {0.5, 0.5}, bits_for_unit_steps(1ull << 51), 1},
        Draw{"tie_on_a_later_bound", {0.25, 0.25, 0.5}, bits_for_unit_steps(1ull << 51), 2},
        Draw{"lower_12_bits_ignored", {0.5, 0.5}, bits_for_unit_steps(1ull << 51) - 1, 0},
        Draw{"leading_zero_never_wins", {0.0, 1.0}, 0, 1},
        Draw{"zero_in_the_middle_never_wins", {0.5, 0.0, 0.5}, bits_for_unit_steps(1ull << 51), 2},
        Draw{"trailing_zero_never_wins", {0.5, 0.5, 0.0}, largest_bits, 1},
        Draw{"trailing_zeros_never_win", {1.0, 0.0, 0.0, 0.0}, largest_bits, 0},
        Draw{"single_weight", {3.0}, largest_bits, 0},
        Draw{"unnormalised", {2.0, 6.0}, bits_for_unit_steps(1ull << 50), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WeightedDraw, SubnormalTotalStillPicksANonzeroWeight) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    for (const std::uint64_t bits : {std::uint64_t{0}, largest_bits}) {
        EXPECT_EQ(weighted_draw_with(Weights{0.0, tiny, 0.0}, bits), 1u);
    }
}

// ---- the scale --------------------------------------------------------------------------------

class Scales : public ::testing::TestWithParam<double> {};

TEST_P(Scales, LargestValueKeepingEveryDrawBelowTheTotal) {
    const double total = GetParam();
    const double scale = uniform_scale(total);
    const double largest_unit = unit_from_bits(largest_bits);
    ASSERT_EQ(largest_unit, 1.0 - 0x1p-52);
    EXPECT_LE(scale, total);
    EXPECT_LT(scale * largest_unit, total);
    const double next = std::nextafter(scale, inf);
    EXPECT_TRUE(next > total || next * largest_unit >= total) << "a larger scale would still do";
}

INSTANTIATE_TEST_SUITE_P(WeightedDraw, Scales,
                         ::testing::Values(1.0, 0.9999999999999999, 1.0000000000000002, 3.0, 0.1,
                                           1e300, 1.7976931348623157e308, 2.2250738585072014e-308,
                                           std::numeric_limits<double>::denorm_min(), 1e-320));

TEST(WeightedDraw, InfiniteTotalHasNoScale) {
    EXPECT_EQ(failure_message([] { (void)uniform_scale(inf); }), "Uniform::new: range overflow");
}

}  // namespace
