#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "engine/complex.hpp"
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

// The pair update for the pairs q in [first, last): (a0, a1) becomes M · (a0, a1), both new
// values from the old ones, each product with the matrix entry as the left factor. This scalar
// loop is the reference the vectorised kernels must match bit for bit.
inline void apply_pairs_scalar(Complex* amplitudes, const std::array<Complex, 4>& m,
                               const PairLayout& layout, std::uint64_t first, std::uint64_t last) {
    const Complex m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    const std::uint64_t target_bit = layout.target_bit();
    const std::uint64_t run_mask = layout.run_length() - 1;
    std::uint64_t q = first;
    while (q < last) {
        const std::uint64_t run_end = std::min(last, (q | run_mask) + 1);
        for (std::uint64_t i0 = layout.index0(q); q < run_end; ++q, ++i0) {
            const std::uint64_t i1 = i0 | target_bit;
            const Complex a0 = amplitudes[i0];
            const Complex a1 = amplitudes[i1];
            amplitudes[i0] = m00 * a0 + m01 * a1;
            amplitudes[i1] = m10 * a0 + m11 * a1;
        }
    }
}

}  // namespace korvel
