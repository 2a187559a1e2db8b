#pragma once

// Drawing a position from a list of weights, and the scaled uniform value every draw is made of.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/readout/random.hpp"

namespace korvel {

// The scale S for a total T: the largest double not above T with S × (1 − 2^−52) < T, so that
// U × S < T for every U in [0, 1). Fails with "Uniform::new: range overflow" if T is infinite.
double uniform_scale(double total);

// U in [0, 1) from the upper 52 bits of one random value.
inline double unit_from_bits(std::uint64_t bits) {
    return static_cast<double>(bits >> 12) * 0x1p-52;
}

// Draws over a whole state sum its weights in chunks of 2^14 amplitudes, 256 KiB, and the
// chunk sums tell which chunk a drawn weight falls in, so a draw scans one chunk instead of the
// whole state. A chunk is also the piece the summing pass hands to a worker, and it fixes where
// the running sums of a draw are rounded, so it stays put unless a measurement says otherwise.
// measure_all with 2 threads: at 18 and 20 qubits chunks of 2^12 to 2^14 were even (within 4%),
// 2^15 and 2^16 up to 20% slower (the scan of one chunk grows); below 2^17 amplitudes smaller
// chunks would shorten the scan (16 qubits: 35 us at 2^12 against 40 at 2^14). The runner's
// sampler reads a chunk twice (its sums, then the merge of its draws), and 256 KiB stays in a
// core's cache between the two; a 29-qubit state has 32768 chunks to split shots over.
inline constexpr std::uint32_t draw_chunk_bits = 14;

// Picks a position in 0 … m−1 with probability proportional to its weight, taking exactly one
// random value from `random`, and only after the weights are accepted. Failures:
// "called `Result::unwrap()` on an `Err` value: NoItem" / "InvalidWeight" / "AllWeightsZero",
// and "Uniform::new: range overflow".
std::size_t weighted_draw(std::span<const double> weights, RandomSource random);

}  // namespace korvel
