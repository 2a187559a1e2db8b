#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>

#include "engine/base/number_format.hpp"

namespace {

using korvel::format_double;

struct Formatted {
    double value;
    const char* text;
};

void PrintTo(const Formatted& f, std::ostream* out) { *out << '"' << f.text << '"'; }

class FormatDouble : public ::testing::TestWithParam<Formatted> {};

TEST_P(FormatDouble, WritesExpectedText) {
    EXPECT_EQ(format_double(GetParam().value), GetParam().text);
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    ZeroAndNonFinite, FormatDouble,
    ::testing::Values(Formatted{0.0, "0.0"}, Formatted{-0.0, "-0.0"}, Formatted{nan, "NaN"},
                      Formatted{-nan, "NaN"}, Formatted{inf, "inf"}, Formatted{-inf, "-inf"}));

INSTANTIATE_TEST_SUITE_P(
    Positional, FormatDouble,
    ::testing::Values(Formatted{1.0, "1.0"}, Formatted{2.0, "2.0"}, Formatted{-1.0, "-1.0"},
                      Formatted{100.0, "100.0"}, Formatted{0.1, "0.1"},
                      Formatted{123.456, "123.456"}, Formatted{-0.5, "-0.5"},
                      Formatted{0.9999999999999997, "0.9999999999999997"},
                      Formatted{1.0000000000000002, "1.0000000000000002"},
                      Formatted{0.9999999966439369, "0.9999999966439369"},
                      Formatted{1e15, "1000000000000000.0"},
                      Formatted{1234567890123456.8, "1234567890123456.8"},
                      // The largest double below 1e16 (9.999999999999999e15 reads as 1e16).
                      Formatted{9999999999999998.0, "9999999999999998.0"},
                      Formatted{1e-4, "0.0001"}, Formatted{-1e-4, "-0.0001"},
                      Formatted{0.00012345, "0.00012345"}));

INSTANTIATE_TEST_SUITE_P(
    Scientific, FormatDouble,
    ::testing::Values(Formatted{1e16, "1e16"}, Formatted{-1e16, "-1e16"},
                      Formatted{9.999999999999999e15, "1e16"}, Formatted{1.5e16, "1.5e16"},
                      Formatted{1e20, "1e20"}, Formatted{1.5e300, "1.5e300"},
                      Formatted{std::numeric_limits<double>::max(), "1.7976931348623157e308"},
                      // Just below 1e-4.
                      Formatted{0.00009999999999999999, "9.999999999999999e-5"},
                      Formatted{1.25e-5, "1.25e-5"},
                      Formatted{-5.551115123125783e-17, "-5.551115123125783e-17"},
                      Formatted{std::numeric_limits<double>::min(), "2.2250738585072014e-308"}));

INSTANTIATE_TEST_SUITE_P(
    Subnormal, FormatDouble,
    ::testing::Values(Formatted{std::numeric_limits<double>::denorm_min(), "5e-324"},
                      Formatted{-std::numeric_limits<double>::denorm_min(), "-5e-324"},
                      Formatted{5e-323, "5e-323"}, Formatted{5.4e-323, "5.4e-323"},
                      Formatted{std::nextafter(std::numeric_limits<double>::min(), 0.0),
                                "2.225073858507201e-308"}));

TEST(FormatDoubleProperty, ReadsBackAndPicksFormByMagnitude) {
    // Raw bit patterns cover every exponent; scaled values crowd around the two boundaries.
    std::mt19937_64 bits(20261208);
    std::uniform_real_distribution<double> mantissa(-2.0, 2.0);
    std::uniform_int_distribution<int> exponent(-20, 60);
    for (int i = 0; i < 400000; ++i) {
        const double value = i % 2 == 0 ? std::bit_cast<double>(bits())
                                        : std::ldexp(mantissa(bits), exponent(bits));
        if (!std::isfinite(value)) continue;
        const std::string text = format_double(value);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
                  std::bit_cast<std::uint64_t>(value))
            << text;
        const double magnitude = std::fabs(value);
        const bool positional = value == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
        ASSERT_EQ(text.find('e') == std::string::npos, positional) << text;
        ASSERT_EQ(text.find('+'), std::string::npos) << text;
        if (positional) {
            const auto point = text.find('.');
            ASSERT_NE(point, std::string::npos) << text;
            ASSERT_LT(point + 1, text.size()) << text;
        } else {
            // No leading zeros in the exponent, and the mantissa has exactly one leading digit.
            const auto e = text.find('e');
            ASSERT_NE(text[e + 1 + (text[e + 1] == '-')], '0') << text;
            ASSERT_TRUE(e == 1 + (value < 0) || text[1 + (value < 0)] == '.') << text;
        }
    }
}

}  // namespace
