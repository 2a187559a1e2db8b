#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "engine/base/failure.hpp"
#include "engine/gates/gate.hpp"
#include "stderr_capture.hpp"

namespace {

using korvel::Complex;
using korvel::InternalFailure;
using korvel::QGate;
using korvel::testing::RedirectedStderr;
using korvel::testing::without_hint;
using Rows = std::vector<std::vector<Complex>>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double ulp_of_one = 0x1p-52;
constexpr double h = 0.7071067811865476;
constexpr double h_low = 0.7071067811865475;

const std::string block_head =
    "[src\\things\\mod:38] (check1, check2, check3.real, check4.real) = (\n";
const std::string unitary_notice_head =
    "thread '<unnamed>' panicked at 'Matrix is not unitary', src/engine/gates/gate.cpp:";
const std::string shape_notice_head =
    "thread '<unnamed>' panicked at 'Only support single gate. Matrix size must be 2 by 2', "
    "src/engine/gates/gate.cpp:";

Complex re(double x) { return {x, 0.0}; }

// An entry whose squared magnitude is exactly `target`, so a diagonal matrix of two of them
// puts `target` into check1 and check2 without any rounding of its own.
Complex with_norm(double target) {
    double a = std::sqrt(target);
    while (a * a > target) a = std::nextafter(a, 0.0);
    return {a, std::sqrt(target - a * a)};
}

// The outcome of from_rows: the failure message (empty when accepted) and what reached fd 2.
struct Outcome {
    std::string failure;
    std::string written;
};

Outcome build(const Rows& rows) {
    RedirectedStderr captured;
    Outcome outcome;
    try {
        (void)QGate::from_rows(rows);
    } catch (const InternalFailure& failure) {
        outcome.failure = failure.message();
    }
    outcome.written = without_hint(captured.text());
    return outcome;
}

std::string block(const char* check1, const char* check2, const char* check3, const char* check4) {
    return block_head + "    " + check1 + ",\n    " + check2 + ",\n    " + check3 + ",\n    " +
           check4 + ",\n)\n";
}

// ---- accepted matrices -----------------------------------------------------------------------

struct Accepted {
    const char* name;
    Rows rows;
};

void PrintTo(const Accepted& c, std::ostream* out) { *out << c.name; }

class AcceptedMatrix : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedMatrix, BuildsGateWithEntriesUnchangedAndWritesNothing) {
    const Rows& rows = GetParam().rows;
    RedirectedStderr captured;
    const QGate gate = QGate::from_rows(rows);
    EXPECT_EQ(captured.text(), "");
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(gate.entry(r, c).real),
                      std::bit_cast<std::uint64_t>(rows[r][c].real));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(gate.entry(r, c).imag),
                      std::bit_cast<std::uint64_t>(rows[r][c].imag));
        }
    }
}

// H·T·H as computed in floating point: the off-diagonal residue is -5.551115123125783e-17.
const Complex hth_diagonal{0.8535533905932736, 0.3535533905932737};
const Complex hth_offdiagonal{0.14644660940672616, -0.3535533905932737};

INSTANTIATE_TEST_SUITE_P(
    Gates, AcceptedMatrix,
    ::testing::Values(
        Accepted{"identity", {{re(1), re(0)}, {re(0), re(1)}}},
        Accepted{"hadamard_one_step_above", {{re(h), re(h)}, {re(h), re(-h)}}},
        Accepted{"hadamard_two_steps_below", {{re(h_low), re(h_low)}, {re(h_low), re(-h_low)}}},
        Accepted{"pauli_y", {{re(0), {0, -1}}, {{0, 1}, re(0)}}},
        Accepted{"phase_quarter_pi", {{re(1), re(0)}, {re(0), {h, h}}}},
        Accepted{"hth_product", {{hth_diagonal, hth_offdiagonal}, {hth_offdiagonal, hth_diagonal}}},
        Accepted{"diagonal_ten_steps_below", {{with_norm(1 - 10 * ulp_of_one / 2), re(0)},
                                              {re(0), with_norm(1 - 10 * ulp_of_one / 2)}}},
        Accepted{"diagonal_ten_steps_above", {{with_norm(1 + 10 * ulp_of_one), re(0)},
                                              {re(0), with_norm(1 + 10 * ulp_of_one)}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnitarityChecks, HadamardDiagonalsLieOneAndTwoStepsFromOne) {
    const auto above = korvel::unitarity_checks({re(h), re(h), re(h), re(-h)});
    EXPECT_EQ(above.check1, 1.0000000000000002);
    EXPECT_EQ(above.check2, 1.0000000000000002);
    const auto below = korvel::unitarity_checks({re(h_low), re(h_low), re(h_low), re(-h_low)});
    EXPECT_EQ(below.check1, 0.9999999999999998);
    EXPECT_EQ(below.check2, 0.9999999999999998);
}

TEST(UnitarityChecks, DiagonalBoundaryMatricesCarryTheIntendedValues) {
    // Guards the boundary cases above and below: they mean something only if check1 really
    // is the boundary value.
    for (double target : {0.9999999999999989, 1.0000000000000022, 0.9999999999999988,
                          1.0000000000000024}) {
        const Complex z = with_norm(target);
        const auto checks = korvel::unitarity_checks({z, re(0), re(0), z});
        EXPECT_EQ(checks.check1, target);
        EXPECT_EQ(checks.check2, target);
    }
}

TEST(UnitarityChecks, HthResidueIsNegativeAndWouldFailTheBitDistanceRule) {
    const auto checks = korvel::unitarity_checks(
        {hth_diagonal, hth_offdiagonal, hth_offdiagonal, hth_diagonal});
    EXPECT_EQ(checks.check1, 0.9999999999999997);
    EXPECT_EQ(checks.check2, 0.9999999999999997);
    EXPECT_EQ(checks.check3.real, -5.551115123125783e-17);
    EXPECT_EQ(checks.check4.real, -5.551115123125783e-17);
    EXPECT_FALSE(korvel::approx_equal_ulps(checks.check3.real, 0.0));
    EXPECT_TRUE(korvel::approx_zero_offdiagonal(checks.check3.real));
    EXPECT_TRUE(korvel::is_unitary(checks));
}

// ---- the two comparison rules ----------------------------------------------------------------

struct Comparison {
    double x;
    double y;
    bool equal;
};

void PrintTo(const Comparison& c, std::ostream* out) {
    *out << c.x << " vs " << c.y << (c.equal ? " equal" : " different");
}

class ApproxEqualUlps : public ::testing::TestWithParam<Comparison> {};

TEST_P(ApproxEqualUlps, ComparesByBitDistance) {
    EXPECT_EQ(korvel::approx_equal_ulps(GetParam().x, GetParam().y), GetParam().equal)
        << GetParam().x << " vs " << GetParam().y;
}

constexpr double denorm = std::numeric_limits<double>::denorm_min();

INSTANTIATE_TEST_SUITE_P(
    Values, ApproxEqualUlps,
    ::testing::Values(Comparison{1.0, 1.0, true}, Comparison{-0.0, 0.0, true},
                      Comparison{0.9999999999999989, 1.0, true},
                      Comparison{1.0000000000000022, 1.0, true},
                      Comparison{0.9999999999999988, 1.0, false},
                      Comparison{1.0000000000000024, 1.0, false},
                      Comparison{10 * denorm, 0.0, true}, Comparison{11 * denorm, 0.0, false},
                      Comparison{-denorm, 0.0, false}, Comparison{nan, 1.0, false},
                      Comparison{nan, 0.0, false},
                      Comparison{std::numeric_limits<double>::infinity(), 1.0, false},
                      // bits(-1.0) - bits(1.0) wraps to the most negative 64-bit value.
                      Comparison{-1.0, 1.0, false}, Comparison{1.0, -1.0, false}));

struct OffDiagonal {
    double x;
    bool passes;
};

void PrintTo(const OffDiagonal& c, std::ostream* out) {
    *out << c.x << (c.passes ? " passes" : " fails");
}

class ApproxZeroOffdiagonal : public ::testing::TestWithParam<OffDiagonal> {};

TEST_P(ApproxZeroOffdiagonal, AcceptsMagnitudesUpToTenStepsOfOne) {
    EXPECT_EQ(korvel::approx_zero_offdiagonal(GetParam().x), GetParam().passes) << GetParam().x;
}

constexpr double tolerance = 10 * ulp_of_one;

INSTANTIATE_TEST_SUITE_P(
    Values, ApproxZeroOffdiagonal,
    ::testing::Values(OffDiagonal{0.0, true}, OffDiagonal{-0.0, true},
                      OffDiagonal{denorm, true}, OffDiagonal{-denorm, true},
                      OffDiagonal{-5.551115123125783e-17, true}, OffDiagonal{tolerance, true},
                      OffDiagonal{-tolerance, true},
                      OffDiagonal{std::nextafter(tolerance, 1.0), false},
                      OffDiagonal{-std::nextafter(tolerance, 1.0), false},
                      OffDiagonal{1e-14, false}, OffDiagonal{nan, false},
                      OffDiagonal{-std::numeric_limits<double>::infinity(), false}));

// ---- refused matrices and the block written for them ------------------------------------------

struct Refused {
    const char* name;
    Rows rows;
    std::string block;
};

void PrintTo(const Refused& c, std::ostream* out) { *out << c.name; }

class RefusedMatrix : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedMatrix, WritesBlockThenNoticeAndFails) {
    const Outcome outcome = build(GetParam().rows);
    EXPECT_EQ(outcome.failure, "Matrix is not unitary");
    ASSERT_GE(outcome.written.size(), GetParam().block.size());
    EXPECT_EQ(outcome.written.substr(0, GetParam().block.size()), GetParam().block);
    const std::string notice = outcome.written.substr(GetParam().block.size());
    EXPECT_EQ(notice.rfind(unitary_notice_head, 0), 0u) << notice;
    EXPECT_EQ(std::count(notice.begin(), notice.end(), '\n'), 1) << notice;
}

constexpr double h_short = 0.70710678;

INSTANTIATE_TEST_SUITE_P(
    Gates, RefusedMatrix,
    ::testing::Values(
        Refused{"hadamard_eight_digits",
                {{re(h_short), re(h_short)}, {re(h_short), re(-h_short)}},
                block("0.9999999966439369", "0.9999999966439369", "0.0", "0.0")},
        Refused{"rank_one", {{re(1), re(1)}, {re(0), re(0)}}, block("2.0", "0.0", "0.0", "0.0")},
        Refused{"nan_entry", {{re(nan), re(0)}, {re(0), re(1)}}, block("NaN", "1.0", "NaN", "NaN")},
        Refused{"diagonal_eleven_steps_below",
                {{with_norm(0.9999999999999988), re(0)}, {re(0), with_norm(0.9999999999999988)}},
                block("0.9999999999999988", "0.9999999999999988", "0.0", "0.0")},
        Refused{"diagonal_eleven_steps_above",
                {{with_norm(1.0000000000000024), re(0)}, {re(0), with_norm(1.0000000000000024)}},
                block("1.0000000000000024", "1.0000000000000024", "0.0", "0.0")},
        Refused{"equal_rows", {{re(h), re(h)}, {re(h), re(h)}},
                block("1.0000000000000002", "1.0000000000000002", "1.0000000000000002",
                      "1.0000000000000002")},
        // Only the imaginary parts of check3 and check4 are off; the block shows their real parts.
        Refused{"imaginary_overlap", {{re(h), re(h)}, {{0, h}, {0, h}}},
                block("1.0000000000000002", "1.0000000000000002", "0.0", "0.0")},
        Refused{"tiny_scale", {{re(1e-5), re(0)}, {re(0), re(1e20)}},
                block("1.0000000000000002e-10", "1e40", "0.0", "0.0")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefusedMatrix, UnwritableStderrBecomesTheFailure) {
    auto unwritable = RedirectedStderr::unwritable();
    try {
        (void)QGate::from_rows({{re(1), re(1)}, {re(0), re(0)}});
        FAIL() << "a refused matrix was accepted";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "failed printing to stderr: Bad file descriptor");
    }
}

// ---- shapes -----------------------------------------------------------------------------------

struct Shape {
    const char* name;
    Rows rows;
};

void PrintTo(const Shape& c, std::ostream* out) { *out << c.name; }

class WrongShape : public ::testing::TestWithParam<Shape> {};

TEST_P(WrongShape, FailsWithoutDiagnosticBlock) {
    const Outcome outcome = build(GetParam().rows);
    EXPECT_EQ(outcome.failure, "Only support single gate. Matrix size must be 2 by 2");
    EXPECT_EQ(outcome.written.rfind(shape_notice_head, 0), 0u) << outcome.written;
    EXPECT_EQ(outcome.written.find("[src"), std::string::npos) << outcome.written;
}

const std::vector<Complex> good_row{re(1), re(0)};
const std::vector<Complex> nan_row{re(nan), re(nan)};

INSTANTIATE_TEST_SUITE_P(
    Matrices, WrongShape,
    ::testing::Values(Shape{"no_rows", {}}, Shape{"one_row", {good_row}},
                      Shape{"three_rows", {good_row, {re(0), re(1)}, good_row}},
                      Shape{"first_row_short", {{re(1)}, {re(0), re(1)}}},
                      Shape{"second_row_short", {good_row, {re(1)}}},
                      Shape{"first_row_long", {{re(1), re(0), re(0)}, {re(0), re(1)}}},
                      Shape{"second_row_long", {good_row, {re(0), re(1), re(0)}}},
                      Shape{"empty_rows", {{}, {}}},
                      Shape{"non_unitary_values_too", {nan_row, {re(nan)}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QGateFromEntries, KeepsEntriesWithoutChecking) {
    constexpr QGate gate = QGate::from_entries({2, 0}, {0, 3}, {4, 0}, {0, 5});
    static_assert(gate.entry(0, 1).imag == 3 && gate.entry(1, 0).real == 4);
    EXPECT_EQ(gate.entry(1, 1).imag, 5);
}

}  // namespace
