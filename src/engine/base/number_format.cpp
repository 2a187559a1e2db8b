#include "engine/base/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace korvel {

namespace {

// The shortest round-trip digits of a finite, non-zero magnitude and the decimal exponent of
// the first of them: value = d.ddd × 10^exponent.
struct Decimal {
    std::string digits;
    int exponent;
};

Decimal shortest_decimal(double magnitude) {
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    (void)error;  // 64 bytes hold any double in scientific form
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    Decimal result;
    for (char c : text.substr(0, e)) {
        if (c != '.') result.digits += c;
    }
    const std::string_view exponent = text.substr(e + 1);
    const char* first = exponent.data() + (exponent.front() == '+' ? 1 : 0);
    std::from_chars(first, exponent.data() + exponent.size(), result.exponent);
    return result;
}

std::string positional(const Decimal& d) {
    std::string out;
    const int count = static_cast<int>(d.digits.size());
    if (d.exponent < 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
        return out;
    }
    const int whole = d.exponent + 1;
    if (count <= whole) {
        out = d.digits;
        out.append(static_cast<std::size_t>(whole - count), '0');
        out += ".0";
    } else {
        out = d.digits.substr(0, static_cast<std::size_t>(whole));
        out += '.';
        out += d.digits.substr(static_cast<std::size_t>(whole));
    }
    return out;
}

std::string scientific(const Decimal& d) {
    std::string out(1, d.digits.front());
    if (d.digits.size() > 1) {
        out += '.';
        out += d.digits.substr(1);
    }
    out += 'e';
    out += std::to_string(d.exponent);
    return out;
}

}  // namespace

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (std::isinf(value)) return sign + "inf";
    if (value == 0.0) return sign + "0.0";
    const double magnitude = std::fabs(value);
    const Decimal d = shortest_decimal(magnitude);
    const bool positional_range = magnitude >= 1e-4 && magnitude < 1e16;
    return sign + (positional_range ? positional(d) : scientific(d));
}

}  // namespace korvel
