// The adjoint method's sweeps: Jacobians against central differences of expectation values
// computed by the forward run alone, the VJP against the Jacobian, repeatability, and the
// refusal of malformed generators and term records.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "circuit_support.hpp"
#include "engine/circuit/adjoint.hpp"
#include "engine/circuit/circuit_state.hpp"
#include "engine/circuit/invalid_input.hpp"

namespace {

using korvel::Complex;
using korvel::QGate;
using namespace korvel::circuit;

Step gate_step(std::uint32_t target, std::uint64_t controls, Complex m00, Complex m01, Complex m10, Complex m11) {
    return Step{StepKind::gate, target, controls, 0, 0, 0, QGate::from_entries(m00, m01, m10, m11), nullptr};
}

Step rx(double theta, std::uint32_t target, std::uint64_t controls = 0) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    return gate_step(target, controls, {c, 0}, {0, -s}, {0, -s}, {c, 0});
}

Step ry(double theta, std::uint32_t target, std::uint64_t controls = 0) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    return gate_step(target, controls, {c, 0}, {-s, 0}, {s, 0}, {c, 0});
}

Step hadamard(std::uint32_t target) {
    const double r = 1 / std::sqrt(2.0);
    return gate_step(target, 0, {r, 0}, {r, 0}, {r, 0}, {-r, 0});
}

PauliSums sums(const std::vector<std::vector<PauliTerm>>& groups) {
    PauliSums out;
    for (const auto& group : groups) {
        out.terms.insert(out.terms.end(), group.begin(), group.end());
        out.offsets.push_back(out.terms.size());
    }
    return out;
}

// A four-qubit program with an RX, a controlled RY (two controls) and a controlled RX between
// fixed gates; parameters at steps 1, 3 and 5.
AdjointProgram program_at(const std::vector<double>& theta) {
    AdjointProgram program;
    program.qubits = 4;
    program.steps = {hadamard(0), rx(theta[0], 1), hadamard(2), ry(theta[1], 3, 0b101), hadamard(3),
                     rx(theta[2], 0, 0b1000), ry(0.4, 2, 0b1)};
    program.parametrised = {1, 3, 5};
    const double q = 0.5 / 4;  // Y/2 times (I - Z)/2 on each of two controls
    program.generators = sums({{{0b10, 0, 0.5}},
                               {{0b1000, 0b1000, q}, {0b1000, 0b1001, -q}, {0b1000, 0b1100, -q},
                                {0b1000, 0b1101, q}},
                               {{0b1, 0, 0.25}, {0b1, 0b1000, -0.25}}});
    return program;
}

const PauliSums observables = sums({{{0, 0b11, 0.7}, {0b100, 0b100, -0.3}}, {{0b1001, 0, 1.1}}, {}});

std::vector<double> forward_values(const std::vector<double>& theta) {
    const AdjointProgram program = program_at(theta);
    auto state = CircuitState::create(program.qubits);
    state->run(program.steps);
    std::vector<double> out;
    for (std::size_t o = 0; o < observables.count(); ++o) {
        double value = 0;
        for (const PauliTerm& term : observables.sum(o)) {
            double reading = 0;
            state->expectation_values(std::span(&term.x, 1), std::span(&term.z, 1), std::span(&reading, 1));
            value += term.coefficient * reading;
        }
        out.push_back(value);
    }
    return out;
}

TEST(Adjoint, JacobianMatchesCentralDifferencesOfTheForwardRun) {
    const std::vector<double> theta = {0.3, -1.2, 2.1};
    std::vector<double> values(3), jacobian(9);
    adjoint_jacobian(program_at(theta), observables, values, jacobian);
    const std::vector<double> expected = forward_values(theta);
    const double step = 1e-6;
    for (std::size_t o = 0; o < 3; ++o) {
        EXPECT_NEAR(values[o], expected[o], 1e-14);
        for (std::size_t j = 0; j < 3; ++j) {
            auto up = theta, down = theta;
            up[j] += step;
            down[j] -= step;
            const double slope = (forward_values(up)[o] - forward_values(down)[o]) / (2 * step);
            EXPECT_NEAR(jacobian[o * 3 + j], slope, 1e-8) << "observable " << o << ", parameter " << j;
        }
    }
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(jacobian[6 + j], 0.0);  // the empty sum
}

TEST(Adjoint, VectorJacobianProductIsTheCotangentWeightedJacobianAndRepeatsToTheBit) {
    const AdjointProgram program = program_at({0.9, 0.1, -0.4});
    std::vector<double> values(3), jacobian(9), product(3), again(3);
    adjoint_jacobian(program, observables, values, jacobian);
    const std::vector<double> cotangent = {0.5, -2.0, 3.0};
    adjoint_vjp(program, observables, cotangent, product);
    adjoint_vjp(program, observables, cotangent, again);
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_NEAR(product[j], 0.5 * jacobian[j] - 2.0 * jacobian[3 + j], 1e-14);
        EXPECT_EQ(std::memcmp(&product[j], &again[j], sizeof(double)), 0);
    }
}

TEST(Adjoint, RefusesMalformedInputNamingTheArgument) {
    AdjointProgram program = program_at({0.1, 0.2, 0.3});
    program.parametrised = {1, 1, 5};
    EXPECT_THROW(check_adjoint_program(program), InvalidInput);
    program.parametrised = {1, 3, 9};
    try {
        check_adjoint_program(program);
        FAIL() << "accepted a position past the program";
    } catch (const InvalidInput& refused) {
        EXPECT_EQ(refused.message(), "parametrised_steps[2] is 9, out of range for a program of 7 steps");
    }
    program.parametrised = {1, 3, 5};
    program.generators.terms[0].z = 0b100;  // qubit 2 is not step 1's target
    try {
        check_adjoint_program(program);
        FAIL() << "accepted a generator outside its step";
    } catch (const InvalidInput& refused) {
        EXPECT_EQ(refused.message(), "generators[0] acts on qubit 2, outside the target and controls of step 1");
    }
    std::vector<double> product(3);
    EXPECT_THROW(adjoint_vjp(program_at({0, 0, 0}), observables, std::vector<double>{1.0, NAN, 0.0}, product),
                 InvalidInput);
}

TEST(Adjoint, TermRecordsDecodeIntoGroupsAndRefuseWhatIsOutOfRange) {
    auto record = [](std::uint64_t x, std::uint64_t z, double c, std::uint64_t group) {
        std::vector<std::byte> bytes(pauli_term_size);
        std::memcpy(bytes.data(), &x, 8);
        std::memcpy(bytes.data() + 8, &z, 8);
        std::memcpy(bytes.data() + 16, &c, 8);
        std::memcpy(bytes.data() + 24, &group, 8);
        return bytes;
    };
    std::vector<std::byte> bytes = record(1, 0, 0.5, 0);
    const auto second = record(0, 2, -1.0, 2);
    bytes.insert(bytes.end(), second.begin(), second.end());
    const PauliSums decoded = decode_pauli_terms(bytes, "observables", 3, 2);
    EXPECT_EQ(decoded.offsets, (std::vector<std::size_t>{0, 1, 1, 2}));
    const auto message = [&](const std::vector<std::byte>& input, std::size_t groups) {
        try {
            (void)decode_pauli_terms(input, "observables", groups, 2);
        } catch (const InvalidInput& refused) {
            return refused.message();
        }
        return std::string("<accepted>");
    };
    EXPECT_EQ(message(record(4, 0, 1.0, 0), 1), "observables[0]: x mask names qubit 2, out of range for 2 qubits");
    EXPECT_EQ(message(record(0, 0, INFINITY, 0), 1), "observables[0]: coefficient must be finite, got inf");
    EXPECT_EQ(message(record(0, 0, 1.0, 1), 1), "observables[0]: group 1 is out of range for 1 sum");
    EXPECT_EQ(message(std::vector<std::byte>(31), 1),
              "observables[0]: incomplete record: 31 bytes, not a multiple of the 32-byte term size");
}

}  // namespace
