#pragma once

// Shots drawn from a register's final state: basis state k with probability |amplitude k|^2 over
// the squared norm, without changing the state.
//
// One read-only pass sums the weights of fixed chunks of 2^14 amplitudes (the split does not
// depend on the thread count). The shots are dealt to the chunks by conditional binomials in
// chunk order; then each chunk with shots reads its amplitudes once more and places them: by
// sorted uniforms merged with its running sum, or, when it has more shots than amplitudes, by
// conditional binomials over its amplitudes. A weight of zero never receives a shot, and the last
// chunk and amplitude of non-zero weight take whatever the rounding of the sums left over.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/circuit/streams.hpp"
#include "engine/state/register.hpp"

namespace korvel::circuit {

// Fills `out` with out.size() drawn basis states in random order. Throws InvalidInput when the
// squared norm is zero or not finite, AllocationFailure when scratch memory cannot be had.
void sample_outcomes(const Register& reg, std::span<std::uint64_t> out, const StreamKey& key);

// The two halves of sample_outcomes: the draws in ascending order, which read the register, and
// their shuffle, which does not.
void draw_outcomes_in_order(const Register& reg, std::span<std::uint64_t> out, const StreamKey& key);
void shuffle_outcomes(std::span<std::uint64_t> out, const StreamKey& key);

struct OutcomeCounts {
    std::vector<std::uint64_t> outcomes;  // ascending, each drawn at least once
    std::vector<std::uint64_t> counts;    // summing to the shots
};

OutcomeCounts sample_counts(const Register& reg, std::uint64_t shots, const StreamKey& key);

}  // namespace korvel::circuit
