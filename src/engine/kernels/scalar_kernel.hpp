#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "engine/base/complex.hpp"
#include "engine/gates/gate_kind.hpp"
#include "engine/kernels/subset_indices.hpp"

namespace korvel {

// The amplitude pairs of one pass: for a target t and a set of control bits, the pairs (i0, i1)
// with bit t clear in i0, set in i1, and every control bit set in both. They are numbered by a
// dense index q in 0 … count()−1, ascending with i0; i0 is q with a 0 bit inserted at every
// fixed position (the target and each control, lowest first) and the control bits then set.
class PairLayout {
public:
    // qubits: n; target < n; control_mask has no bit at or above n nor the target's bit.
    PairLayout(std::uint32_t qubits, std::uint32_t target, std::uint64_t control_mask) noexcept
        : target_bit_(std::uint64_t{1} << target),
          lowest_fixed_bit_((target_bit_ | control_mask) & (~(target_bit_ | control_mask) + 1)),
          pairs_(qubits, target_bit_ | control_mask, control_mask) {}

    std::uint64_t count() const noexcept { return pairs_.count(); }
    // Pairs come in runs of this many consecutive q whose i0 are consecutive too: the fixed
    // bits all lie at or above this position.
    std::uint64_t run_length() const noexcept { return lowest_fixed_bit_; }
    std::uint64_t target_bit() const noexcept { return target_bit_; }

    std::uint64_t index0(std::uint64_t q) const noexcept { return pairs_.at(q); }

private:
    std::uint64_t target_bit_;
    std::uint64_t lowest_fixed_bit_;
    SubsetIndices pairs_;
};

// Calls update(amplitudes[i0], amplitudes[i1]) for the pairs q in [first, last), ascending.
template <class Update>
inline void for_pairs(Complex* amplitudes, const PairLayout& layout, std::uint64_t first,
                      std::uint64_t last, Update&& update) {
    const std::uint64_t target_bit = layout.target_bit();
    const std::uint64_t run_mask = layout.run_length() - 1;
    std::uint64_t q = first;
    while (q < last) {
        const std::uint64_t run_end = std::min(last, (q | run_mask) + 1);
        for (std::uint64_t i0 = layout.index0(q); q < run_end; ++q, ++i0) {
            update(amplitudes[i0], amplitudes[i0 | target_bit]);
        }
    }
}

// The pair update for the pairs q in [first, last): (a0, a1) becomes M · (a0, a1), both new
// values from the old ones, each product with the matrix entry as the left factor. This scalar
// loop is the reference the vectorised kernels and the kinds' shortcuts must match bit for
// bit (up to the sign of a zero).
inline void apply_pairs_scalar(Complex* amplitudes, const std::array<Complex, 4>& m,
                               const PairLayout& layout, std::uint64_t first, std::uint64_t last) {
    const Complex m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    for_pairs(amplitudes, layout, first, last, [&](Complex& a0, Complex& a1) {
        const Complex old0 = a0, old1 = a1;
        a0 = m00 * old0 + m01 * old1;
        a1 = m10 * old0 + m11 * old1;
    });
}

// One diagonal entry applied to one amplitude as half_action() says.
inline void scale_by(HalfAction action, Complex entry, Complex& a) {
    switch (action) {
        case HalfAction::keep: return;
        case HalfAction::zero: a = Complex{0.0, 0.0}; return;
        case HalfAction::real: a = Complex{entry.real * a.real, entry.real * a.imag}; return;
        case HalfAction::complex: a = entry * a; return;
    }
}

// The same update with the fewer operations `kind` allows (see gate_kind.hpp).
inline void apply_pairs_scalar(Complex* amplitudes, const std::array<Complex, 4>& m, GateKind kind,
                               const PairLayout& layout, std::uint64_t first, std::uint64_t last) {
    const Complex m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    switch (kind) {
        case GateKind::general:
            return apply_pairs_scalar(amplitudes, m, layout, first, last);
        case GateKind::real:
            return for_pairs(amplitudes, layout, first, last, [&](Complex& a0, Complex& a1) {
                const Complex old0 = a0, old1 = a1;
                a0 = {m00.real * old0.real + m01.real * old1.real, m00.real * old0.imag + m01.real * old1.imag};
                a1 = {m10.real * old0.real + m11.real * old1.real, m10.real * old0.imag + m11.real * old1.imag};
            });
        case GateKind::diagonal:
        case GateKind::phase: {
            const HalfAction act0 = half_action(m00), act1 = half_action(m11);
            if (act0 == HalfAction::keep && act1 == HalfAction::keep) return;
            return for_pairs(amplitudes, layout, first, last, [&](Complex& a0, Complex& a1) {
                scale_by(act0, m00, a0);
                scale_by(act1, m11, a1);
            });
        }
        case GateKind::anti_diagonal:
            return for_pairs(amplitudes, layout, first, last, [&](Complex& a0, Complex& a1) {
                const Complex old0 = a0;
                a0 = m01 * a1;
                a1 = m10 * old0;
            });
        case GateKind::flip:
            return for_pairs(amplitudes, layout, first, last, [](Complex& a0, Complex& a1) {
                const Complex old0 = a0;
                a0 = a1;
                a1 = old0;
            });
    }
}

}  // namespace korvel
