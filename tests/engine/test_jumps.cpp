// Jump and set steps of the self-describing form: decoded as laid out, loops run shot by shot
// under their iteration limit, fusion that never reaches across the step a jump continues at,
// and set steps that write a classical bit where their condition holds.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/circuit/circuit_state.hpp"
#include "engine/circuit/fusion.hpp"
#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/program.hpp"
#include "engine/circuit/streams.hpp"
#include "circuit_support.hpp"

namespace {

using korvel::Complex;
using namespace korvel::circuit;
using Bytes = std::vector<std::byte>;

using korvel::testing::put;

struct Record {
    std::uint32_t kind = 0, width = 1;
    std::uint8_t target = 0;
    std::uint64_t cond_mask = 0, cond_value = 0;
    std::uint32_t clbit = 0;
    std::uint64_t matrix = 0;
};

Record gate(std::uint8_t qubit, std::uint64_t first) { return Record{0, 1, qubit, 0, 0, 0, first}; }
Record measure(std::uint8_t qubit, std::uint32_t clbit) { return Record{1, 1, qubit, 0, 0, clbit, 0}; }
Record reset(std::uint8_t qubit) { return Record{2, 1, qubit, 0, 0, 0, 0}; }
Record jump(std::uint64_t to, std::uint32_t loop, std::uint64_t mask = 0, std::uint64_t value = 0) {
    return Record{3, 0, 0, mask, value, loop, to};
}
Record set(std::uint32_t clbit, std::uint64_t value, std::uint64_t mask = 0, std::uint64_t when = 0) {
    return Record{4, 0, 0, mask, when, clbit, value};
}

// Entries 0-3 are X, 4-7 are H.
Bytes program(const std::vector<Record>& records) {
    const double h = 0.70710678118654752440;
    const std::vector<Complex> entries{{0, 0}, {1, 0}, {1, 0}, {0, 0}, {h, 0}, {h, 0}, {h, 0}, {-h, 0}};
    Bytes bytes;
    put(bytes, wide_program_magic), put(bytes, wide_program_version);
    put(bytes, static_cast<std::uint32_t>(records.size())), put(bytes, static_cast<std::uint32_t>(entries.size()));
    for (const Record& r : records) {
        put(bytes, r.kind), put(bytes, r.width);
        for (int j = 0; j < 8; ++j) put(bytes, static_cast<std::uint8_t>(j == 0 ? r.target : 0));
        put(bytes, std::uint64_t{0}), put(bytes, r.cond_mask), put(bytes, r.cond_value), put(bytes, r.clbit);
        put(bytes, std::uint32_t{0}), put(bytes, r.matrix), put(bytes, std::uint64_t{0});
    }
    for (const Complex& e : entries) put(bytes, std::bit_cast<std::uint64_t>(e.real)), put(bytes, std::bit_cast<std::uint64_t>(e.imag));
    return bytes;
}

constexpr std::uint64_t x_gate = 0, h_gate = 4;

template <class Call>
std::string refusal_of(Call&& call) {
    try {
        call();
    } catch (const InvalidInput& refused) {
        return refused.message();
    }
    return "<accepted>";
}

std::vector<std::uint64_t> words_of(const std::vector<Step>& steps, std::uint32_t qubits, std::uint64_t shots,
                                    std::uint64_t limit = default_max_loop_iterations) {
    std::vector<std::uint64_t> words(shots);
    run_trajectories(qubits, steps, words, call_key(7), limit);
    return words;
}

TEST(Jumps, AreDecodedWithTheirTargetLoopAndCondition) {
    const auto steps = decode_program(program({gate(0, h_gate), jump(3, 1, 1, 1), jump(0, 2), measure(0, 0)}), 1, 1);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[1].kind, StepKind::jump);
    EXPECT_EQ(steps[1].jump_to, 3u);
    EXPECT_EQ(steps[1].loop, 1u);
    EXPECT_EQ(steps[1].cond_mask, 1u);
    EXPECT_EQ(steps[1].cond_value, 1u);
    EXPECT_EQ(steps[1].clbit, 0u);
    EXPECT_EQ(steps[2].jump_to, 0u);
    EXPECT_EQ(steps[2].loop, 2u);
}

TEST(Jumps, TheNarrowFormHasNone) {
    Bytes bytes(step_size, std::byte{0});
    bytes[0] = std::byte{3};
    EXPECT_EQ(refusal_of([&] { (void)decode_program(bytes, 1, 1); }),
              "step 0: kind must be 0 (gate), 1 (measure) or 2 (reset), got 3");
}

// Repeat until success: H, measure, back while the bit reads 0. Every shot ends with 1, and
// with 1000 iterations allowed a shot runs out with probability 2^-1000.
TEST(Jumps, ALoopRunsUntilItsConditionFails) {
    const auto steps = decode_program(program({gate(0, h_gate), measure(0, 0), jump(0, 0, 1, 0)}), 1, 1);
    for (const bool fused : {false, true}) {
        const auto words = words_of(fused ? fuse_steps(steps) : steps, 1, 500);
        for (const std::uint64_t word : words) ASSERT_EQ(word, 1u);
    }
}

TEST(Jumps, AShotPastTheLimitStopsTheRunNamingTheLoop) {
    // Measuring |0> forever: the bit never turns 1.
    const auto steps = decode_program(program({reset(0), measure(0, 0), jump(0, 2, 1, 0)}), 1, 1);
    EXPECT_EQ(refusal_of([&] { (void)words_of(steps, 1, 1, 5); }),
              "loop 2 ran past 5 iterations in shot 0");
    EXPECT_EQ(refusal_of([&] { (void)words_of(steps, 1, 40); }).rfind("loop 2 ran past 1000 iterations", 0), 0u);
}

// An outer loop (1) that goes round exactly once more, around an inner loop (0) that goes
// round exactly once per entry: X then a measurement, back while the bit reads 1. Within a
// limit of one, the inner loop runs again only because leaving it set its count back.
TEST(Jumps, TheLimitCountsIterationsSinceTheLoopWasEntered) {
    const std::vector<Record> records{
        gate(0, x_gate), measure(0, 0),                      // 0-1: the inner bit reads 1
        jump(6, 0, 1, 0), gate(0, x_gate), measure(0, 0),   // 2-4: inner test and body
        jump(2, 0),                                          // 5: inner back
        gate(1, x_gate), measure(1, 1), jump(0, 1, 2, 2),   // 6-8: outer body and back while 1
    };
    const auto steps = decode_program(program(records), 2, 2);
    for (const std::uint64_t word : words_of(steps, 2, 20, 1)) EXPECT_EQ(word, 0u);
}

// Forward and back within one loop: the forward jump lands before the loop's backward jump,
// so it does not leave the loop, and the shot runs out instead of running forever.
TEST(Jumps, AForwardJumpInsideItsLoopDoesNotSetTheCountBack) {
    const auto steps = decode_program(program({jump(2, 0), gate(0, h_gate), jump(0, 0)}), 1, 1);
    EXPECT_EQ(refusal_of([&] { (void)words_of(steps, 1, 3, 5); }), "loop 0 ran past 5 iterations in shot 0");
}

// Two X gates fold into the identity unless the second starts a run of its own: the jump
// continues at it, and only with it does the loop end after one iteration.
TEST(Jumps, FusionKeepsTheStepAJumpContinuesAt) {
    const auto steps = decode_program(program({gate(0, x_gate), gate(0, x_gate), gate(1, h_gate), measure(0, 0),
                                               jump(1, 0, 1, 0), measure(1, 1)}), 2, 2);
    const auto fused = fuse_steps(steps);
    std::size_t jumps = 0;
    for (const Step& step : fused) {
        if (step.kind != StepKind::jump) continue;
        ++jumps;
        ASSERT_LT(step.jump_to, fused.size());
        EXPECT_EQ(fused[step.jump_to].kind, StepKind::gate);
        EXPECT_EQ(fused[step.jump_to].target, 0u);
        EXPECT_EQ(step.jump_to, 1u);
    }
    EXPECT_EQ(jumps, 1u);
    for (const auto& program_steps : {steps, fused}) {
        for (const std::uint64_t word : words_of(program_steps, 2, 200, 2)) EXPECT_EQ(word & 1, 1u);
    }
}

TEST(SetSteps, AreDecodedWithTheirBitValueAndCondition) {
    const auto steps = decode_program(program({set(1, 1, 1, 0), set(0, 0)}), 1, 2);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].kind, StepKind::set);
    EXPECT_EQ(steps[0].clbit, 1u);
    EXPECT_EQ(steps[0].value, 1u);
    EXPECT_EQ(steps[0].cond_mask, 1u);
    EXPECT_EQ(steps[0].cond_value, 0u);
    EXPECT_EQ(steps[1].value, 0u);
}

TEST(SetSteps, MalformedOnesAreRefusedNamingTheField) {
    const auto refused = [](Record r, std::uint32_t clbits = 2, Steps allowed = Steps::any) {
        return refusal_of([&] { (void)decode_program(program({gate(0, x_gate), r}), 1, clbits, allowed); });
    };
    EXPECT_EQ(refused(set(0, 2)), "step 1: matrix (the value a set step writes) must be 0 or 1, got 2");
    EXPECT_EQ(refused(set(2, 1)), "step 1: clbit 2 is out of range: there are 2 classical bits");
    EXPECT_EQ(refused(set(0, 1), 0), "step 1: clbit 0 is out of range: there are no classical bits");
    Record wide = set(0, 1);
    wide.width = 1;
    EXPECT_EQ(refused(wide), "step 1: width must be 0 for a set step, got 1");
    Record targeted = set(0, 1);
    targeted.target = 3;
    EXPECT_EQ(refused(targeted), "step 1: targets[0] must be 0 for a step of width 0, got 3");
    EXPECT_EQ(refused(set(0, 1), 0, Steps::gates_only).rfind("step 1: a set step cannot run here", 0), 0u);
    Bytes narrow(step_size, std::byte{0});
    narrow[0] = std::byte{4};
    EXPECT_EQ(refusal_of([&] { (void)decode_program(narrow, 1, 1); }),
              "step 0: kind must be 0 (gate), 1 (measure) or 2 (reset), got 4");
}

// X and a measurement leave bit 0 at 1; the set steps then write where their conditions hold
// and leave the other bits alone, and the last one clears bit 0.
TEST(SetSteps, WriteWhereTheirConditionHolds) {
    const auto steps = decode_program(
        program({gate(0, x_gate), measure(0, 0), set(1, 1, 1, 1), set(2, 1, 1, 0), set(3, 1), set(3, 0, 2, 0),
                 set(0, 0)}), 1, 4);
    for (const std::uint64_t word : words_of(steps, 1, 10)) EXPECT_EQ(word, 0b1010u);
}

// A loop counted by set steps alone: bit 0 := 1 on the first pass, bit 1 := 1 on the second,
// and the test leaves on bit 1. Two backward jumps: within a limit of 2, past a limit of 1.
TEST(SetSteps, CountALoopWithoutMeasurements) {
    const auto steps = decode_program(
        program({jump(4, 0, 2, 2), set(1, 1, 1, 1), set(0, 1), jump(0, 0)}), 1, 2);
    for (const auto& program_steps : {steps, fuse_steps(steps)}) {
        for (const std::uint64_t word : words_of(program_steps, 1, 5, 2)) EXPECT_EQ(word, 0b11u);
    }
    EXPECT_EQ(refusal_of([&] { (void)words_of(steps, 1, 1, 1); }), "loop 0 ran past 1 iterations in shot 0");
}

}  // namespace
