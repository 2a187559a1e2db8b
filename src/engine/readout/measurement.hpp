#pragma once

#include <cstdint>

#include "engine/readout/random.hpp"
#include "engine/state/register.hpp"

namespace korvel {

// Measures one qubit, returns 0 or 1 and collapses the register onto that outcome.
std::uint32_t measure(Register& reg, std::uint32_t target);

// Draws a basis state from the whole distribution; the register is left unchanged.
std::uint32_t measure_all(const Register& reg);

// The same operations taking their one random value from `random` instead of the calling
// thread's generator, for tests.
std::uint32_t measure(Register& reg, std::uint32_t target, RandomSource random);
std::uint32_t measure_all(const Register& reg, RandomSource random);

// measure() in two parts, for callers that refuse a state whose weights cannot be drawn from
// (zero, infinite or NaN, left by matrices that are not unitary) instead of failing: the squared
// norms of the target's two halves, then the draw and collapse with them. `target` must be valid.
struct OutcomeWeights {
    double p0 = 0.0;
    double p1 = 0.0;
};
OutcomeWeights outcome_weights(const Register& reg, std::uint32_t target);
std::uint32_t measure_with_weights(Register& reg, std::uint32_t target, const OutcomeWeights& weights,
                                   RandomSource random);

}  // namespace korvel
