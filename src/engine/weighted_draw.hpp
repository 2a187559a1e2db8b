#pragma once

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

// Picks a position in 0 … m−1 with probability proportional to its weight, using exactly one
// random value (taken only after the weights are accepted). Failures:
// "called `Result::unwrap()` on an `Err` value: NoItem" / "InvalidWeight" / "AllWeightsZero",
// and "Uniform::new: range overflow".
std::size_t weighted_draw(std::span<const double> weights);

// The same draw taking its one random value from `random` (still only once the weights are
// accepted).
std::size_t weighted_draw_from(std::span<const double> weights, RandomSource random);

// The same draw with the random value supplied by the caller, for tests.
std::size_t weighted_draw(std::span<const double> weights, std::uint64_t random_bits);

}  // namespace korvel
