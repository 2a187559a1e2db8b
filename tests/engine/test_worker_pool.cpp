#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/pool/worker_pool.hpp"

namespace {

using korvel::choose_thread_count;
using korvel::parallel_for_ranges;
using korvel::parallel_reduce_ranges;
using korvel::parse_thread_count;

// ---- the size rules --------------------------------------------------------------------------

struct Parse {
    const char* text;
    std::optional<std::size_t> value;
};

class ThreadCountText : public ::testing::TestWithParam<Parse> {};

TEST_P(ThreadCountText, ParsesOnlyPlainDecimals) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    WorkerPool, ThreadCountText,
    ::testing::Values(Parse{"4", 4}, Parse{"0", 0}, Parse{"007", 7}, Parse{"+3", 3},
                      Parse{"18446744073709551615", 18446744073709551615u},
                      Parse{"18446744073709551616", std::nullopt}, Parse{"", std::nullopt},
                      Parse{"+", std::nullopt}, Parse{"-1", std::nullopt}, Parse{" 4", std::nullopt},
                      Parse{"4 ", std::nullopt}, Parse{"4x", std::nullopt}, Parse{"0x10", std::nullopt},
                      Parse{"++2", std::nullopt}));

struct Choice {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t expected;
};

class ThreadCountChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(ThreadCountChoice, FollowsTheVariablesThenTheProcessors) {
    EXPECT_EQ(choose_thread_count(GetParam().num_threads, GetParam().rs_num_cpus, 6), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    WorkerPool, ThreadCountChoice,
    ::testing::Values(Choice{"3", "9", 3},          // the first variable wins
                      Choice{"0", "9", 6},          // 0 means the processors, not the fallback
                      Choice{"many", "9", 9},       // unparsable: the fallback
                      Choice{nullptr, "2", 2},      // absent: the fallback
                      Choice{nullptr, "0", 6},      // fallback 0: the processors
                      Choice{"-1", "x", 6},         // neither parses
                      Choice{nullptr, nullptr, 6},  // nothing set
                      Choice{"64", nullptr, 64}));  // more threads than processors is allowed

// The process reads the variables once, so each setting is checked in a fresh run of this
// program that executes only the probe below.
TEST(WorkerPoolProbe, SizeMatchesTheExpectation) {
    const char* expected_text = std::getenv("KORVEL_TEST_EXPECTED_POOL_SIZE");
    if (expected_text == nullptr) GTEST_SKIP() << "runs only in a process started by SizeFromTheEnvironment";
    const std::size_t expected = std::stoul(expected_text);
    EXPECT_EQ(korvel::pool_size(), expected);
    EXPECT_EQ(korvel::pool_arena().max_concurrency(), static_cast<int>(expected));
    // An arena of more slots than oneTBB can number crashed when it was released.
    korvel::pool_arena().initialize();
    korvel::pool_arena().terminate();
    if (expected > 64) return;  // no passes: they would start that many threads
    std::mutex guard;
    std::set<std::thread::id> threads;
    parallel_for_ranges(0, 1 << 20, 256, [&](std::uint64_t, std::uint64_t) {
        std::lock_guard lock(guard);
        threads.insert(std::this_thread::get_id());
    });
    EXPECT_LE(threads.size(), expected);
}

struct Environment {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t expected;
};

class SizeFromTheEnvironment : public ::testing::TestWithParam<Environment> {};

TEST_P(SizeFromTheEnvironment, IsAppliedToThePool) {
    const Environment& e = GetParam();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto assign = [](const char* name, const char* value) {
            if (value != nullptr) setenv(name, value, 1);
            else unsetenv(name);
        };
        assign("RAYON_NUM_THREADS", e.num_threads);
        assign("RAYON_RS_NUM_CPUS", e.rs_num_cpus);
        setenv("KORVEL_TEST_EXPECTED_POOL_SIZE", std::to_string(e.expected).c_str(), 1);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        char name[] = "engine_tests";
        char filter[] = "--gtest_filter=WorkerPoolProbe.*";
        char* arguments[] = {name, filter, nullptr};
        execv("/proc/self/exe", arguments);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

INSTANTIATE_TEST_SUITE_P(WorkerPool, SizeFromTheEnvironment,
                         ::testing::Values(Environment{"1", nullptr, 1}, Environment{"3", "1", 3},
                                           Environment{"junk", "2", 2},
                                           Environment{"100000", nullptr, 65534}));

// ---- the passes ------------------------------------------------------------------------------

struct Span {
    std::uint64_t begin, end, grain;
};

class Passes : public ::testing::TestWithParam<Span> {};

TEST_P(Passes, CoverEveryIndexOnceInAscendingPieces) {
    const auto [begin, end, grain] = GetParam();
    std::vector<std::atomic<int>> visits(end);
    std::atomic<bool> descending{false};
    parallel_for_ranges(begin, end, grain, [&](std::uint64_t first, std::uint64_t last) {
        if (first >= last) descending = true;
        for (std::uint64_t i = first; i < last; ++i) visits[i].fetch_add(1);
    });
    EXPECT_FALSE(descending);
    for (std::uint64_t i = 0; i < end; ++i) ASSERT_EQ(visits[i].load(), i >= begin ? 1 : 0) << i;
}

INSTANTIATE_TEST_SUITE_P(WorkerPool, Passes,
                         ::testing::Values(Span{0, 0, 4}, Span{0, 1, 1}, Span{3, 10, 100},
                                           Span{0, 100000, 1024}, Span{7, 70001, 1}));

TEST(WorkerPool, RangesUpToTheGrainRunOnTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    int pieces = 0;
    parallel_for_ranges(0, 4096, 4096, [&](std::uint64_t first, std::uint64_t last) {
        ++pieces;
        EXPECT_EQ(std::this_thread::get_id(), caller);
        EXPECT_EQ(first, 0u);
        EXPECT_EQ(last, 4096u);
    });
    EXPECT_EQ(pieces, 1);
}

TEST(WorkerPool, AFailingPieceReachesTheCaller) {
    EXPECT_THROW(parallel_for_ranges(0, 1 << 16, 64,
                                     [](std::uint64_t first, std::uint64_t last) {
                                         if (first <= 40000 && 40000 < last) throw std::runtime_error("piece");
                                     }),
                 std::runtime_error);
}

TEST(WorkerPool, ReductionsSplitTheSameWayEveryTime) {
    std::vector<double> values(1 << 18);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 1.0 / static_cast<double>(i + 3);
    const auto sum = [&] {
        return parallel_reduce_ranges(
            0, values.size(), 1024, 0.0,
            [&](std::uint64_t first, std::uint64_t last, double acc) {
                for (std::uint64_t i = first; i < last; ++i) acc += values[i];
                return acc;
            },
            [](double left, double right) { return left + right; });
    };
    const double first = sum();
    for (int run = 0; run < 5; ++run) EXPECT_EQ(sum(), first);
    EXPECT_NEAR(first, 11.5538744516790, 1e-9);
}

// The calling thread's fallback must split and combine exactly as the pool does: the same sum to
// the bit, for ranges that halve evenly and unevenly.
TEST(WorkerPool, TheCallersReductionMatchesThePoolsToTheBit) {
    std::vector<double> values(300007);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = (i % 7 == 0 ? 1e16 : 1.0) / static_cast<double>(i + 1) * (i % 3 == 0 ? -1.0 : 1.0);
    }
    auto body = [&](std::uint64_t first, std::uint64_t last, double acc) {
        for (std::uint64_t i = first; i < last; ++i) acc += values[i];
        return acc;
    };
    auto combine = [](double left, double right) { return left + right; };
    for (const auto& [begin, end, grain] : {Span{0, 300007, 1024}, Span{5, 300000, 999}, Span{1, 65537, 1}}) {
        const double pool = parallel_reduce_ranges(begin, end, grain, 0.0, body, combine);
        const double caller = korvel::reduce_in_halves(begin, end, grain, 0.0, body, combine);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(pool), std::bit_cast<std::uint64_t>(caller)) << begin << " " << end;
    }
}

}  // namespace
