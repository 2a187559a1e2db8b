#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/state/amplitude_buffer.hpp"
#include "engine/base/failure.hpp"
#include "engine/state/register.hpp"
#include "stderr_capture.hpp"

namespace {

using korvel::AllocationFailure;
using korvel::Complex;
using korvel::InternalFailure;
using korvel::Register;
using korvel::testing::RedirectedStderr;
using korvel::testing::without_hint;

constexpr const char* poison_message =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

bool is_positive_zero(double x) { return std::bit_cast<std::uint64_t>(x) == 0; }

// ---- creation ----------------------------------------------------------------------------------

class RegisterCreation : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RegisterCreation, StartsInAllZeroBasisState) {
    const std::uint32_t n = GetParam();
    const Register reg = Register::create(n);
    EXPECT_EQ(reg.qubits(), n);
    ASSERT_EQ(reg.size(), std::size_t{1} << n);
    reg.state().locked_read([&](std::span<const Complex> amplitudes) {
        ASSERT_EQ(amplitudes.size(), std::size_t{1} << n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(amplitudes.data()) % 64, 0u);
        EXPECT_EQ(amplitudes[0].real, 1.0);
        EXPECT_TRUE(is_positive_zero(amplitudes[0].imag));
        std::size_t non_zero = 0;
        for (std::size_t i = 1; i < amplitudes.size(); ++i) {
            non_zero += !is_positive_zero(amplitudes[i].real) || !is_positive_zero(amplitudes[i].imag);
        }
        EXPECT_EQ(non_zero, 0u);
    });
    EXPECT_FALSE(reg.state().poisoned());
}

// 16 qubits (1 MiB) come from the heap, 17 (exactly 2 MiB) and 20 from an anonymous mapping.
INSTANTIATE_TEST_SUITE_P(Qubits, RegisterCreation, ::testing::Values(0u, 1u, 3u, 16u, 17u, 20u));

TEST(RegisterCreation, TwentyNineQubitsAreAcceptedWithoutTouchingTheBlock) {
    const Register reg = Register::create(29);
    EXPECT_EQ(reg.qubits(), 29u);
    EXPECT_EQ(reg.size(), std::size_t{1} << 29);
}

class RegisterRefusal : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RegisterRefusal, FailsWithLimitMessageAndNotice) {
    RedirectedStderr captured;
    try {
        (void)Register::create(GetParam());
        FAIL() << "register of " << GetParam() << " qubits was created";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "Number of qubits must be less than 30");
    }
    const std::string written = without_hint(captured.text());
    EXPECT_EQ(written.rfind("thread '<unnamed>' panicked at 'Number of qubits must be less than 30', "
                            "src/engine/state/register.cpp:",
                            0),
              0u)
        << written;
}

INSTANTIATE_TEST_SUITE_P(Qubits, RegisterRefusal,
                         ::testing::Values(30u, 31u, 64u, 4294967295u));

// ---- allocation failures -----------------------------------------------------------------------

TEST(AmplitudeBuffer, ImpossibleSizeIsAnAllocationFailureNotACrash) {
    // 2^50 amplitudes are 16 PiB, beyond any address space.
    try {
        korvel::AmplitudeBuffer buffer(std::size_t{1} << 50);
        FAIL() << "16 PiB were allocated";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.bytes(), std::size_t{1} << 54);
        EXPECT_EQ(failure.message(), "memory allocation of 18014398509481984 bytes failed");
    }
}

TEST(AmplitudeBuffer, ByteCountOverflowIsAnAllocationFailure) {
    EXPECT_THROW(korvel::AmplitudeBuffer(std::numeric_limits<std::size_t>::max() / 8),
                 AllocationFailure);
}

TEST(AmplitudeBuffer, EmptyBufferHoldsNothing) {
    korvel::AmplitudeBuffer buffer(0);
    EXPECT_EQ(buffer.size(), 0u);
}

// ---- the state lock and its poisoned mark ------------------------------------------------------

TEST(StateLock, ReturnsWhatTheWorkReturns) {
    Register reg = Register::create(2);
    const double first = reg.state().locked([](std::span<Complex> a) { return a[0].real; });
    EXPECT_EQ(first, 1.0);
    EXPECT_FALSE(reg.state().poisoned());
}

// Work can be abandoned by an internal failure or by any other exception; both poison.
template <class Thrower>
void expect_poisoning(Thrower&& thrower) {
    Register reg = Register::create(3);
    Register bystander = Register::create(3);
    {
        RedirectedStderr quiet;
        EXPECT_ANY_THROW(reg.state().locked([&](std::span<Complex> a) {
            a[1] = Complex{0.5, 0.0};
            thrower();
        }));
    }
    EXPECT_TRUE(reg.state().poisoned());

    for (int attempt = 0; attempt < 2; ++attempt) {
        RedirectedStderr captured;
        bool work_ran = false;
        try {
            reg.state().locked([&](std::span<Complex>) { work_ran = true; });
            FAIL() << "a poisoned register was locked";
        } catch (const InternalFailure& failure) {
            EXPECT_EQ(failure.message(), poison_message);
        }
        EXPECT_FALSE(work_ran);
        const std::string written = without_hint(captured.text());
        EXPECT_EQ(written.rfind(std::string("thread '<unnamed>' panicked at '") + poison_message +
                                    "', src/engine/",
                                0),
                  0u)
            << written;
        EXPECT_TRUE(reg.state().poisoned());
    }

    // The bystander's lock is its own.
    bystander.state().locked([](std::span<Complex> a) { a[0] = Complex{0.0, 1.0}; });
    EXPECT_EQ(bystander.state().locked([](std::span<Complex> a) { return a[0].imag; }), 1.0);
    EXPECT_FALSE(bystander.state().poisoned());
}

TEST(StateLock, InternalFailureInsideWorkPoisons) {
    expect_poisoning([] { korvel::fail("Target(s) outside qubit range"); });
}

TEST(StateLock, OtherExceptionInsideWorkPoisonsAndPropagatesUnchanged) {
    Register reg = Register::create(1);
    EXPECT_THROW(reg.state().locked([](std::span<Complex>) { throw std::out_of_range("x"); }),
                 std::out_of_range);
    EXPECT_TRUE(reg.state().poisoned());
    expect_poisoning([] { throw std::runtime_error("abandoned"); });
}

// Reading operations hold a const register, which offers only the read-only view.
template <class R>
concept writable = requires(R& reg) { reg.state().locked([](std::span<Complex>) {}); };
static_assert(writable<Register> && !writable<const Register>);

TEST(StateLock, ReadOnlyHoldIsRefusedAndPoisonedLikeTheWritableOne) {
    const Register reg = Register::create(1);
    EXPECT_EQ(reg.state().locked_read([](std::span<const Complex> a) { return a[0].real; }), 1.0);
    EXPECT_THROW(reg.state().locked_read([](std::span<const Complex>) { throw std::out_of_range("x"); }),
                 std::out_of_range);
    EXPECT_TRUE(reg.state().poisoned());
    RedirectedStderr quiet;
    bool work_ran = false;
    try {
        reg.state().locked_read([&](std::span<const Complex>) { work_ran = true; });
        FAIL() << "a poisoned register was locked for reading";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), poison_message);
    }
    EXPECT_FALSE(work_ran);
}

TEST(StateLock, FailureAfterReleaseDoesNotPoison) {
    Register reg = Register::create(1);
    RedirectedStderr quiet;
    EXPECT_THROW(
        {
            reg.state().locked([](std::span<Complex>) {});
            korvel::fail("later");
        },
        InternalFailure);
    EXPECT_FALSE(reg.state().poisoned());
}

TEST(StateLock, SerialisesConcurrentHolders) {
    Register reg = Register::create(0);
    constexpr int threads = 4;
    constexpr int rounds = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                reg.state().locked([](std::span<Complex> a) { a[0].imag += 1.0; });
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(reg.state().locked([](std::span<Complex> a) { return a[0].imag; }),
              double(threads * rounds));
}

}  // namespace
