#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/complex.hpp"
#include "engine/base/failure.hpp"
#include "engine/gates/gate.hpp"
#include "engine/state/probabilities.hpp"
#include "engine/state/register.hpp"
#include "stderr_capture.hpp"

namespace korvel::testing {

// Appends `value` to a program's bytes, least significant byte first, as the decoder reads it.
template <class Value>
void put(std::vector<std::byte>& bytes, Value value) {
    for (std::size_t i = 0; i < sizeof(value); ++i) {
        bytes.push_back(static_cast<std::byte>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xff));
    }
}

inline constexpr const char* poison_message =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

// What a failing call reports: its message and the notices written to standard error meanwhile.
struct Failure {
    std::string message;
    std::string notices;
};

template <class Call>
Failure failure_of(Call&& call) {
    RedirectedStderr captured;
    try {
        call();
    } catch (const InternalFailure& failure) {
        return {failure.message(), without_hint(captured.text())};
    }
    return {"<returned normally>", without_hint(captured.text())};
}

template <class Call>
std::string failure_message(Call&& call) {
    return failure_of(std::forward<Call>(call)).message;
}

inline std::size_t notice_count(const std::string& notices) {
    std::size_t count = 0;
    for (std::size_t at = notices.find("panicked at"); at != std::string::npos;
         at = notices.find("panicked at", at + 1)) {
        ++count;
    }
    return count;
}

inline std::vector<Complex> amplitudes_of(const Register& reg) {
    return reg.state().locked_read([](std::span<const Complex> amplitudes) {
        return std::vector<Complex>(amplitudes.begin(), amplitudes.end());
    });
}

// The probabilities as the module reads them, element by element through the view.
inline std::vector<double> probabilities_of(const Register& reg) {
    return with_probabilities(reg, [](const ProbabilityView& view) {
        std::vector<double> values(view.size());
        for (std::size_t k = 0; k < view.size(); ++k) values[k] = view[k];
        return values;
    });
}

inline void set_amplitudes(Register& reg, const std::vector<Complex>& values) {
    reg.state().locked([&](std::span<Complex> amplitudes) {
        ASSERT_EQ(amplitudes.size(), values.size());
        std::copy(values.begin(), values.end(), amplitudes.begin());
    });
}

// Marks the register's lock poisoned the only way it can be: work under the lock that fails.
inline void poison(Register& reg) {
    try {
        reg.state().locked([](std::span<Complex>) { throw std::runtime_error("abandoned"); });
    } catch (const std::runtime_error&) {
    }
    ASSERT_TRUE(reg.state().poisoned());
}

inline bool same_bits(Complex x, Complex y) {
    return std::bit_cast<std::uint64_t>(x.real) == std::bit_cast<std::uint64_t>(y.real) &&
           std::bit_cast<std::uint64_t>(x.imag) == std::bit_cast<std::uint64_t>(y.imag);
}

inline bool same_bits(const std::vector<Complex>& x, const std::vector<Complex>& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_bits(x[i], y[i])) return false;
    }
    return true;
}

inline QGate matrix(Complex m00, Complex m01, Complex m10, Complex m11) {
    return QGate::from_entries(m00, m01, m10, m11);
}

inline const QGate bit_flip = matrix({0, 0}, {1, 0}, {1, 0}, {0, 0});

}  // namespace korvel::testing
