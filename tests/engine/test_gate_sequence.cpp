// Cache-blocked gate sequences against one scalar pass per gate, bit for bit (zeros of either
// sign equal), over random sequences of every gate kind on registers on both sides of each
// block size.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "circuit_support.hpp"
#include "engine/sequence/apply_gate.hpp"
#include "engine/sequence/blocked_sequence.hpp"
#include "engine/sequence/gate_queue.hpp"
#include "engine/sequence/gate_sequence.hpp"
#include "engine/state/probabilities.hpp"
#include "engine/kernels/isa_choice.hpp"
#include "engine/kernels/scalar_kernel.hpp"

namespace {

using korvel::BlockShape;
using korvel::Complex;
using korvel::QGate;
using korvel::SequenceGate;
using namespace korvel::testing;

// The unfused model: the scalar reference loop over the whole state, one pass per gate.
void one_pass_per_gate(std::vector<Complex>& state, std::uint32_t n, const std::vector<SequenceGate>& gates) {
    for (const SequenceGate& g : gates) {
        const korvel::PairLayout layout(n, g.target, g.controls);
        korvel::apply_pairs_scalar(state.data(), g.gate.entries(), layout, 0, layout.count());
    }
}

bool equal_up_to_zero_sign(const std::vector<Complex>& x, const std::vector<Complex>& y, std::string& where) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        // == treats +0 and -0 as equal and is exact otherwise (no NaN arises here).
        if (!(x[i].real == y[i].real && x[i].imag == y[i].imag)) {
            where = "amplitude " + std::to_string(i);
            return false;
        }
    }
    return true;
}

enum class Kind { general, real, diagonal, phase, anti_diagonal, projector, flip };

QGate random_gate(Kind kind, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(-3.2, 3.2);
    const auto phase = [&] { const double a = angle(rng); return Complex{std::cos(a), std::sin(a)}; };
    const double t = angle(rng);
    const double c = std::cos(t), s = std::sin(t);
    const Complex zero{0.0, 0.0};
    switch (kind) {
        case Kind::general: {
            const Complex p = phase(), q = phase();
            return matrix({c, 0.0}, Complex{-s, 0.0} * q, p * Complex{s, 0.0}, p * q * Complex{c, 0.0});
        }
        case Kind::real: return matrix({c, 0.0}, {-s, 0.0}, {s, 0.0}, {c, 0.0});
        case Kind::diagonal: return matrix(phase(), zero, zero, phase());
        case Kind::phase: return matrix({1.0, 0.0}, zero, zero, phase());
        case Kind::anti_diagonal: return matrix(zero, phase(), phase(), zero);
        case Kind::projector: return matrix({1.0 / c, 0.0}, zero, zero, zero);
        case Kind::flip: break;  // the permutation the planner may move past other gates
    }
    return bit_flip;
}

// Targets and controls drawn from the lowest and the highest few qubits as often as from the rest.
std::uint32_t random_qubit(std::uint32_t n, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint32_t> any(0, n - 1), edge(0, std::min(n, 3u) - 1);
    switch (rng() % 3) {
        case 0: return edge(rng);
        case 1: return n - 1 - edge(rng);
        default: return any(rng);
    }
}

std::vector<SequenceGate> random_sequence(std::uint32_t n, std::size_t length, std::mt19937_64& rng) {
    std::vector<SequenceGate> gates;
    for (std::size_t i = 0; i < length; ++i) {
        const auto kind = static_cast<Kind>(rng() % 7);
        const std::uint32_t target = random_qubit(n, rng);
        std::uint64_t controls = 0;
        for (std::uint64_t k = rng() % 3; k > 0 && n > 1; --k) controls |= std::uint64_t{1} << random_qubit(n, rng);
        controls &= ~(std::uint64_t{1} << target);
        gates.push_back({random_gate(kind, rng), target, controls});
    }
    return gates;
}

std::vector<Complex> random_state(std::uint32_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<Complex> state(std::size_t{1} << n);
    for (Complex& a : state) a = {value(rng), value(rng)};
    return state;
}

void expect_blocked_equals_unfused(std::uint32_t n, std::size_t length, std::uint64_t seed,
                                   const BlockShape* shape) {
    std::mt19937_64 rng(seed);
    const std::vector<SequenceGate> gates = random_sequence(n, length, rng);
    const std::vector<Complex> start = random_state(n, rng);
    std::vector<Complex> expected = start;
    one_pass_per_gate(expected, n, gates);
    std::vector<Complex> blocked = start;
    korvel::SequenceWorkspace workspace;
    if (shape != nullptr) {
        korvel::run_gate_sequence(blocked.data(), n, gates, workspace, *shape);
    } else {
        korvel::run_gate_sequence(blocked.data(), n, gates, workspace);
    }
    std::string where;
    EXPECT_TRUE(equal_up_to_zero_sign(blocked, expected, where))
        << "n=" << n << " seed=" << seed << " differs at " << where;
}

// The engine's own block shape: sizes below, at and above one block, two blocks, many blocks.
class BlockedSequence : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(BlockedSequence, EqualsOnePassPerGateOnEveryInstructionSet) {
    const std::uint32_t n = GetParam();
    for (const auto isa : {korvel::KernelIsa::scalar, korvel::KernelIsa::avx2, korvel::KernelIsa::avx512}) {
        const korvel::KernelIsa before = korvel::active_isa();
        korvel::use_isa(isa);
        for (std::uint64_t seed = 0; seed < (n > 16 ? 1u : 3u); ++seed) {
            expect_blocked_equals_unfused(n, 60, seed * 100 + n, nullptr);
        }
        korvel::use_isa(before);
    }
}

INSTANTIATE_TEST_SUITE_P(RegisterSizes, BlockedSequence,
                         ::testing::Values(1u, 2u, 5u, 12u, 13u, 14u, 15u, 16u, 17u, 18u));

// Small blocks put many runs, pieces and block-selecting controls into a small register.
struct SmallShape {
    std::uint32_t n;
    BlockShape shape;
};

class SmallBlocks : public ::testing::TestWithParam<SmallShape> {};

TEST_P(SmallBlocks, EqualOnePassPerGate) {
    const SmallShape p = GetParam();
    for (std::uint64_t seed = 0; seed < 20; ++seed) expect_blocked_equals_unfused(p.n, 40, seed, &p.shape);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SmallBlocks,
                         ::testing::Values(SmallShape{6, {3, 1}}, SmallShape{6, {5, 5}}, SmallShape{8, {4, 0}},
                                           SmallShape{8, {4, 2}}, SmallShape{9, {7, 3}}, SmallShape{10, {5, 2}},
                                           SmallShape{11, {6, 6}}, SmallShape{3, {8, 4}}));

// The register-level entry points: apply_gate's targets and apply_gate_sequence on a Register.
TEST(ApplyGateSequence, RegisterResultsEqualOnePassPerGate) {
    std::mt19937_64 rng(7);
    const std::uint32_t n = 17;
    const std::vector<SequenceGate> gates = random_sequence(n, 50, rng);
    const std::vector<Complex> start = random_state(n, rng);
    korvel::Register reg = korvel::Register::create(n);
    set_amplitudes(reg, start);
    korvel::apply_gate_sequence(reg, gates);
    std::vector<Complex> expected = start;
    one_pass_per_gate(expected, n, gates);
    std::string where;
    EXPECT_TRUE(equal_up_to_zero_sign(amplitudes_of(reg), expected, where)) << where;
}

TEST(ApplyGateSequence, EmptySequenceTakesNoLock) {
    korvel::Register reg = korvel::Register::create(3);
    poison(reg);
    EXPECT_EQ(failure_message([&] { korvel::apply_gate_sequence(reg, {}); }), "<returned normally>");
}

}  // namespace

namespace {

using korvel::apply_gate_deferred;

// Queued passes: the same checks in the call, the same state at the next reading.
TEST(DeferredPasses, ReadingsSeeEveryEarlierPassAndFailuresStayInTheirCall) {
    const QGate h = matrix({0.6, 0.0}, {0.8, 0.0}, {0.8, 0.0}, {-0.6, 0.0});
    for (const std::uint32_t n : {3u, 14u, 17u}) {
        korvel::Register deferred = korvel::Register::create(n);
        korvel::Register immediate = korvel::Register::create(n);
        std::vector<std::uint32_t> all(n);
        for (std::uint32_t q = 0; q < n; ++q) all[q] = q;
        const std::vector<std::uint32_t> bad{1, n, 0};
        const std::vector<std::uint32_t> control{n - 1};
        for (int round = 0; round < 700; ++round) {
            const std::vector<std::uint32_t> one{static_cast<std::uint32_t>(round) % n};
            apply_gate_deferred(deferred, round % 3 ? h : bit_flip, round % 5 ? one : all, round % 2 ? control : std::vector<std::uint32_t>{});
            korvel::apply_gate(immediate, round % 3 ? h : bit_flip, round % 5 ? one : all, round % 2 ? control : std::vector<std::uint32_t>{});
        }
        // Target 1 is applied, then n is refused in the call, before anything is read.
        EXPECT_EQ(failure_message([&] { apply_gate_deferred(deferred, h, bad, {}); }), "Target(s) outside qubit range");
        EXPECT_EQ(failure_message([&] { korvel::apply_gate(immediate, h, bad, {}); }), "Target(s) outside qubit range");
        EXPECT_EQ(probabilities_of(deferred), probabilities_of(immediate)) << "n=" << n;
    }
}

TEST(DeferredPasses, APoisonedLockFailsTheCallThatWouldTakeIt) {
    korvel::Register reg = korvel::Register::create(15);
    const std::vector<std::uint32_t> targets{0, 3};
    apply_gate_deferred(reg, bit_flip, targets, {});
    apply_gate_deferred(reg, bit_flip, targets, {});
    poison(reg);
    EXPECT_EQ(failure_message([&] { apply_gate_deferred(reg, bit_flip, targets, {}); }), poison_message);
    // Empty passes take no lock.
    const std::vector<std::uint32_t> on_target{0};
    EXPECT_EQ(failure_message([&] { apply_gate_deferred(reg, bit_flip, on_target, on_target); }), "<returned normally>");
    const std::vector<std::uint32_t> outside{15};
    EXPECT_EQ(failure_message([&] { apply_gate_deferred(reg, bit_flip, targets, outside); }), "<returned normally>");
}

}  // namespace
