#include "engine/pool/worker_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <thread>

#include <tbb/global_control.h>

#include <oneapi/tbb/detail/_task.h>

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

// oneTBB numbers an arena's slots with 16 bits and keeps the two highest numbers as markers, so
// an arena of more slots misnumbers them and crashes (seen: 65,537 slots crash when the arena is
// released, at the latest at exit; 65,535 do not). A larger request is honoured this far; no
// system here can start that many threads anyway (the default pid_max is 32,768).
constexpr std::size_t largest_arena = 65534;
static_assert(largest_arena == tbb::detail::d1::any_slot);

int arena_concurrency() {
    return static_cast<int>(std::min<std::size_t>(pool_thread_count(), largest_arena));
}

}  // namespace

std::size_t pool_size() {
    return static_cast<std::size_t>(arena_concurrency());
}

tbb::task_arena& pool_arena() {
    // One slot is kept for the calling thread, so the arena runs at most pool_thread_count()
    // threads in all, the caller included.
    static tbb::task_arena arena(arena_concurrency(), 1);
    return arena;
}

tbb::task_arena* started_pool() {
    tbb::task_arena& arena = pool_arena();
    // Joins the workers around fork(), so that a child process starts its own.
    [[maybe_unused]] static const bool fork_aware = (make_pool_fork_aware(arena), true);
    // Workers start here, not halfway through a pass, where failing to make one is fatal.
    return ensure_pool_workers(arena, arena_concurrency()) ? &arena : nullptr;
}

}  // namespace korvel
