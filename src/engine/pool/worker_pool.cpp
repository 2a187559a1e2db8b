#include "engine/pool/worker_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>
#include <thread>

#include <tbb/global_control.h>

#include "engine/pool/fork_safety.hpp"
#include "engine/pool/startup.hpp"

namespace korvel {

namespace {

std::size_t processor_count() {
    // The affinity mask is what this process may actually run on (taskset, container limits);
    // hardware_concurrency() counts every processor of the machine.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(*text - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t processors) {
    if (const auto primary = parse_thread_count(rayon_num_threads)) {
        return *primary > 0 ? *primary : processors;
    }
    if (const auto fallback = parse_thread_count(rayon_rs_num_cpus); fallback && *fallback > 0) {
        return *fallback;
    }
    return processors;
}

std::size_t pool_thread_count() {
    static const std::size_t count = choose_thread_count(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), processor_count());
    return count;
}

namespace {

// The arena's size is an int; a request beyond that is honoured as far as it can be.
int arena_concurrency() {
    return static_cast<int>(std::min<std::size_t>(pool_thread_count(), INT_MAX));
}

}  // namespace

void configure_pool() {
    // The limit raises oneTBB's worker ceiling when more threads than processors are asked for,
    // and caps any other oneTBB user in the process to the same size. It holds for the life of
    // the process.
    static const tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                                           static_cast<std::size_t>(arena_concurrency()));
    (void)limit;
}

tbb::task_arena& pool_arena() {
    // One slot is kept for the calling thread, so the arena runs at most pool_thread_count()
    // threads in all, the caller included.
    static tbb::task_arena arena = [] {
        configure_pool();
        return tbb::task_arena(arena_concurrency(), 1);
    }();
    // Joins the workers around fork(), so that a child process starts its own.
    [[maybe_unused]] static const bool fork_aware = (make_pool_fork_aware(arena), true);
    // Workers start here, not halfway through a pass, where failing to make one is fatal.
    ensure_pool_workers(arena, arena_concurrency());
    return arena;
}

}  // namespace korvel
