#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "circuit_support.hpp"
#include "engine/apply_gate.hpp"
#include "engine/kernels/gate_pass.hpp"
#include "engine/kernels/isa_choice.hpp"
#include "engine/kernels/scalar_kernel.hpp"

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
                const korvel::GatePass pass(n, target, controls, GetParam());
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
    EXPECT_EQ(korvel::GatePass(6, 3, 0, KernelIsa::avx512).units(), 32u);
}

INSTANTIATE_TEST_SUITE_P(Isa, GateKernels,
                         ::testing::Values(KernelIsa::scalar, KernelIsa::avx2, KernelIsa::avx512),
                         isa_name);

}  // namespace
