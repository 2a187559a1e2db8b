#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "engine/readout/random.hpp"

namespace {

using korvel::chacha_block;
using korvel::ChaCha12Stream;
using korvel::thread_random_key_count;
using korvel::thread_random_u64;
using Key = std::array<std::uint32_t, 8>;
using Block = std::array<std::uint32_t, 16>;

// The key 00 01 02 … 1f read as little-endian words.
constexpr Key counting_key = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                              0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

// ---- the block function ----------------------------------------------------------------------

TEST(ChaChaBlock, PublishedTwentyRoundVector) {
    // RFC 8439, 2.3.2: block counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00. Its 32-bit
    // counter and first nonce word are this layout's 64-bit counter.
    const Block expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                            0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                            0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                            0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(counting_key, 0x0900000000000001, {0x4a000000, 0}, 20), expected);
}

TEST(ChaChaBlock, PublishedTwentyRoundEncryption) {
    // RFC 8439, 2.4.2: the keystream from block 1 on, nonce 00:00:00:00:00:00:00:4a:00:00:00:00,
    // whose first word (zero) is the high half of this layout's counter.
    const std::string plaintext =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
        "future, sunscreen would be it.";
    const std::vector<std::uint8_t> ciphertext = {
        0x6e, 0x2e, 0x35, 0x9a, 0x25, 0x68, 0xf9, 0x80, 0x41, 0xba, 0x07, 0x28, 0xdd, 0x0d, 0x69, 0x81,
        0xe9, 0x7e, 0x7a, 0xec, 0x1d, 0x43, 0x60, 0xc2, 0x0a, 0x27, 0xaf, 0xcc, 0xfd, 0x9f, 0xae, 0x0b,
        0xf9, 0x1b, 0x65, 0xc5, 0x52, 0x47, 0x33, 0xab, 0x8f, 0x59, 0x3d, 0xab, 0xcd, 0x62, 0xb3, 0x57,
        0x16, 0x39, 0xd6, 0x24, 0xe6, 0x51, 0x52, 0xab, 0x8f, 0x53, 0x0c, 0x35, 0x9f, 0x08, 0x61, 0xd8,
        0x07, 0xca, 0x0d, 0xbf, 0x50, 0x0d, 0x6a, 0x61, 0x56, 0xa3, 0x8e, 0x08, 0x8a, 0x22, 0xb6, 0x5e,
        0x52, 0xbc, 0x51, 0x4d, 0x16, 0xcc, 0xf8, 0x06, 0x81, 0x8c, 0xe9, 0x1a, 0xb7, 0x79, 0x37, 0x36,
        0x5a, 0xf9, 0x0b, 0xbf, 0x74, 0xa3, 0x5b, 0xe6, 0xb4, 0x0b, 0x8e, 0xed, 0xf2, 0x78, 0x5e, 0x42,
        0x87, 0x4d};
    ASSERT_EQ(plaintext.size(), ciphertext.size());
    for (std::size_t at = 0; at < plaintext.size(); ++at) {
        const Block block = chacha_block(counting_key, at / 64 + 1, {0x4a000000, 0}, 20);
        const std::uint32_t word = block[at % 64 / 4];
        const auto key_byte = static_cast<std::uint8_t>(word >> (8 * (at % 4)));
        ASSERT_EQ(static_cast<std::uint8_t>(plaintext[at]) ^ key_byte, ciphertext[at]) << "byte " << at;
    }
}

TEST(ChaChaBlock, PublishedTwelveRoundVectorForTheZeroKey) {
    // Keystream 9b f4 9a 6a 07 55 f9 53 81 1f ce 12 5f 26 83 d5 … for key and IV all zero.
    const Block expected = {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f,
                            0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e,
                            0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac,
                            0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341};
    EXPECT_EQ(chacha_block(Key{}, 0, {0, 0}, 12), expected);
}

TEST(ChaChaBlock, TwelveRoundsWithACounterAboveThirtyTwoBits) {
    // Derived with an independent model checked against a published ChaCha20 implementation.
    const Block expected = {0xe2796330, 0xcc101d3e, 0x924d94f4, 0x015240ec,
                            0x3645782b, 0x12c5801f, 0x07e1f08e, 0xc9cd1579,
                            0x2e2f810c, 0x76001ed0, 0x37127026, 0xb7806b23,
                            0x75c6975d, 0xdca73c28, 0x627f48c1, 0xa3f44348};
    EXPECT_EQ(chacha_block(counting_key, 0x100000005, {0, 0}, 12), expected);
}

// ---- the stream ------------------------------------------------------------------------------

TEST(ChaCha12Stream, ReadsBlocksInOrderLowWordFirst) {
    ChaCha12Stream stream(counting_key);
    std::vector<std::uint64_t> values;
    for (int i = 0; i < 17; ++i) values.push_back(stream.next_u64());
    EXPECT_EQ(values[0], 0x5ec67ad1fff931f2u);
    EXPECT_EQ(values[1], 0xaa40e9d725f30544u);
    EXPECT_EQ(values[2], 0xbc46bec21f601349u);
    EXPECT_EQ(values[8], 0xe0723b83a09afa6cu);  // first value of block 1
    EXPECT_EQ(values[9], 0x4683d13d52155cdbu);
    EXPECT_EQ(values[16], 0xf4a648ca539176feu);  // first value of block 2
    EXPECT_EQ(stream.bytes_produced(), 3u * 64u);
}

// ---- the thread's generator --------------------------------------------------------------------

TEST(ThreadRandom, RekeysAfterEvery64KiB) {
    // Run to the start of a fresh key, then count: 8192 values of 8 bytes come from one key.
    const std::uint64_t start = thread_random_key_count();
    for (int i = 0; i <= 8192 && thread_random_key_count() == start; ++i) (void)thread_random_u64();
    const std::uint64_t fresh = thread_random_key_count();
    ASSERT_GT(fresh, start);
    for (int i = 1; i < 8192; ++i) {
        (void)thread_random_u64();
        ASSERT_EQ(thread_random_key_count(), fresh) << "rekeyed after " << i << " values";
    }
    (void)thread_random_u64();
    EXPECT_EQ(thread_random_key_count(), fresh + 1);
}

TEST(ThreadRandom, ForkedChildDoesNotRepeatTheParentsDraws) {
    (void)thread_random_u64();  // key the generator and leave values buffered in its block
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    constexpr int count = 4;
    if (child == 0) {
        std::array<std::uint64_t, count> values;
        for (auto& value : values) value = thread_random_u64();
        const bool written = write(pipe_ends[1], values.data(), sizeof(values)) == sizeof(values);
        _exit(written ? 0 : 1);
    }
    close(pipe_ends[1]);
    std::array<std::uint64_t, count> parent_values, child_values;
    for (auto& value : parent_values) value = thread_random_u64();
    ASSERT_EQ(read(pipe_ends[0], child_values.data(), sizeof(child_values)),
              static_cast<ssize_t>(sizeof(child_values)));
    close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::set<std::uint64_t> parent_set(parent_values.begin(), parent_values.end());
    for (const std::uint64_t value : child_values) EXPECT_EQ(parent_set.count(value), 0u);
}

}  // namespace
