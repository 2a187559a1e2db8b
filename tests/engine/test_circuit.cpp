// The circuit runner's engine: program decoding on arbitrary bytes, the sampler's guarantees on
// awkward weights, and its random streams.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "circuit_support.hpp"
#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/program.hpp"
#include "engine/circuit/sampler.hpp"
#include "engine/circuit/streams.hpp"
#include "engine/readout/measurement.hpp"
#include "engine/readout/weighted_draw.hpp"

namespace {

using korvel::Complex;
using korvel::Register;
using namespace korvel::circuit;
using namespace korvel::testing;
using Bytes = std::vector<std::byte>;

// A record laid out by hand, little-endian, as the Python side builds it.
struct Record {
    std::uint32_t kind = 0, target = 0;
    std::uint64_t controls = 0, cond_mask = 0, cond_value = 0;
    std::uint32_t clbit = 0, reserved = 0;
    double matrix[8] = {1, 0, 0, 0, 0, 0, 1, 0};

    void append_to(Bytes& bytes) const {
        const auto put = [&](auto value) {
            for (std::size_t i = 0; i < sizeof(value); ++i) {
                bytes.push_back(static_cast<std::byte>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xff));
            }
        };
        put(kind), put(target), put(controls), put(cond_mask), put(cond_value), put(clbit), put(reserved);
        for (const double entry : matrix) put(std::bit_cast<std::uint64_t>(entry));
    }
};

std::string refusal(const Bytes& bytes, std::uint32_t qubits, std::uint32_t clbits) {
    try {
        (void)decode_program(bytes, qubits, clbits);
    } catch (const InvalidInput& refused) {
        return refused.message();
    }
    return "<accepted>";
}

TEST(DecodeProgram, ReadsEveryFieldLittleEndianAtAnyAlignment) {
    Record record;
    record.kind = 0, record.target = 4, record.controls = 0b100001, record.cond_mask = 1ull << 63;
    record.cond_value = 1ull << 63;
    for (int i = 0; i < 8; ++i) record.matrix[i] = 0.5 + i;
    Bytes bytes(3, std::byte{0xee});  // an odd offset inside the buffer
    record.append_to(bytes);
    const auto steps = decode_program(std::span(bytes).subspan(3), 6, 64);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].kind, StepKind::gate);
    EXPECT_EQ(steps[0].target, 4u);
    EXPECT_EQ(steps[0].controls, 0b100001u);
    EXPECT_TRUE(steps[0].runs_on(1ull << 63));
    EXPECT_FALSE(steps[0].runs_on(0));
    EXPECT_EQ(steps[0].gate.entry(1, 1).imag, 7.5);
    EXPECT_EQ(steps[0].gate.entry(0, 1).real, 2.5);
}

TEST(DecodeProgram, RefusesRegisterAndClassicalSizesOutOfRange) {
    EXPECT_EQ(refusal({}, 30, 0), "num_qubits must be between 0 and 29, got 30");
    EXPECT_EQ(refusal({}, 0xffffffff, 0), "num_qubits must be between 0 and 29, got 4294967295");
    EXPECT_EQ(refusal({}, 3, 65), "num_clbits must be between 0 and 64, got 65");
    EXPECT_EQ(refusal({}, 0, 0), "<accepted>");
}

TEST(DecodeProgram, TheFirstFaultyRecordAndFieldAreNamed) {
    Bytes bytes;
    Record{}.append_to(bytes);
    Record measure_record;
    measure_record.kind = 1, measure_record.clbit = 63;
    measure_record.append_to(bytes);
    Record faulty;
    faulty.reserved = 1, faulty.target = 9;  // the target is checked first
    faulty.append_to(bytes);
    faulty.append_to(bytes);
    EXPECT_EQ(refusal(bytes, 4, 64), "step 2: target 9 is out of range for 4 qubits");
    EXPECT_EQ(refusal(Bytes(bytes.begin(), bytes.begin() + 208), 4, 63),
              "step 1: clbit 63 is out of range: there are 63 classical bits");
    EXPECT_EQ(refusal(Bytes(bytes.begin(), bytes.begin() + 208), 4, 64), "<accepted>");
    EXPECT_EQ(decode_program(Bytes(bytes.begin(), bytes.begin() + 208), 4, 64, Steps::any).size(), 2u);
}

// Arbitrary bytes: every input is accepted or refused with a message naming a record in range,
// never anything else. (The libFuzzer target does the same without bounds.)
TEST(DecodeProgram, ArbitraryBytesAreAcceptedOrRefusedCleanly) {
    std::mt19937_64 random(11);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes;
        const std::size_t records = random() % 4;
        for (std::size_t r = 0; r < records; ++r) {
            Record record;
            // Mostly small values, so that some records pass every check.
            const auto small = [&](std::uint64_t bound) { return random() % 8 == 0 ? random() : random() % bound; };
            record.kind = static_cast<std::uint32_t>(small(3)), record.target = static_cast<std::uint32_t>(small(5));
            record.controls = random() % 2 ? 0 : small(32), record.cond_mask = random() % 2 ? 0 : small(8);
            record.cond_value = record.cond_mask & small(8), record.clbit = static_cast<std::uint32_t>(small(3));
            record.reserved = random() % 16 == 0;
            for (double& entry : record.matrix) entry = std::bit_cast<double>(random() % 16 == 0 ? random() : 0ull);
            record.append_to(bytes);
        }
        if (random() % 8 == 0) bytes.resize(random() % (bytes.size() + 1));
        const std::uint32_t qubits = static_cast<std::uint32_t>(random() % 6);
        const std::uint32_t clbits = static_cast<std::uint32_t>(random() % 4);
        const std::string message = refusal(bytes, qubits, clbits);
        if (message == "<accepted>") {
            ++accepted;
            EXPECT_EQ(bytes.size() % step_size, 0u);
            continue;
        }
        ASSERT_EQ(message.rfind("step ", 0), 0u) << message;
        EXPECT_LE(std::stoul(message.substr(5)), bytes.size() / step_size) << message;
    }
    EXPECT_GT(accepted, 1000);
}

Register state_with(std::uint32_t n, const std::vector<Complex>& amplitudes) {
    Register reg = Register::create(n);
    set_amplitudes(reg, amplitudes);
    return reg;
}

// Weights across many orders of magnitude, exact zeros, and amplitudes whose squares underflow
// to zero: draws land only where the weight is non-zero, and every draw lands.
TEST(Sampler, DrawsOnlyNonZeroWeightsAndLosesNone) {
    constexpr std::uint32_t n = 16;  // four chunks
    std::mt19937_64 random(3);
    std::vector<Complex> amplitudes(std::size_t{1} << n, Complex{0.0, 0.0});
    for (std::size_t k = 0; k < amplitudes.size(); ++k) {
        switch (random() % 6) {
            case 0: amplitudes[k] = {std::ldexp(1.0, -static_cast<int>(random() % 60)), 0.0}; break;
            case 1: amplitudes[k] = {0.0, 1e-170}; break;  // squares to 0
            case 2: amplitudes[k] = {1e-160, -1e-160}; break;
            default: break;
        }
    }
    amplitudes.back() = {1e-150, 0.0};  // the top of the cumulative sum: a tiny last weight
    const Register reg = state_with(n, amplitudes);
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        std::vector<std::uint64_t> draws(1 + seed * 997);
        sample_outcomes(reg, draws, key_from_seed(seed));
        for (const std::uint64_t k : draws) ASSERT_GT(korvel::norm_sqr(amplitudes[k]), 0.0) << k;
        const OutcomeCounts counts = sample_counts(reg, 1 + seed * 99991, key_from_seed(seed));
        std::uint64_t total = 0;
        for (std::size_t j = 0; j < counts.outcomes.size(); ++j) {
            ASSERT_GT(korvel::norm_sqr(amplitudes[counts.outcomes[j]]), 0.0);
            if (j > 0) {
                ASSERT_LT(counts.outcomes[j - 1], counts.outcomes[j]);
            }
            total += counts.counts[j];
        }
        EXPECT_EQ(total, 1 + seed * 99991);
    }
}

TEST(Sampler, HugeShotCountsAreSplitExactly) {
    // The last weight, 1e-12 of the total, is far below the rounding of the weights before it.
    const Register reg = state_with(2, {{0.6, 0.0}, {0.0, 0.0}, {0.0, 0.8}, {1e-6, 0.0}});
    const std::uint64_t shots = (std::uint64_t{1} << 63) - 1;
    const OutcomeCounts counts = sample_counts(reg, shots, key_from_seed(1));
    ASSERT_EQ(counts.outcomes, (std::vector<std::uint64_t>{0, 2, 3}));
    EXPECT_EQ(counts.counts[0] + counts.counts[1] + counts.counts[2], shots);
    EXPECT_NEAR(static_cast<double>(counts.counts[1]) / static_cast<double>(shots), 0.64, 1e-6);
    EXPECT_NEAR(static_cast<double>(counts.counts[2]) / static_cast<double>(shots), 1e-12, 1e-14);
}

TEST(Sampler, RefusesStatesWithoutAUsableNorm) {
    const auto refusal_of = [](const Register& reg) {
        std::uint64_t draw = 0;
        try {
            sample_outcomes(reg, std::span(&draw, 1), key_from_seed(0));
        } catch (const InvalidInput& refused) {
            return refused.message();
        }
        return std::string("<drawn>");
    };
    EXPECT_EQ(refusal_of(state_with(2, {{0, 0}, {0, 0}, {0, 0}, {0, 0}})),
              "cannot draw shots: every amplitude of the state is zero");
    EXPECT_EQ(refusal_of(state_with(1, {{std::nan(""), 0}, {1, 0}})),
              "cannot draw shots: the squared norm of the state is not finite");
    EXPECT_EQ(refusal_of(state_with(1, {{1e200, 0}, {1, 0}})),
              "cannot draw shots: the squared norm of the state is not finite");
    // Refusing changed nothing: the register is not poisoned.
    Register reg = state_with(1, {{0, 0}, {0, 0}});
    (void)refusal_of(reg);
    EXPECT_FALSE(reg.state().poisoned());
}

TEST(Streams, SeedsExpandThroughSplitMix64) {
    // SplitMix64 from 0: first output 0xE220A8397B1DCDAF, second 0x6E789E6AA1B965F4.
    const StreamKey key = key_from_seed(0);
    EXPECT_EQ(key[0], 0x7B1DCDAFu);
    EXPECT_EQ(key[1], 0xE220A839u);
    EXPECT_EQ(key[2], 0xA1B965F4u);
    EXPECT_EQ(key[3], 0x6E789E6Au);
    EXPECT_NE(key_from_seed(1), key);
    EXPECT_NE(fresh_key(), fresh_key());
}

TEST(Streams, SubstreamsDifferByPurposeAndIndex) {
    const StreamKey key = key_from_seed(5);
    std::set<std::uint64_t> firsts;
    for (const auto purpose : {StreamPurpose::chunk_split, StreamPurpose::chunk_draws, StreamPurpose::shot}) {
        for (std::uint64_t index : {0ull, 1ull, 1ull << 40}) firsts.insert(substream(key, purpose, index).next_u64());
    }
    firsts.insert(korvel::ChaCha12Stream(key).next_u64());
    EXPECT_EQ(firsts.size(), 10u);
}

TEST(Streams, BoundedDrawsAndBinomials) {
    korvel::ChaCha12Stream stream(key_from_seed(9));
    std::vector<int> seen(3);
    for (int i = 0; i < 3000; ++i) ++seen[uniform_below(stream, 3)];
    for (const int count : seen) EXPECT_NEAR(count, 1000, 150);
    EXPECT_EQ(uniform_below(stream, 1), 0u);
    EXPECT_LT(uniform_below(stream, ~std::uint64_t{0}), ~std::uint64_t{0});
    EXPECT_EQ(binomial(stream, 12345, 0.0), 0u);
    EXPECT_EQ(binomial(stream, 12345, 1.0), 12345u);
    EXPECT_EQ(binomial(stream, 0, 0.5), 0u);
    // Trial counts where the library's own draw does not return are drawn in pieces.
    const std::uint64_t huge = std::uint64_t{1} << 62;
    const double share = static_cast<double>(binomial(stream, huge, 0.3)) / static_cast<double>(huge);
    EXPECT_NEAR(share, 0.3, 1e-6);
}

TEST(Streams, MeasureTakesItsDrawFromTheCallersStream) {
    constexpr double h = 0.7071067811865476;
    korvel::ChaCha12Stream stream(key_from_seed(2));
    korvel::ChaCha12Stream copy = stream;
    Register reg = state_with(1, {{h, 0}, {h, 0}});
    const std::uint32_t outcome = korvel::measure(reg, 0, korvel::RandomSource(stream));
    // One value taken: the stream moved on by exactly one, and decided the outcome.
    const std::uint64_t bits = copy.next_u64();
    EXPECT_EQ(stream.next_u64(), copy.next_u64());
    EXPECT_EQ(outcome, korvel::unit_from_bits(bits) < 0.5 ? 0u : 1u);
}

}  // namespace
