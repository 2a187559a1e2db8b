#pragma once

// What a gate's exact zeros and ones let its kernel leave out. Decided once per gate; every
// kernel a kind picks gives the non-zero values of the general formula, since a product with
// an exact 0, a factor of an exact 1 and the addition of an exact zero to a non-zero value
// change nothing but the sign of a zero.

#include <array>

#include "engine/base/complex.hpp"

namespace korvel {

enum class GateKind {
    general,        // four complex entries
    real,           // every imaginary part is zero: no products with them
    diagonal,       // M01 = M10 = 0: each half of the pairs scaled on its own
    phase,          // diagonal with M00 = 1: only the amplitudes with the target bit set change
    anti_diagonal,  // M00 = M11 = 0: the halves trade places, each scaled
    flip,           // anti-diagonal with M01 = M10 = 1 (the X pattern): the halves trade places
};

constexpr bool exactly_zero(Complex x) { return x.real == 0.0 && x.imag == 0.0; }
constexpr bool exactly_one(Complex x) { return x.real == 1.0 && x.imag == 0.0; }

// Entries row-major: M00, M01, M10, M11. -0.0 counts as zero; only 1.0 itself as one.
constexpr GateKind classify(const std::array<Complex, 4>& m) {
    if (exactly_zero(m[1]) && exactly_zero(m[2])) return exactly_one(m[0]) ? GateKind::phase : GateKind::diagonal;
    if (exactly_zero(m[0]) && exactly_zero(m[3])) {
        return exactly_one(m[1]) && exactly_one(m[2]) ? GateKind::flip : GateKind::anti_diagonal;
    }
    for (const Complex& x : m) {
        if (x.imag != 0.0) return GateKind::general;
    }
    return GateKind::real;
}

// Both off-diagonal entries exactly zero: each amplitude is multiplied by one diagonal entry.
constexpr bool is_diagonal(GateKind kind) { return kind == GateKind::diagonal || kind == GateKind::phase; }

// What one diagonal entry does to its half of the amplitudes: nothing (an exact 1), write
// zeros without reading (an exact 0, the measurement collapse), or multiply by a real or a
// complex number.
enum class HalfAction { keep, zero, real, complex };

constexpr HalfAction half_action(Complex entry) {
    if (exactly_one(entry)) return HalfAction::keep;
    if (exactly_zero(entry)) return HalfAction::zero;
    return entry.imag == 0.0 ? HalfAction::real : HalfAction::complex;
}

}  // namespace korvel
