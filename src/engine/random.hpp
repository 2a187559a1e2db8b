#pragma once

#include <array>
#include <cstdint>

namespace korvel {

// The ChaCha block function with a configurable number of rounds (20 for the published test
// vectors, 12 for the generator). key: 8 words, counter: 64 bits, nonce: 2 words.
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                           std::uint64_t counter,
                                           const std::array<std::uint32_t, 2>& nonce, int rounds);

// The next 64 random bits from the calling thread's generator: ChaCha12 keyed from getrandom,
// rekeyed after every 64 KiB of output and in a child process after fork(). Fails with
// "could not initialize thread_rng: ..." if the entropy source cannot be read.
std::uint64_t thread_random_u64();

}  // namespace korvel
