// The self-describing ("KRVL") program form: fields read as laid out, every refusal naming the
// header or the step and field at fault, and any byte string accepted or refused cleanly.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/program.hpp"
#include "circuit_support.hpp"

namespace {

using korvel::Complex;
using namespace korvel::circuit;
using Bytes = std::vector<std::byte>;

using korvel::testing::put;

// A record of the self-describing form laid out by hand; a gate on qubits 0 and 1 by default.
struct WideRecord {
    std::uint32_t kind = 0, width = 2;
    std::uint8_t targets[8] = {0, 1, 0, 0, 0, 0, 0, 0};
    std::uint64_t controls = 0, cond_mask = 0, cond_value = 0;
    std::uint32_t clbit = 0, reserved = 0;
    std::uint64_t matrix = 0, reserved2 = 0;

    void append_to(Bytes& bytes) const {
        put(bytes, kind), put(bytes, width);
        for (const std::uint8_t t : targets) put(bytes, t);
        put(bytes, controls), put(bytes, cond_mask), put(bytes, cond_value), put(bytes, clbit), put(bytes, reserved);
        put(bytes, matrix), put(bytes, reserved2);
    }
};

Bytes wide_program(const std::vector<WideRecord>& records, const std::vector<Complex>& entries,
                   std::uint32_t version = wide_program_version) {
    Bytes bytes;
    put(bytes, wide_program_magic), put(bytes, version);
    put(bytes, static_cast<std::uint32_t>(records.size())), put(bytes, static_cast<std::uint32_t>(entries.size()));
    for (const WideRecord& r : records) r.append_to(bytes);
    for (const Complex& e : entries) put(bytes, std::bit_cast<std::uint64_t>(e.real)), put(bytes, std::bit_cast<std::uint64_t>(e.imag));
    return bytes;
}

// The 4^width entries 0.5 + e, i·e: every one distinct and finite.
std::vector<Complex> counting_entries(std::size_t count) {
    std::vector<Complex> entries(count);
    for (std::size_t e = 0; e < count; ++e) entries[e] = {0.5 + static_cast<double>(e), static_cast<double>(e)};
    return entries;
}

std::string refusal(const Bytes& bytes, std::uint32_t qubits, std::uint32_t clbits, Steps allowed = Steps::any) {
    try {
        (void)decode_program(bytes, qubits, clbits, allowed);
    } catch (const InvalidInput& refused) {
        return refused.message();
    }
    return "<accepted>";
}

TEST(WideProgram, ReadsTargetsControlsAndSharedEntries) {
    WideRecord two;
    two.targets[0] = 5, two.targets[1] = 2, two.controls = 0b1001, two.cond_mask = 1, two.cond_value = 1;
    WideRecord one;
    one.width = 1, one.targets[0] = 3, one.targets[1] = 0, one.matrix = 12;
    WideRecord measure;
    measure.kind = 1, measure.width = 1, measure.targets[1] = 0, measure.clbit = 1;
    // The second gate step reuses the first's entries 12 to 15 as its 2 × 2 matrix.
    const auto steps = decode_program(wide_program({two, one, measure, two}, counting_entries(16)), 6, 2);
    ASSERT_EQ(steps.size(), 4u);
    ASSERT_NE(steps[0].wide, nullptr);
    EXPECT_EQ(steps[0].wide->width(), 2u);
    EXPECT_EQ(steps[0].wide->target(0), 5u);
    EXPECT_EQ(steps[0].wide->target(1), 2u);
    EXPECT_EQ(steps[0].wide->kind(), korvel::WideKind::dense);
    EXPECT_EQ(steps[0].wide->entry(2, 3).real, 11.5);
    EXPECT_EQ(steps[0].controls, 0b1001u);
    EXPECT_TRUE(steps[0].runs_on(1));
    EXPECT_FALSE(steps[0].runs_on(0));
    EXPECT_EQ(steps[1].wide, nullptr);
    EXPECT_EQ(steps[1].target, 3u);
    EXPECT_EQ(steps[1].gate.entry(1, 0).imag, 14.0);
    EXPECT_EQ(steps[2].kind, StepKind::measure);
    EXPECT_EQ(steps[2].clbit, 1u);
    EXPECT_EQ(steps[3].wide->entry(0, 0).real, 0.5);
}

struct Case {
    const char* name;
    void (*change)(WideRecord&);
    std::string message;
    Steps allowed = Steps::any;
};

// Every rule of a record, broken alone in step 1 of a program whose step 0 is valid, on 6 qubits
// and 2 classical bits, with 20 entries.
const Case cases[] = {
    {"kind", [](WideRecord& r) { r.kind = 5; }, "kind must be 0 (gate), 1 (measure), 2 (reset), 3 (jump) or 4 (set), got 5"},
    {"jump_width", [](WideRecord& r) { r.kind = 3; }, "width must be 0 for a jump step, got 2"},
    {"jump_targets", [](WideRecord& r) { r.kind = 3, r.width = 0; }, "targets[1] must be 0 for a step of width 0, got 1"},
    {"jump_controls", [](WideRecord& r) { r.kind = 3, r.width = 0, r.targets[1] = 0, r.controls = 2; },
     "controls must be 0 for a jump step, got 0x2"},
    {"jump_past_end", [](WideRecord& r) { r.kind = 3, r.width = 0, r.targets[1] = 0, r.matrix = 4; },
     "matrix (the step a jump continues at) is 4, out of range for a program of 3 steps"},
    {"jump_to_itself", [](WideRecord& r) { r.kind = 3, r.width = 0, r.targets[1] = 0, r.matrix = 1; },
     "matrix (the step a jump continues at) is the jump itself"},
    {"jump_loop", [](WideRecord& r) { r.kind = 3, r.width = 0, r.targets[1] = 0, r.clbit = 3; },
     "clbit (the loop of a jump) is 3, not below the program's 3 steps"},
    {"jump_reserved", [](WideRecord& r) { r.kind = 3, r.width = 0, r.targets[1] = 0, r.reserved2 = 1; },
     "the reserved field at offset 56 must be 0, got 0x1"},
    {"gates_only_jump", [](WideRecord& r) { r.kind = 3, r.width = 0, r.targets[1] = 0; },
     "a jump step cannot run here: only gate steps evolve a State (run_shots runs measurements and resets)",
     Steps::gates_only},
    {"gates_only_kind", [](WideRecord& r) { r.kind = 2, r.width = 1, r.targets[1] = 0; },
     "a reset step cannot run here: only gate steps evolve a State (run_shots runs measurements and resets)",
     Steps::gates_only},
    {"gate_width_zero", [](WideRecord& r) { r.width = 0; }, "width must be between 1 and 5 for a gate step, got 0"},
    {"gate_width_six", [](WideRecord& r) { r.width = 6; }, "width must be between 1 and 5 for a gate step, got 6"},
    {"measure_width", [](WideRecord& r) { r.kind = 1; }, "width must be 1 for a measure step, got 2"},
    {"target_range", [](WideRecord& r) { r.targets[1] = 6; }, "targets[1] = 6 is out of range for 6 qubits"},
    {"target_repeat", [](WideRecord& r) { r.targets[1] = 0; }, "targets[1] repeats qubit 0"},
    {"target_unused", [](WideRecord& r) { r.targets[7] = 1; }, "targets[7] must be 0 for a step of width 2, got 1"},
    {"controls_on_reset", [](WideRecord& r) { r.kind = 2, r.width = 1, r.targets[1] = 0, r.controls = 4; },
     "controls must be 0 for a reset step, got 0x4"},
    {"controls_range", [](WideRecord& r) { r.controls = 0x80; },
     "controls 0x80 name qubit 7, out of range for 6 qubits"},
    {"controls_target", [](WideRecord& r) { r.controls = 0x6; }, "controls 0x6 include the target qubit 1"},
    {"gates_only_condition", [](WideRecord& r) { r.cond_mask = 1; },
     "a conditional step cannot run here: a State has no classical bits (run_shots runs conditions)",
     Steps::gates_only},
    {"cond_mask", [](WideRecord& r) { r.cond_mask = 0x5; },
     "cond_mask 0x5 names classical bit 2, but there are 2 classical bits"},
    {"cond_value", [](WideRecord& r) { r.cond_mask = 1, r.cond_value = 3; },
     "cond_value 0x3 has bits outside cond_mask 0x1"},
    {"clbit_range", [](WideRecord& r) { r.kind = 1, r.width = 1, r.targets[1] = 0, r.clbit = 2; },
     "clbit 2 is out of range: there are 2 classical bits"},
    {"clbit_on_gate", [](WideRecord& r) { r.clbit = 1; }, "clbit must be 0 for a gate step, got 1"},
    {"reserved", [](WideRecord& r) { r.reserved = 9; }, "reserved must be 0, got 9"},
    {"reserved2", [](WideRecord& r) { r.reserved2 = 1ull << 63; },
     "the reserved field at offset 56 must be 0, got 0x8000000000000000"},
    {"matrix_on_measure", [](WideRecord& r) { r.kind = 1, r.width = 1, r.targets[1] = 0, r.matrix = 4; },
     "matrix must be 0 for a measure step, got 4"},
    {"matrix_past_end", [](WideRecord& r) { r.matrix = 5; },
     "matrix entries 5 to 20 lie outside the program's 20 entries"},
    {"matrix_wraps", [](WideRecord& r) { r.matrix = ~std::uint64_t{0} - 3; },
     "matrix entries 18446744073709551612 to 18446744073709551612 + 15 lie outside the program's 20 entries"},
    {"matrix_too_wide", [](WideRecord& r) { r.width = 3, r.targets[2] = 2; },
     "matrix entries 0 to 63 lie outside the program's 20 entries"},
};

class WideProgramRefusals : public ::testing::TestWithParam<Case> {};

TEST_P(WideProgramRefusals, NameTheStepAndField) {
    const Case& c = GetParam();
    WideRecord faulty;
    c.change(faulty);
    const Bytes bytes = wide_program({WideRecord{}, faulty, faulty}, counting_entries(20));
    EXPECT_EQ(refusal(bytes, 6, 2, c.allowed), "step 1: " + c.message);
}

INSTANTIATE_TEST_SUITE_P(EveryRule, WideProgramRefusals, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(WideProgram, NonFiniteEntriesAreNamedByRowAndColumn) {
    std::vector<Complex> entries = counting_entries(16);
    entries[6].imag = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(refusal(wide_program({WideRecord{}}, entries), 2, 0),
              "step 0: matrix entry (1, 2) has a non-finite imaginary part (-inf)");
    entries[6].imag = 0, entries[13].real = std::nan("");
    EXPECT_EQ(refusal(wide_program({WideRecord{}}, entries), 2, 0),
              "step 0: matrix entry (3, 1) has a non-finite real part (nan)");
    // Entries no step points at are never read.
    entries.push_back({std::nan(""), 0});
    entries[13].real = 0;
    EXPECT_EQ(refusal(wide_program({WideRecord{}}, entries), 2, 0), "<accepted>");
}

TEST(WideProgram, HeaderRefusals) {
    const Bytes valid = wide_program({WideRecord{}}, counting_entries(16));
    EXPECT_EQ(refusal(Bytes(valid.begin(), valid.begin() + 7), 2, 0),
              "header: incomplete: the program has 7 bytes, fewer than the 16-byte header");
    EXPECT_EQ(refusal(wide_program({}, {}, 1), 2, 0), "header: version must be 2, got 1");
    EXPECT_EQ(refusal(Bytes(valid.begin(), valid.end() - 1), 2, 0),
              "header: 1 steps and 16 matrix entries take 336 bytes, but the program has 335");
    Bytes longer = valid;
    longer.push_back(std::byte{0});
    EXPECT_EQ(refusal(longer, 2, 0), "header: 1 steps and 16 matrix entries take 336 bytes, but the program has 337");
    // Counts near 2^32 overflow nothing: the size they need is computed in 64 bits.
    Bytes huge = wide_program({}, {});
    for (std::size_t i = 8; i < 16; ++i) huge[i] = std::byte{0xff};
    EXPECT_EQ(refusal(huge, 2, 0),
              "header: 4294967295 steps and 4294967295 matrix entries take 343597383616 bytes, but the program has 16");
    EXPECT_EQ(refusal(wide_program({}, {}), 0, 0), "<accepted>");
}

// Arbitrary bytes after a valid header: mostly small fields, so that some programs pass, and
// truncation or stray bytes now and then. Every input is accepted or refused with a message
// naming the header or a record in range, never anything else.
TEST(WideProgram, ArbitraryBytesAreAcceptedOrRefusedCleanly) {
    std::mt19937_64 random(23);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const auto small = [&](std::uint64_t bound) { return random() % 16 == 0 ? random() : random() % bound; };
        std::vector<WideRecord> records(random() % 4);
        for (WideRecord& r : records) {
            r.kind = static_cast<std::uint32_t>(random() % 8 == 0 ? small(4) : 0);
            r.width = static_cast<std::uint32_t>(small(r.kind == 0 ? 6 : 2));
            for (std::uint8_t& t : r.targets) t = 0;
            for (std::uint32_t j = 0; j < 8 && j < r.width + (random() % 8 == 0); ++j) {
                r.targets[j] = static_cast<std::uint8_t>(small(6));
            }
            r.controls = random() % 2 ? 0 : small(64);
            r.cond_mask = random() % 2 ? 0 : small(4);
            r.cond_value = r.cond_mask & small(4);
            r.clbit = static_cast<std::uint32_t>(r.kind == 1 ? small(3) : random() % 16 == 0);
            r.reserved = random() % 32 == 0;
            r.reserved2 = random() % 32 == 0 ? random() : 0;
            r.matrix = r.kind == 0 ? small(40) : random() % 16 == 0;
        }
        std::vector<Complex> entries(random() % 1200);
        for (Complex& e : entries) {
            e = {random() % 64 == 0 ? std::bit_cast<double>(random()) : 0.25, 0.0};
        }
        Bytes bytes = wide_program(records, entries, random() % 64 == 0 ? 3 : wide_program_version);
        if (random() % 16 == 0) bytes.resize(random() % (bytes.size() + 1));
        if (random() % 16 == 0) bytes.push_back(static_cast<std::byte>(random()));
        const std::uint32_t qubits = static_cast<std::uint32_t>(random() % 7);
        const std::uint32_t clbits = static_cast<std::uint32_t>(random() % 3);
        const std::string message = refusal(bytes, qubits, clbits, random() % 4 ? Steps::any : Steps::gates_only);
        if (message == "<accepted>") {
            ++accepted;
            continue;
        }
        if (message.rfind("header: ", 0) == 0) continue;
        // A cut program whose magic is gone reads as the one-qubit form.
        if (bytes.size() < 4) continue;
        ASSERT_EQ(message.rfind("step ", 0), 0u) << message;
        EXPECT_LT(std::stoul(message.substr(5)), records.size()) << message;
    }
    EXPECT_GT(accepted, 1000);
}

}  // namespace
