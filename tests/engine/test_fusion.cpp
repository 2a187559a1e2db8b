// The runner's fusion on its own: runs of diagonal gates merge into diagonals on up to five
// qubits, a dense gate ends such a run, and the fused program agrees with the unfused one to
// rounding.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "engine/circuit/circuit_state.hpp"
#include "engine/circuit/fusion.hpp"

namespace {

using korvel::Complex;
using korvel::WideGate;
using korvel::WideKind;
using korvel::circuit::Step;
using korvel::circuit::StepKind;

Step wide_step(std::vector<std::uint32_t> targets, const std::vector<Complex>& matrix) {
    Step step{StepKind::gate, targets[0], 0, 0, 0, 0, korvel::QGate::from_entries({1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}), nullptr};
    step.wide = std::make_shared<const WideGate>(targets, matrix);
    return step;
}

// exp(-i t Z⊗Z) on two qubits: a diagonal with no entry exactly 1.
Step ising_zz(std::uint32_t a, std::uint32_t b, double t) {
    const Complex minus{std::cos(t), -std::sin(t)}, plus{std::cos(t), std::sin(t)};
    std::vector<Complex> m(16, Complex{0.0, 0.0});
    m[0] = minus, m[5] = plus, m[10] = plus, m[15] = minus;
    return wide_step({a, b}, m);
}

const double s = 1.0 / std::sqrt(2.0);
const korvel::QGate hadamard = korvel::QGate::from_entries({s, 0.0}, {s, 0.0}, {s, 0.0}, {-s, 0.0});

Step one_qubit(std::uint32_t q, korvel::QGate gate) {
    return Step{StepKind::gate, q, 0, 0, 0, 0, gate, nullptr};
}

std::vector<Complex> final_state(std::uint32_t n, const std::vector<Step>& steps, korvel::GateOrder order) {
    auto state = korvel::circuit::CircuitState::create(n);
    state->run(steps, order);
    std::vector<Complex> out(state->size());
    state->amplitudes(out);
    return out;
}

TEST(Fusion, ARingOfDiagonalsBecomesFewWideDiagonalsThatAgreeToRounding) {
    const std::uint32_t n = 8;
    std::vector<Step> steps;
    for (std::uint32_t q = 0; q < n; ++q) steps.push_back(one_qubit(q, hadamard));
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    for (std::uint32_t q = 0; q < n; ++q) steps.push_back(ising_zz(q, (q + 1) % n, angle(rng)));
    const std::vector<Step> fused = korvel::circuit::fuse_steps(steps);
    std::size_t diagonals = 0;
    for (const Step& step : fused) {
        if (step.wide == nullptr || step.wide->kind() != WideKind::diagonal) continue;
        ++diagonals;
        EXPECT_LE(step.wide->width(), korvel::max_wide_targets);
    }
    // (0,1)…(3,4) on qubits 0-4, then (4,5)…(7,0) on 4-7 and 0.
    EXPECT_EQ(diagonals, 2u);
    const auto exact = final_state(n, steps, korvel::GateOrder::exact);
    const auto merged = final_state(n, fused, korvel::GateOrder::disjoint);
    for (std::size_t i = 0; i < exact.size(); ++i) {
        EXPECT_NEAR(merged[i].real, exact[i].real, 1e-14) << i;
        EXPECT_NEAR(merged[i].imag, exact[i].imag, 1e-14) << i;
    }
}

TEST(Fusion, ADenseGateEndsAWideDiagonalRun) {
    const std::vector<Step> steps{ising_zz(0, 1, 0.3), ising_zz(1, 2, 0.4), one_qubit(1, hadamard),
                                  ising_zz(1, 2, 0.5), ising_zz(2, 3, 0.6)};
    const std::vector<Step> fused = korvel::circuit::fuse_steps(steps);
    // The first two diagonals merge on qubits 0-2; the Hadamard joins no diagonal wider than
    // two qubits, and nothing after it passes it.
    ASSERT_GE(fused.size(), 3u);
    ASSERT_NE(fused[0].wide, nullptr);
    EXPECT_EQ(fused[0].wide->kind(), WideKind::diagonal);
    EXPECT_EQ(fused[0].wide->target_mask(), 0b111u);
    for (std::size_t i = 1; i < fused.size(); ++i) {
        if (fused[i].wide != nullptr) EXPECT_LE(fused[i].wide->width(), korvel::circuit::max_fused_qubits) << i;
    }
    EXPECT_EQ(fused[1].wide, nullptr);
    EXPECT_EQ(fused[1].target, 1u);
}

}  // namespace
