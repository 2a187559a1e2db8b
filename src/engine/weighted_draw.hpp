#pragma once

// Drawing a position from a list of weights, and the scaled uniform value every draw is made of.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/random.hpp"

namespace korvel {

// The scale S for a total T: the largest double not above T with S × (1 − 2^−52) < T, so that
// U × S < T for every U in [0, 1). Fails with "Uniform::new: range overflow" if T is infinite.
double uniform_scale(double total);

// U in [0, 1) from the upper 52 bits of one random value.
inline double unit_from_bits(std::uint64_t bits) {
    return static_cast<double>(bits >> 12) * 0x1p-52;
}

// Picks a position in 0 … m−1 with probability proportional to its weight, taking exactly one
// random value from `random`, and only after the weights are accepted. Failures:
// "called `Result::unwrap()` on an `Err` value: NoItem" / "InvalidWeight" / "AllWeightsZero",
// and "Uniform::new: range overflow".
std::size_t weighted_draw(std::span<const double> weights, RandomSource random);

}  // namespace korvel
