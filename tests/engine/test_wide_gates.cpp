// Gates on 2 to 5 targets: the kinds a matrix's exact zeros and ones give, and sequences of every
// kind on scattered targets with and without controls, the same bits on every instruction set,
// blocked or not, and within 1e-13 of a plain long-double product per group of amplitudes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <complex>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/gates/wide_gate.hpp"
#include "engine/kernels/isa_choice.hpp"
#include "engine/sequence/blocked_sequence.hpp"

namespace {

using korvel::BlockShape;
using korvel::Complex;
using korvel::KernelIsa;
using korvel::SequenceGate;
using korvel::WideGate;
using korvel::WideKind;

using Matrix = std::vector<Complex>;  // row-major, 2^k × 2^k

Matrix identity_matrix(std::uint32_t d) {
    Matrix m(std::size_t{d} * d, Complex{0.0, 0.0});
    for (std::uint32_t r = 0; r < d; ++r) m[std::size_t{r} * d + r] = {1.0, 0.0};
    return m;
}

WideGate make_gate(std::vector<std::uint32_t> targets, const Matrix& m) { return WideGate(targets, m); }

TEST(WideGateKinds, ExactZerosAndOnesDecideTheKind) {
    const std::vector<std::uint32_t> targets{4, 0, 2};
    EXPECT_EQ(make_gate(targets, identity_matrix(8)).kind(), WideKind::diagonal);

    // A zero on the diagonal, and -0.0 off it, keep it diagonal.
    Matrix projector = identity_matrix(8);
    projector[3 * 8 + 3] = {0.0, 0.0};
    projector[1] = {-0.0, -0.0};
    const WideGate diagonal = make_gate(targets, projector);
    ASSERT_EQ(diagonal.kind(), WideKind::diagonal);
    EXPECT_EQ(diagonal.diagonal_entries()[3].real, 0.0);
    EXPECT_EQ(diagonal.diagonal_entries()[4].real, 1.0);

    // Rows moved cyclically, with phases: a permutation that also scales.
    Matrix moved(64, Complex{0.0, 0.0});
    for (std::uint32_t r = 0; r < 8; ++r) moved[r * 8 + (r + 3) % 8] = {1.0, 0.0};
    EXPECT_EQ(make_gate(targets, moved).kind(), WideKind::permutation);
    EXPECT_TRUE(make_gate(targets, moved).only_moves());
    moved[2 * 8 + 5] = {0.0, 1.0};
    const WideGate phased = make_gate(targets, moved);
    ASSERT_EQ(phased.kind(), WideKind::permutation);
    EXPECT_FALSE(phased.only_moves());
    EXPECT_EQ(phased.source(2), 5u);
    EXPECT_EQ(phased.phase(2).imag, 1.0);
    // Nearly one is not one.
    moved[2 * 8 + 5] = {std::nextafter(1.0, 2.0), 0.0};
    EXPECT_FALSE(make_gate(targets, moved).only_moves());

    // One non-zero per row but a column used twice, or a second entry in a row: dense.
    Matrix repeated = moved;
    repeated[2 * 8 + 5] = {0.0, 0.0};
    repeated[2 * 8 + 3] = {1.0, 0.0};
    EXPECT_EQ(make_gate(targets, repeated).kind(), WideKind::dense);
    Matrix crowded = identity_matrix(8);
    crowded[7] = {1e-300, 0.0};
    EXPECT_EQ(make_gate(targets, crowded).kind(), WideKind::dense);
    EXPECT_FALSE(make_gate(targets, crowded).only_moves());
    EXPECT_EQ(make_gate(targets, crowded).target_mask(), 0b10101u);
}

// A unitary from random complex columns, orthonormalised (modified Gram-Schmidt).
Matrix random_unitary(std::uint32_t d, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<std::vector<std::complex<double>>> columns(d, std::vector<std::complex<double>>(d));
    for (std::uint32_t c = 0; c < d; ++c) {
        for (auto& x : columns[c]) x = {normal(rng), normal(rng)};
        for (std::uint32_t p = 0; p < c; ++p) {
            std::complex<double> dot = 0;
            for (std::uint32_t r = 0; r < d; ++r) dot += std::conj(columns[p][r]) * columns[c][r];
            for (std::uint32_t r = 0; r < d; ++r) columns[c][r] -= dot * columns[p][r];
        }
        double norm = 0;
        for (const auto& x : columns[c]) norm += std::norm(x);
        for (auto& x : columns[c]) x /= std::sqrt(norm);
    }
    Matrix m(std::size_t{d} * d);
    for (std::uint32_t r = 0; r < d; ++r) {
        for (std::uint32_t c = 0; c < d; ++c) m[std::size_t{r} * d + c] = {columns[c][r].real(), columns[c][r].imag()};
    }
    return m;
}

Complex random_phase(std::mt19937_64& rng) {
    const double a = std::uniform_real_distribution<double>(-3.2, 3.2)(rng);
    return {std::cos(a), std::sin(a)};
}

// Diagonal entries are phases, exact ones (skipped by the pass) or zeros; permutations are
// random, with exact ones or phases.
Matrix random_matrix(WideKind kind, std::uint32_t d, std::mt19937_64& rng) {
    if (kind == WideKind::dense) return random_unitary(d, rng);
    Matrix m(std::size_t{d} * d, Complex{0.0, 0.0});
    const bool phases = rng() % 2 == 0;
    if (kind == WideKind::diagonal) {
        for (std::uint32_t r = 0; r < d; ++r) {
            const auto pick = rng() % 8;
            m[std::size_t{r} * d + r] = pick == 0 ? Complex{0.0, 0.0} : pick < 3 ? Complex{1.0, 0.0} : random_phase(rng);
        }
        return m;
    }
    std::vector<std::uint32_t> sources(d);
    std::iota(sources.begin(), sources.end(), 0u);
    std::shuffle(sources.begin(), sources.end(), rng);
    for (std::uint32_t r = 0; r < d; ++r) {
        m[std::size_t{r} * d + sources[r]] = phases ? random_phase(rng) : Complex{1.0, 0.0};
    }
    return m;
}

// A wide gate's SequenceGate leaves its one-qubit matrix unused.
constexpr korvel::QGate unused_gate = korvel::QGate::from_entries({1, 0}, {0, 0}, {0, 0}, {1, 0});

struct Sequence {
    std::vector<std::unique_ptr<WideGate>> owned;
    std::vector<SequenceGate> gates;
};

// Targets in random order anywhere in the register; up to two controls on the other qubits.
Sequence random_sequence(std::uint32_t n, std::size_t length, std::mt19937_64& rng) {
    Sequence s;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t width = 2 + static_cast<std::uint32_t>(rng() % std::min<std::uint32_t>(4, n - 1));
        std::vector<std::uint32_t> qubits(n);
        std::iota(qubits.begin(), qubits.end(), 0u);
        std::shuffle(qubits.begin(), qubits.end(), rng);
        const std::vector<std::uint32_t> targets(qubits.begin(), qubits.begin() + width);
        std::uint64_t controls = 0;
        for (std::uint32_t c = width; c < n && c < width + rng() % 3; ++c) controls |= std::uint64_t{1} << qubits[c];
        const auto kind = static_cast<WideKind>(rng() % 3);
        const Matrix m = random_matrix(kind, 1u << width, rng);
        s.owned.push_back(std::make_unique<WideGate>(targets, m));
        s.gates.push_back(SequenceGate{unused_gate, targets[0], controls, s.owned.back().get()});
    }
    return s;
}

using Amplitudes = std::vector<Complex>;

Amplitudes random_state(std::uint32_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Amplitudes state(std::size_t{1} << n);
    for (Complex& a : state) a = {value(rng), value(rng)};
    return state;
}

// The plain product: each group's 2^k amplitudes times the matrix, in long double.
void reference_apply(std::vector<std::complex<long double>>& state, const SequenceGate& g) {
    const WideGate& w = *g.wide;
    const std::uint32_t d = w.dimension();
    std::vector<std::complex<long double>> group(d);
    for (std::uint64_t base = 0; base < state.size(); ++base) {
        if ((base & w.target_mask()) != 0 || (base & g.controls) != g.controls) continue;
        const auto at = [&](std::uint32_t c) {
            std::uint64_t index = base;
            for (std::uint32_t j = 0; j < w.width(); ++j) index |= std::uint64_t{(c >> j) & 1} << w.target(j);
            return index;
        };
        for (std::uint32_t c = 0; c < d; ++c) group[c] = state[at(c)];
        for (std::uint32_t r = 0; r < d; ++r) {
            std::complex<long double> sum = 0;
            for (std::uint32_t c = 0; c < d; ++c) {
                const Complex e = w.entry(r, c);
                sum += std::complex<long double>(e.real, e.imag) * group[c];
            }
            state[at(r)] = sum;
        }
    }
}

std::string first_difference(const Amplitudes& x, const Amplitudes& y) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::memcmp(&x[i], &y[i], sizeof(Complex)) != 0) {
            return "amplitude " + std::to_string(i) + ": (" + std::to_string(x[i].real) + ", " +
                   std::to_string(x[i].imag) + ") against (" + std::to_string(y[i].real) + ", " +
                   std::to_string(y[i].imag) + ")";
        }
    }
    return "";
}

std::vector<KernelIsa> supported_sets() {
    std::vector<KernelIsa> sets;
    for (const KernelIsa isa : {KernelIsa::scalar, KernelIsa::avx2, KernelIsa::avx512}) {
        const KernelIsa chosen = korvel::use_isa(isa);
        if (std::find(sets.begin(), sets.end(), chosen) == sets.end()) sets.push_back(chosen);
    }
    korvel::use_isa(korvel::supported_isa());
    return sets;
}

// One sequence on one register: the long-double product within 1e-13, then every instruction
// set, unblocked, blocked with the engine's shape and with each of `shapes`, to the same bits as
// the scalar unblocked run.
void check_sequence(std::uint32_t n, std::size_t length, std::uint64_t seed, const std::vector<BlockShape>& shapes) {
    std::mt19937_64 rng(seed);
    const Sequence s = random_sequence(n, length, rng);
    const Amplitudes start = random_state(n, rng);
    const std::string where = "n=" + std::to_string(n) + " seed=" + std::to_string(seed);

    korvel::use_isa(KernelIsa::scalar);
    Amplitudes expected = start;
    korvel::run_unblocked(expected.data(), n, s.gates);
    korvel::use_isa(korvel::supported_isa());

    std::vector<std::complex<long double>> exact(start.size());
    for (std::size_t i = 0; i < exact.size(); ++i) exact[i] = {start[i].real, start[i].imag};
    for (const SequenceGate& g : s.gates) reference_apply(exact, g);
    double worst = 0;
    for (std::size_t i = 0; i < exact.size(); ++i) {
        worst = std::max<double>(worst, std::abs(exact[i] - std::complex<long double>(expected[i].real, expected[i].imag)));
    }
    EXPECT_LT(worst, 1e-13) << where;

    korvel::SequenceWorkspace workspace;
    for (const KernelIsa isa : supported_sets()) {
        korvel::use_isa(isa);
        static constexpr const char* isa_names[] = {"scalar", "avx2", "avx512"};
        const std::string on = where + " " + isa_names[static_cast<int>(isa)];
        Amplitudes unblocked = start;
        korvel::run_unblocked(unblocked.data(), n, s.gates);
        EXPECT_EQ(first_difference(unblocked, expected), "") << on << " unblocked";
        Amplitudes blocked = start;
        korvel::run_gate_sequence(blocked.data(), n, s.gates, workspace);
        EXPECT_EQ(first_difference(blocked, expected), "") << on << " engine's blocks";
        for (const BlockShape& shape : shapes) {
            Amplitudes small = start;
            korvel::run_gate_sequence(small.data(), n, s.gates, workspace, shape);
            EXPECT_EQ(first_difference(small, expected), "")
                << on << " blocks " << shape.block_bits << "/" << shape.contiguous_bits;
        }
    }
    // Disjoint gates free to trade places (fused programs): near the exact product, and one
    // plan for every instruction set, so the same bits on each.
    Amplitudes reordered;
    for (const KernelIsa isa : supported_sets()) {
        korvel::use_isa(isa);
        Amplitudes out = start;
        korvel::run_gate_sequence(out.data(), n, s.gates, workspace, korvel::GateOrder::disjoint);
        if (reordered.empty()) reordered = out;
        EXPECT_EQ(first_difference(out, reordered), "") << where << " disjoint order, isa " << static_cast<int>(isa);
    }
    korvel::use_isa(korvel::supported_isa());
    double reordered_worst = 0;
    for (std::size_t i = 0; i < exact.size(); ++i) {
        reordered_worst = std::max<double>(
            reordered_worst, std::abs(exact[i] - std::complex<long double>(reordered[i].real, reordered[i].imag)));
    }
    EXPECT_LT(reordered_worst, 1e-13) << where << " disjoint order";
}

class WideSequences : public ::testing::TestWithParam<std::uint32_t> {};

// Registers in one block, at the sub-block size (2^10), just past one block and gathered over
// high qubits (the engine's blocks are 2^15 at most), where diagonal gates keep targets outside.
TEST_P(WideSequences, SameBitsEverywhereAndNearTheExactProduct) {
    const std::uint32_t n = GetParam();
    std::vector<BlockShape> shapes;
    if (n >= 6) shapes = {{3, 1}, {4, 0}, {5, 2}, {std::min(n - 1, 11u), 3}, {std::min(n - 1, 12u), 12}};
    const std::uint64_t seeds = n > 15 ? 1 : 4;
    for (std::uint64_t seed = 0; seed < seeds; ++seed) check_sequence(n, n > 15 ? 16 : 30, 1000 * seed + n, shapes);
}

INSTANTIATE_TEST_SUITE_P(RegisterSizes, WideSequences,
                         ::testing::Values(2u, 3u, 5u, 7u, 10u, 11u, 13u, 14u, 16u, 18u));

}  // namespace
