// Every double, read from 8 fuzzer bytes, must format by the diagnostic block's rules and read back
// through strtod to the same bits. The checker derives what the output must look like from the
// value alone (glibc's correctly rounded printf and strtod as the oracle), never from the
// formatter's code.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/base/number_format.hpp"
#include "stderr_silencer.hpp"

namespace {

[[noreturn]] void reject(double value, const std::string& text, const char* why) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    dprintf(korvel_fuzz::report_fd, "format_double(0x%016" PRIx64 " = %.17g) gave \"%s\": %s\n", bits, value,
                 text.c_str(), why);
    std::abort();
}

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

bool reads_back(const std::string& text, double value) {
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && bits_of(parsed) == bits_of(value);
}

bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The significant digits of a decimal numeral (sign, point and exponent removed, leading and
// trailing zeros stripped): "0.000120" -> "12", "1e16" -> "1", "100.0" -> "1".
std::string significant_digits(const std::string& mantissa) {
    std::string digits;
    for (char c : mantissa)
        if (c >= '0' && c <= '9') digits += c;
    auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "";
    auto last = digits.find_last_not_of('0');
    return digits.substr(first, last - first + 1);
}

// The decimal with `count` significant digits nearest to |value| (printf rounds correctly), as
// an integer mantissa M and the power of ten of its leading digit.
void nearest_decimal(double magnitude, int count, std::uint64_t& mantissa, int& exponent) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*e", count - 1, magnitude);
    std::string text(buffer);
    auto e = text.find('e');
    exponent = std::atoi(text.c_str() + e + 1);
    mantissa = std::strtoull(significant_digits(text.substr(0, e)).c_str(), nullptr, 10);
    // significant_digits dropped trailing zeros; restore the full count.
    for (std::size_t n = significant_digits(text.substr(0, e)).size(); n < std::size_t(count); ++n)
        mantissa *= 10;
}

bool decimal_reads_back(std::uint64_t mantissa, int lead_exponent, int count, double magnitude) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%" PRIu64 "e%d", mantissa, lead_exponent - (count - 1));
    return bits_of(std::strtod(buffer, nullptr)) == bits_of(magnitude);
}

// True when |value| lies exactly halfway between two decimals of `count` significant digits.
bool is_decimal_tie(double magnitude, int count) {
    static char exact[1200];
    std::snprintf(exact, sizeof exact, "%.1100e", magnitude);
    std::string digits = significant_digits(std::string(exact, std::strchr(exact, 'e')));
    return digits.size() == std::size_t(count) + 1 && digits.back() == '5';
}

void check_shortest(double value, const std::string& text, const std::string& mantissa_part) {
    double magnitude = std::fabs(value);
    std::string digits = significant_digits(mantissa_part);
    int count = int(digits.size());
    if (count == 0 || count > 17) reject(value, text, "not 1 to 17 significant digits");
    // Shortest: no decimal with one digit fewer reads back. Only the two neighbours of the value
    // at that length can, and they are the nearest one and the one on its other side.
    if (count > 1) {
        std::uint64_t m;
        int lead;
        nearest_decimal(magnitude, count - 1, m, lead);
        for (std::uint64_t candidate : {m - 1, m, m + 1}) {
            if (candidate == 0) continue;
            if (decimal_reads_back(candidate, lead, count - 1, magnitude))
                reject(value, text, "a shorter decimal reads back too");
        }
    }
    // Closest: when the correctly rounded decimal of this length reads back, it is the answer
    // (except for an exact tie, where either neighbour is as close).
    std::uint64_t m;
    int lead;
    nearest_decimal(magnitude, count, m, lead);
    if (decimal_reads_back(m, lead, count, magnitude)) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%" PRIu64, m);
        std::string nearest = significant_digits(buffer);
        if (nearest != digits && !is_decimal_tie(magnitude, count))
            reject(value, text, "digits are not the nearest of their length");
    }
}

void check_positional(double value, const std::string& text, const std::string& body) {
    auto point = body.find('.');
    if (point == std::string::npos) reject(value, text, "positional form without a point");
    std::string whole = body.substr(0, point), fraction = body.substr(point + 1);
    if (!all_digits(whole) || !all_digits(fraction))
        reject(value, text, "positional form needs digits on both sides of the point");
    if (whole.size() > 1 && whole[0] == '0') reject(value, text, "leading zero");
    if (fraction.size() > 1 && fraction.back() == '0') reject(value, text, "trailing zero");
    if (value != 0.0) check_shortest(value, text, body);
}

void check_scientific(double value, const std::string& text, const std::string& body) {
    auto e = body.find('e');
    if (e == std::string::npos) reject(value, text, "scientific form without an exponent");
    std::string mantissa = body.substr(0, e), exponent = body.substr(e + 1);
    if (mantissa.empty() || mantissa[0] < '1' || mantissa[0] > '9')
        reject(value, text, "mantissa must start with a non-zero digit");
    if (mantissa.size() > 1) {
        if (mantissa[1] != '.' || !all_digits(mantissa.substr(2)))
            reject(value, text, "mantissa is not d.ddd");
        if (mantissa.back() == '0') reject(value, text, "trailing zero in the mantissa");
    }
    std::string exponent_digits = exponent[0] == '-' ? exponent.substr(1) : exponent;
    if (!all_digits(exponent_digits)) reject(value, text, "exponent must be -?digits, no '+'");
    if (exponent_digits[0] == '0') reject(value, text, "leading zero in the exponent");
    check_shortest(value, text, mantissa);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    korvel_fuzz::silence_engine_stderr(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(double)) return -1;
    double value;
    std::memcpy(&value, data, sizeof value);
    const std::string text = korvel::format_double(value);

    if (std::isnan(value)) {
        if (text != "NaN") reject(value, text, "NaN must be written NaN");
        return 0;
    }
    if (std::isinf(value)) {
        if (text != (value > 0 ? "inf" : "-inf")) reject(value, text, "infinity");
        return 0;
    }
    if (!reads_back(text, value)) reject(value, text, "strtod does not give back the same bits");

    const bool negative = std::signbit(value);
    if (negative != (!text.empty() && text[0] == '-')) reject(value, text, "sign");
    const std::string body = negative ? text.substr(1) : text;
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16))
        check_positional(value, text, body);
    else
        check_scientific(value, text, body);
    return 0;
}
