#include "engine/readout/random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "engine/base/failure.hpp"
#include "engine/base/messages.hpp"

namespace korvel {

namespace {

constexpr std::uint32_t rotate_left(std::uint32_t value, int count) {
    return (value << count) | (value >> (32 - count));
}

constexpr void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = rotate_left(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = rotate_left(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = rotate_left(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = rotate_left(x[b], 7);
}

}  // namespace

std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 8>& key,
                                           std::uint64_t counter,
                                           const std::array<std::uint32_t, 2>& nonce, int rounds) {
    // "expand 32-byte k", then the key, the 64-bit block counter (low word first) and the nonce.
    const std::array<std::uint32_t, 16> input = {
        0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
        nonce[0], nonce[1]};
    std::array<std::uint32_t, 16> x = input;
    for (int round = 0; round < rounds; round += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += input[i];
    return x;
}

std::uint64_t ChaCha12Stream::next_u64() {
    if (next_word_ + 2 > block_.size()) {
        block_ = chacha_block(key_, counter_++, {0, 0}, 12);
        next_word_ = 0;
        bytes_produced_ += sizeof(block_);
    }
    const std::uint64_t low = block_[next_word_];
    const std::uint64_t high = block_[next_word_ + 1];
    next_word_ += 2;
    return low | (high << 32);
}

namespace {

// Bumped in every child process created by fork(): a generator keyed under an older value
// belongs to the parent's stream and must not be continued.
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

std::array<std::uint32_t, 8> key_from_entropy() {
    static std::once_flag fork_handler_installed;
    std::call_once(fork_handler_installed, [] { pthread_atfork(nullptr, nullptr, on_fork_child); });

    std::array<std::uint32_t, 8> key;
    auto* bytes = reinterpret_cast<unsigned char*>(key.data());
    std::size_t filled = 0;
    while (filled < sizeof(key)) {
        const ssize_t got = getrandom(bytes + filled, sizeof(key) - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            char text[256];
            fail(messages::entropy_unavailable(strerror_r(errno, text, sizeof(text))));
        }
        filled += static_cast<std::size_t>(got);
    }
    return key;
}

constexpr std::uint64_t rekey_after_bytes = 64 * 1024;

struct ThreadGenerator {
    ChaCha12Stream stream{std::array<std::uint32_t, 8>{}};
    std::uint64_t generation = 0;
    std::uint64_t key_count = 0;
    bool keyed = false;

    bool needs_key() const {
        return !keyed || generation != fork_generation.load(std::memory_order_relaxed) ||
               (stream.block_exhausted() && stream.bytes_produced() >= rekey_after_bytes);
    }

    void rekey() {
        // Read the generation first: a fork during getrandom then shows on the next draw.
        const std::uint64_t current = fork_generation.load(std::memory_order_relaxed);
        stream = ChaCha12Stream(key_from_entropy());
        generation = current;
        keyed = true;
        ++key_count;
    }
};

thread_local ThreadGenerator thread_generator;

}  // namespace

std::uint64_t thread_random_u64() {
    if (thread_generator.needs_key()) thread_generator.rekey();
    return thread_generator.stream.next_u64();
}

std::uint64_t thread_random_key_count() { return thread_generator.key_count; }

}  // namespace korvel
