#pragma once

// The scalar kernel of a diagonal gate within a block: the amplitudes whose masked bits hold one
// value are multiplied by one factor, run by run.

#include <cstdint>

#include "engine/base/complex.hpp"
#include "engine/kernels/subset_indices.hpp"

namespace korvel {

// a = f · a for the amplitudes of a block of 2^bits whose `mask` bits equal `value`: the
// product of the general pass with the other entry's exact zero term left out, which changes
// at most the sign of a zero.
inline void scale_amplitudes(Complex* block, std::uint32_t bits, std::uint64_t mask, std::uint64_t value,
                      Complex f) {
    const SubsetIndices indices(bits, mask, value);
    const std::uint64_t run = mask == 0 ? indices.count() : (mask & (~mask + 1));
    std::uint64_t i = indices.at(0);
    for (std::uint64_t u = 0; u < indices.count(); u += run) {
        Complex* p = block + i;
        for (std::uint64_t j = 0; j < run; ++j) p[j] = f * p[j];
        i = indices.next(i + run - 1);
    }
}

}  // namespace korvel
