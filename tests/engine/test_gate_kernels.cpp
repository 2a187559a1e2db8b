#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "circuit_support.hpp"
#include "engine/state/amplitude_buffer.hpp"
#include "engine/sequence/apply_gate.hpp"
#include "engine/kernels/gate_pass.hpp"
#include "engine/kernels/isa_choice.hpp"
#include "engine/kernels/scalar_kernel.hpp"
#include "engine/pool/worker_pool.hpp"

namespace {

using korvel::Complex;
using korvel::GateMatrix;
using korvel::KernelIsa;
using korvel::PairLayout;
using namespace korvel::testing;
using Indices = std::vector<std::uint32_t>;

std::vector<Complex> random_state(std::uint32_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> value(-1.5, 1.5);
    std::vector<Complex> state(std::size_t{1} << n);
    for (Complex& a : state) a = {value(rng), value(rng)};
    return state;
}

// A dense gate, a diagonal and an anti-diagonal one with signed zeros, and a collapse matrix:
// every kernel path must give the scalar loop's bits, the signs of zeros included.
std::vector<GateMatrix> matrices() {
    const Complex a{0.8775825618903728, 0.0}, b{-0.4207354924039483, -0.2298488470659301};
    const Complex c{0.4014169167360992, 0.1241642473595277}, d{0.6303119894424216, 0.6060006060931848};
    const Complex zero{0.0, 0.0}, minus_zero{-0.0, -0.0};
    return {{a, b, c, d}, {d, zero, minus_zero, b}, {zero, c, b, minus_zero}, {zero, zero, zero, {1.25, 0.0}}};
}

// Gates of every kind, each kernel's special cases among them: exact ones and zeros in either
// half, real and complex scales, the collapse matrices of measurement.
std::vector<GateMatrix> matrices_of_every_kind() {
    const double h = 0.7071067811865476;
    const Complex one{1.0, 0.0}, zero{0.0, 0.0}, minus_zero{-0.0, 0.0};
    const Complex e{0.5403023058681398, 0.8414709848078965}, s{1.3, 0.0};
    std::vector<GateMatrix> gates = matrices();
    const std::vector<GateMatrix> more = {
        GateMatrix{Complex{h, 0.0}, {h, 0.0}, {h, 0.0}, {-h, 0.0}},          // real
        GateMatrix{Complex{0.6, -0.0}, {0.8, 0.0}, {-0.8, 0.0}, {0.6, 0.0}},   // real, a -0.0 imaginary part
        GateMatrix{one, zero, zero, e},                                      // phase
        GateMatrix{one, minus_zero, zero, {-1.0, 0.0}},                      // phase, real
        GateMatrix{one, zero, zero, one},                                    // identity
        GateMatrix{e, zero, zero, one},                                      // diagonal, second half kept
        GateMatrix{s, zero, zero, zero},                                     // collapse onto 0
        GateMatrix{zero, zero, zero, s},                                     // collapse onto 1
        GateMatrix{one, zero, zero, zero},                                   // collapse with certainty
        GateMatrix{s, zero, zero, e},                                        // diagonal, real and complex
        GateMatrix{zero, e, {0.0, -1.0}, zero},                              // anti-diagonal
        GateMatrix{zero, one, one, minus_zero},                              // swap
    };
    gates.insert(gates.end(), more.begin(), more.end());
    return gates;
}

bool same_values(Complex x, Complex y) { return x.real == y.real && x.imag == y.imag; }

// Equal values, +0 and -0 alike; nothing else relaxed (no NaN arises from these states).
bool same_values(const std::vector<Complex>& x, const std::vector<Complex>& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_values(x[i], y[i])) return false;
    }
    return true;
}

// Runs with the kernels of one instruction set, then restores the widest.
class WithIsa {
public:
    explicit WithIsa(KernelIsa isa) : used_(korvel::use_isa(isa)) {}
    ~WithIsa() { korvel::use_isa(korvel::supported_isa()); }
    KernelIsa used() const { return used_; }

private:
    KernelIsa used_;
};

std::string isa_name(const ::testing::TestParamInfo<KernelIsa>& info) {
    switch (info.param) {
        case KernelIsa::scalar: return "scalar";
        case KernelIsa::avx2: return "avx2";
        case KernelIsa::avx512: return "avx512";
    }
    return "unknown";
}

class GateKernels : public ::testing::TestWithParam<KernelIsa> {
protected:
    void SetUp() override {
        if (GetParam() > korvel::supported_isa()) GTEST_SKIP() << "not supported by this processor";
    }
};

// One pass, cut into pieces at awkward places, for every target (pairs inside a vector and
// across vectors) and control masks below, inside and above the vector lanes.
TEST_P(GateKernels, EveryPassMatchesTheScalarLoopBitForBit) {
    constexpr std::uint32_t n = 6;
    std::mt19937_64 rng(42);
    const std::vector<Complex> start = random_state(n, rng);
    const std::vector<GateMatrix> gates = matrices();
    for (std::size_t g = 0; g < gates.size(); ++g) {
        const GateMatrix& m = gates[g];
        for (std::uint32_t target = 0; target < n; ++target) {
            for (const std::uint64_t controls : {0b0u, 0b1u, 0b10u, 0b1001u, 0b110000u, 0b100011u}) {
                if ((controls >> target) & 1) continue;
                std::vector<Complex> expected = start, actual = start;
                const PairLayout layout(n, target, controls);
                korvel::apply_pairs_scalar(expected.data(), m, layout, 0, layout.count());
                const korvel::GatePass pass(n, target, controls, korvel::GateKind::general, GetParam());
                const std::uint64_t units = pass.units();
                for (const auto& [first, last] : {std::pair{std::uint64_t{0}, units / 3},
                                                  std::pair{units / 3, units / 3 + 1},
                                                  std::pair{units / 3 + 1, units}}) {
                    pass.run(actual.data(), m, first, last);
                }
                ASSERT_TRUE(same_bits(actual, expected))
                    << "target " << target << " controls " << controls << " matrix " << g;
            }
        }
    }
}

// Whole calls, whose runs of low targets are fused into one sweep of cache-sized blocks, on a
// register larger than one block, with controls inside and above the blocks.
TEST_P(GateKernels, FusedTargetsMatchOnePassPerTarget) {
    constexpr std::uint32_t n = 15;
    const WithIsa isa(GetParam());
    std::mt19937_64 rng(7);
    const std::vector<Complex> start = random_state(n, rng);
    const std::vector<std::pair<Indices, Indices>> calls = {
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {}},
        {{3, 3, 0, 12, 1}, {14}},
        {{14, 2, 1, 0, 13}, {1, 13}},
        {{5, 0, 5}, {5, 2}},
    };
    for (const auto& [targets, controls] : calls) {
        std::uint64_t mask = 0;
        for (const std::uint32_t c : controls) mask |= std::uint64_t{1} << c;
        for (const GateMatrix& m : {matrices()[0], matrices()[2]}) {
            std::vector<Complex> expected = start;
            for (const std::uint32_t t : targets) {
                if ((mask >> t) & 1) continue;
                const PairLayout layout(n, t, mask);
                korvel::apply_pairs_scalar(expected.data(), m, layout, 0, layout.count());
            }
            korvel::Register reg = korvel::Register::create(n);
            set_amplitudes(reg, start);
            korvel::apply_gate(reg, matrix(m[0], m[1], m[2], m[3]), targets, controls);
            ASSERT_TRUE(same_bits(amplitudes_of(reg), expected)) << "first target " << targets[0];
        }
    }
}

// A fused run is applied before the target that ends it is refused.
TEST_P(GateKernels, RefusedTargetAfterAFusedRunLeavesTheRunApplied) {
    const WithIsa isa(GetParam());
    korvel::Register reg = korvel::Register::create(3);
        EXPECT_EQ(failure_message([&] { korvel::apply_gate(reg, bit_flip, Indices{0, 1, 3, 2}, {}); }),
              "Target(s) outside qubit range");
    std::vector<Complex> expected(8, Complex{0.0, 0.0});
    expected[3] = {1.0, 0.0};
    EXPECT_TRUE(same_bits(amplitudes_of(reg), expected));
}

// A build without vector kernels (KORVEL_SCALAR_ONLY, or any target but x86-64) never chooses
// a vector set, whatever the processor reports, and counts its units as pairs for the scalar loop.
TEST(KernelChoice, BuildWithoutVectorKernelsTakesTheScalarLoop) {
    if (KORVEL_VECTOR_KERNELS) GTEST_SKIP() << "this build has the vector kernels";
    EXPECT_EQ(korvel::supported_isa(), KernelIsa::scalar);
    const WithIsa isa(KernelIsa::avx512);
    EXPECT_EQ(isa.used(), KernelIsa::scalar);
    EXPECT_EQ(korvel::GatePass(6, 3, 0, korvel::GateKind::general, KernelIsa::avx512).units(), 32u);
}

// Each kind's kernel against the general scalar loop: registers narrower than, as wide as and
// wider than the vectors, every target, controls below, inside and above the lanes, one pass cut
// into pieces at awkward places.
TEST_P(GateKernels, EveryKindMatchesTheGeneralScalarLoop) {
    std::mt19937_64 rng(11);
    const std::vector<GateMatrix> gates = matrices_of_every_kind();
    for (const std::uint32_t n : {1u, 2u, 3u, 7u}) {
        const std::vector<Complex> start = random_state(n, rng);
        for (std::size_t g = 0; g < gates.size(); ++g) {
            const GateMatrix& m = gates[g];
            for (std::uint32_t target = 0; target < n; ++target) {
                for (const std::uint64_t controls : {0b0u, 0b1u, 0b10u, 0b101u, 0b1100u, 0b1000010u}) {
                    if ((controls >> target) & 1 || (controls >> n) != 0) continue;
                    std::vector<Complex> expected = start, actual = start;
                    const PairLayout layout(n, target, controls);
                    korvel::apply_pairs_scalar(expected.data(), m, layout, 0, layout.count());
                    const korvel::GatePass pass(n, target, controls, korvel::classify(m), GetParam());
                    const std::uint64_t units = pass.units();
                    pass.run(actual.data(), m, 0, units / 2);
                    pass.run(actual.data(), m, units / 2, units);
                    ASSERT_TRUE(same_values(actual, expected))
                        << "n " << n << " target " << target << " controls " << controls << " matrix " << g;
                }
            }
        }
    }
}

// Zeros written past the caches (a collapse on a state larger than the caches) land before
// the pass returns, and only over the half they belong to.
TEST_P(GateKernels, StreamedZerosOfACollapseMatchTheGeneralScalarLoop) {
    constexpr std::uint32_t n = korvel::streaming_qubits;
    std::mt19937_64 rng(5);
    const std::vector<Complex> start = random_state(n, rng);
    const Complex s{1.3, 0.0}, zero{0.0, 0.0};
    korvel::AmplitudeBuffer aligned(start.size());  // cache-line aligned, as registers are
    for (const GateMatrix& m : {GateMatrix{s, zero, zero, zero}, GateMatrix{zero, zero, zero, s}}) {
        for (const auto& [target, controls] : {std::pair{1u, 0ull}, std::pair{2u, 0ull}, std::pair{12u, 1ull << 20},
                                               std::pair{20u, 0ull}, std::pair{9u, 0b1ull}}) {
            std::vector<Complex> expected = start;
            const PairLayout layout(n, target, controls);
            korvel::apply_pairs_scalar(expected.data(), m, layout, 0, layout.count());
            std::copy(start.begin(), start.end(), aligned.data());
            const korvel::GatePass pass(n, target, controls, korvel::classify(m), GetParam());
            korvel::parallel_for_ranges(0, pass.units(), 1 << 10, [&](std::uint64_t first, std::uint64_t last) {
                pass.run(aligned.data(), m, first, last);
            });
            const std::vector<Complex> actual(aligned.data(), aligned.data() + aligned.size());
            ASSERT_TRUE(same_values(actual, expected)) << "target " << target << " controls " << controls;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Isa, GateKernels,
                         ::testing::Values(KernelIsa::scalar, KernelIsa::avx2, KernelIsa::avx512),
                         isa_name);

struct KindCase {
    const char* name;
    GateMatrix m;
    korvel::GateKind kind;
};

class Classification : public ::testing::TestWithParam<KindCase> {};

// Exact zeros and ones only: -0.0 is a zero, the double just below 1.0 is not a one.
TEST_P(Classification, DecidedFromExactZerosAndOnes) {
    const auto& [name, m, kind] = GetParam();
    EXPECT_EQ(korvel::classify(m), kind);
    EXPECT_EQ(matrix(m[0], m[1], m[2], m[3]).kind(), kind);
}

constexpr double below_one = 0.9999999999999999;
constexpr Complex one{1.0, 0.0}, zero{0.0, 0.0}, minus_zeros{-0.0, -0.0}, i_unit{0.0, 1.0};
constexpr Complex tiny{0x1p-1074, 0.0}, half{0.5, 0.0};
using korvel::GateKind;

INSTANTIATE_TEST_SUITE_P(
    Entries, Classification,
    ::testing::Values(KindCase{"identity", {one, zero, zero, one}, GateKind::phase},
                      KindCase{"minus_zero_off_diagonal", {one, minus_zeros, minus_zeros, i_unit}, GateKind::phase},
                      KindCase{"one_with_minus_zero_imag", {Complex{1.0, -0.0}, zero, zero, i_unit}, GateKind::phase},
                      KindCase{"almost_one", {Complex{below_one, 0.0}, zero, zero, one}, GateKind::diagonal},
                      KindCase{"one_below_right", {i_unit, zero, zero, one}, GateKind::diagonal},
                      KindCase{"tiny_off_diagonal", {one, tiny, zero, one}, GateKind::real},
                      KindCase{"flip", {zero, one, one, zero}, GateKind::flip},
                      KindCase{"flip_minus_zeros", {minus_zeros, one, one, minus_zeros}, GateKind::flip},
                      KindCase{"almost_swap", {zero, one, {below_one, 0.0}, zero}, GateKind::anti_diagonal},
                      KindCase{"pauli_y", {zero, {0.0, -1.0}, i_unit, zero}, GateKind::anti_diagonal},
                      KindCase{"real_minus_zero_imag", {half, {0.5, -0.0}, half, {-0.5, 0.0}}, GateKind::real},
                      KindCase{"tiny_imag", {half, half, half, {-0.5, 0x1p-1074}}, GateKind::general},
                      KindCase{"all_zero", {zero, zero, zero, zero}, GateKind::diagonal}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
