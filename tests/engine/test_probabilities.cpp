#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "circuit_support.hpp"
#include "engine/apply_gate.hpp"
#include "engine/probabilities.hpp"
#include "engine/register.hpp"

namespace {

using korvel::apply_gate;
using korvel::Complex;
using korvel::probabilities;
using korvel::Register;
using namespace korvel::testing;
using Indices = std::vector<std::uint32_t>;

std::vector<double> one_hot(std::size_t size, std::size_t index) {
    std::vector<double> values(size, 0.0);
    values[index] = 1.0;
    return values;
}

class FreshRegister : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FreshRegister, HasAllWeightOnIndexZero) {
    const Register reg = Register::create(GetParam());
    EXPECT_EQ(probabilities(reg), one_hot(std::size_t{1} << GetParam(), 0));
}

INSTANTIATE_TEST_SUITE_P(Qubits, FreshRegister, ::testing::Values(0u, 1u, 2u, 5u, 15u, 16u));

TEST(Probabilities, ElementsAreUnnormalisedSquaredMagnitudes) {
    struct Case {
        double entry;
        double expected;
    };
    for (const Case c : {Case{0.7071067811865475, 0.4999999999999999},
                         Case{0.7071067811865476, 0.5000000000000001}}) {
        Register reg = Register::create(1);
        apply_gate(reg, matrix({c.entry, 0}, {c.entry, 0}, {c.entry, 0}, {-c.entry, 0}), Indices{0}, {});
        EXPECT_EQ(probabilities(reg), (std::vector<double>{c.expected, c.expected}));
    }
}

TEST(Probabilities, ParallelFillMatchesEachElementExactly) {
    // 17 qubits: the fill runs on the pool; every element must be real*real + imag*imag.
    constexpr std::uint32_t n = 17;
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    std::vector<Complex> state(std::size_t{1} << n);
    for (Complex& a : state) a = {value(rng), value(rng)};
    state[5] = {std::numeric_limits<double>::quiet_NaN(), 0.0};
    state[6] = {std::numeric_limits<double>::infinity(), 1.0};
    state[7] = {1e-170, -1e-170};
    Register reg = Register::create(n);
    set_amplitudes(reg, state);

    const std::vector<double> result = probabilities(reg);
    ASSERT_EQ(result.size(), state.size());
    for (std::size_t k = 0; k < state.size(); ++k) {
        const double expected = state[k].real * state[k].real + state[k].imag * state[k].imag;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(result[k]), std::bit_cast<std::uint64_t>(expected)) << k;
    }
    const std::vector<double> again = probabilities(reg);
    EXPECT_EQ(0, std::memcmp(again.data(), result.data(), result.size() * sizeof(double)))
        << "a second call must not change anything";
    EXPECT_TRUE(same_bits(amplitudes_of(reg), state));
}

// The address-space limit below would also stop the sanitizers' own reservations.
#if !defined(__SANITIZE_ADDRESS__)
std::size_t address_space_in_use() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) * 1024;
    }
    return 0;
}

TEST(Probabilities, ExhaustedMemoryIsReportedWithoutPoisoning) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        // 64 MiB of results: above the largest size the C allocator would take from memory it
        // already holds, so the request has to map new address space.
        Register reg = Register::create(23);
        rlimit saved{};
        getrlimit(RLIMIT_AS, &saved);
        rlimit tight = saved;
        tight.rlim_cur = address_space_in_use() + (std::size_t{8} << 20);
        setrlimit(RLIMIT_AS, &tight);
        try {
            (void)probabilities(reg);
            code = 1;
        } catch (const korvel::AllocationFailure& failure) {
            if (failure.message() != "memory allocation of 67108864 bytes failed") code = 2;
        }
        setrlimit(RLIMIT_AS, &saved);
        if (reg.state().poisoned()) code = 3;
        if (code == 0 && probabilities(reg).size() != (std::size_t{1} << 23)) code = 4;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no failure, 2: wrong message, 3: poisoned, 4: unusable";
}
#endif

TEST(Probabilities, PoisonedRegisterFailsEveryTime) {
    Register reg = Register::create(3);
    poison(reg);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(failure_message([&] { (void)probabilities(reg); }), poison_message);
    }
}

}  // namespace
