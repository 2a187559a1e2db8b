// Keys, substreams and the two discrete draws the sampler needs.

#include "engine/circuit/streams.hpp"

#include <random>

namespace korvel::circuit {

StreamKey key_from_seed(std::uint64_t seed) {
    StreamKey key;
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < 4; ++i) {
        state += 0x9E3779B97F4A7C15;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        z ^= z >> 31;
        key[2 * i] = static_cast<std::uint32_t>(z);
        key[2 * i + 1] = static_cast<std::uint32_t>(z >> 32);
    }
    return key;
}

StreamKey fresh_key() {
    StreamKey key;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint64_t bits = thread_random_u64();
        key[2 * i] = static_cast<std::uint32_t>(bits);
        key[2 * i + 1] = static_cast<std::uint32_t>(bits >> 32);
    }
    return key;
}

StreamKey call_key(std::optional<std::uint64_t> seed) {
    return seed ? key_from_seed(*seed) : fresh_key();
}

ChaCha12Stream substream(const StreamKey& key, StreamPurpose purpose, std::uint64_t index) {
    // "korv": keeps these blocks apart from any keystream read under the same key (nonce 0).
    constexpr std::uint32_t domain = 0x6b6f7276;
    const auto block = chacha_block(key, index, {static_cast<std::uint32_t>(purpose), domain}, 12);
    StreamKey derived;
    for (std::size_t i = 0; i < derived.size(); ++i) derived[i] = block[i];
    return ChaCha12Stream(derived);
}

std::uint64_t uniform_below(ChaCha12Stream& stream, std::uint64_t bound) {
    // Lemire's method: the high word of bits × bound is uniform once the low words that would
    // favour some results (fewer than 2^64 mod bound of them) are rejected.
    unsigned __int128 product = static_cast<unsigned __int128>(stream.next_u64()) * bound;
    auto low = static_cast<std::uint64_t>(product);
    if (low < bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        while (low < threshold) {
            product = static_cast<unsigned __int128>(stream.next_u64()) * bound;
            low = static_cast<std::uint64_t>(product);
        }
    }
    return static_cast<std::uint64_t>(product >> 64);
}

namespace {

// libstdc++'s binomial draw does not return for some trial counts from about 2^59 up; measured
// sound up to 2^58 for p from 1e-9 to 0.5. Larger counts are drawn as a sum of binomials over
// pieces of at most this many trials, which has the same distribution.
constexpr std::uint64_t max_binomial_trials = std::uint64_t{1} << 52;

}  // namespace

std::uint64_t binomial(ChaCha12Stream& stream, std::uint64_t trials, double p) {
    if (trials == 0 || p <= 0.0) return 0;
    if (p >= 1.0) return trials;
    StreamBits bits(stream);
    std::uint64_t successes = 0;
    while (trials > 0) {
        const std::uint64_t piece = trials < max_binomial_trials ? trials : max_binomial_trials;
        successes += std::binomial_distribution<std::uint64_t>(piece, p)(bits);
        trials -= piece;
    }
    return successes;
}

}  // namespace korvel::circuit
