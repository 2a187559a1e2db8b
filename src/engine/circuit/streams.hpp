#pragma once

// The circuit runner's random numbers: ChaCha12 keystreams under one 256-bit key per call, from a
// caller's seed or fresh from the operating system's entropy. Every independent part of a call
// (the split of shots over chunks, the draws inside one chunk, one shot's trajectory, the final
// shuffle) reads its own stream, so results depend on the key alone, never on how work was
// scheduled over threads.

#include <array>
#include <cstdint>
#include <optional>

#include "engine/readout/random.hpp"

namespace korvel::circuit {

using StreamKey = std::array<std::uint32_t, 8>;

// The key for a seed: four outputs of SplitMix64 started at the seed (state += 0x9E3779B97F4A7C15,
// then the usual xor-shift-multiply finaliser), each split into two words, the lower first.
StreamKey key_from_seed(std::uint64_t seed);

// A fresh key from the calling thread's generator (ChaCha12 keyed from getrandom, rekeyed in a
// forked child), so that seedless calls never repeat one another, nor a parent's.
StreamKey fresh_key();

StreamKey call_key(std::optional<std::uint64_t> seed);

enum class StreamPurpose : std::uint32_t {
    chunk_split = 1,  // how many shots fall in each chunk
    chunk_draws = 2,  // the draws inside chunk `index`
    shuffle = 3,      // the order of the shots
    shot = 4,         // trajectory of shot `index`
};

// The stream for one purpose and index: ChaCha12 keyed by the first eight words of the ChaCha12
// block of `key` at counter `index` with nonce (purpose, 0x6b6f7276), a keyed function whose
// outputs are independent keys.
ChaCha12Stream substream(const StreamKey& key, StreamPurpose purpose, std::uint64_t index);

// A stream as a uniform random bit generator for the standard library's distributions.
class StreamBits {
public:
    using result_type = std::uint64_t;
    explicit StreamBits(ChaCha12Stream& stream) noexcept : stream_(stream) {}
    static constexpr result_type min() noexcept { return 0; }
    static constexpr result_type max() noexcept { return ~result_type{0}; }
    result_type operator()() { return stream_.next_u64(); }

private:
    ChaCha12Stream& stream_;
};

// Uniform in [0, bound), bound > 0, without bias (multiply-and-reject).
std::uint64_t uniform_below(ChaCha12Stream& stream, std::uint64_t bound);

// Binomial(trials, p) for p in [0, 1]; 0 when p is 0 and `trials` when p is 1, exactly.
std::uint64_t binomial(ChaCha12Stream& stream, std::uint64_t trials, double p);

}  // namespace korvel::circuit
