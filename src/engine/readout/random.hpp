#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel {

// The ChaCha block function with a configurable number of rounds (20 for the published test
// vectors, 12 for the generator). key: 8 words, counter: 64 bits, nonce: 2 words.
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                           std::uint64_t counter,
                                           const std::array<std::uint32_t, 2>& nonce, int rounds);

// A ChaCha12 keystream read as 64-bit values: block after block (counter from 0, nonce 0), each
// block's 16 words taken in pairs, the lower word first.
class ChaCha12Stream {
public:
    explicit constexpr ChaCha12Stream(const std::array<std::uint32_t, 8>& key) : key_(key) {}

    std::uint64_t next_u64();

    // True when the next value needs a new block.
    bool block_exhausted() const noexcept { return next_word_ + 2 > block_.size(); }
    // Keystream bytes generated so far (whole blocks).
    std::uint64_t bytes_produced() const noexcept { return bytes_produced_; }

private:
    std::array<std::uint32_t, 8> key_;
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 16> block_{};
    std::size_t next_word_ = 16;
    std::uint64_t bytes_produced_ = 0;
};

// Where a draw takes its 64 random bits from: a plain function (thread_random_u64, or a test's
// fixed source) or a caller's own stream, such as the circuit runner's seeded one. It refers to
// the stream, which must outlive the call it is passed to.
class RandomSource {
public:
    constexpr RandomSource(std::uint64_t (*function)()) noexcept : function_(function) {}
    constexpr RandomSource(ChaCha12Stream& stream) noexcept : stream_(&stream) {}

    std::uint64_t operator()() const { return stream_ != nullptr ? stream_->next_u64() : function_(); }

private:
    std::uint64_t (*function_)() = nullptr;
    ChaCha12Stream* stream_ = nullptr;
};

// The next 64 random bits from the calling thread's generator: ChaCha12 keyed from getrandom,
// rekeyed after every 64 KiB of output and in a child process after fork(). Fails with
// "could not initialize thread_rng: ..." if the entropy source cannot be read.
std::uint64_t thread_random_u64();

// How many times the calling thread's generator has been keyed so far (for tests of the rekeying).
std::uint64_t thread_random_key_count();

}  // namespace korvel
