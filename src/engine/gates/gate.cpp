#include "engine/gates/gate.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "engine/base/failure.hpp"
#include "engine/base/messages.hpp"
#include "engine/base/number_format.hpp"
#include "engine/base/stderr_output.hpp"

namespace korvel {

namespace {

constexpr std::int64_t max_ulps_apart = 10;

// Off-diagonal entries of M·M† are sums of products of entries of magnitude up to 1, so their
// rounding residue is on the scale of 1.0's spacing, not of the value's own.
constexpr double offdiagonal_tolerance = 10 * 0x1p-52;

}  // namespace

UnitarityChecks unitarity_checks(const std::array<Complex, 4>& m) {
    const Complex m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    return UnitarityChecks{
        norm_sqr(m00) + norm_sqr(m01),
        norm_sqr(m10) + norm_sqr(m11),
        m00 * conj(m10) + m01 * conj(m11),
        m10 * conj(m00) + m11 * conj(m01),
    };
}

bool approx_equal_ulps(double x, double y) {
    if (x == y) return true;
    const auto bx = std::bit_cast<std::uint64_t>(x);
    const auto by = std::bit_cast<std::uint64_t>(y);
    const auto d = static_cast<std::int64_t>(bx - by);
    const std::int64_t distance =
        d == std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::max()
                                                      : (d < 0 ? -d : d);
    return distance <= max_ulps_apart;
}

bool approx_zero_offdiagonal(double x) { return std::fabs(x) <= offdiagonal_tolerance; }

bool is_unitary(const UnitarityChecks& c) {
    return approx_equal_ulps(c.check1, 1.0) && approx_equal_ulps(c.check2, 1.0) &&
           approx_zero_offdiagonal(c.check3.real) && approx_zero_offdiagonal(c.check3.imag) &&
           approx_zero_offdiagonal(c.check4.real) && approx_zero_offdiagonal(c.check4.imag);
}

std::string unitarity_diagnostic(const UnitarityChecks& c) {
    std::string block = messages::unitarity_block_head;
    for (double value : {c.check1, c.check2, c.check3.real, c.check4.real}) {
        block += messages::unitarity_block_indent;
        block += format_double(value);
        block += messages::unitarity_block_line_end;
    }
    block += messages::unitarity_block_tail;
    return block;
}

QGate QGate::from_rows(const std::vector<std::vector<Complex>>& rows) {
    if (rows.size() != 2) fail(messages::matrix_shape);
    if (rows[0].size() != 2 || rows[1].size() != 2) fail(messages::matrix_shape);

    const std::array<Complex, 4> m{rows[0][0], rows[0][1], rows[1][0], rows[1][1]};
    const UnitarityChecks checks = unitarity_checks(m);
    if (!is_unitary(checks)) {
        if (const int error = write_stderr(unitarity_diagnostic(checks)); error != 0) {
            fail(messages::stderr_write_failed(std::generic_category().message(error)));
        }
        fail(messages::matrix_not_unitary);
    }
    return QGate(m);
}

}  // namespace korvel
