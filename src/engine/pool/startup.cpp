#include "engine/pool/startup.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

namespace korvel {

namespace {

std::atomic<bool> workers_started{false};
std::mutex startup_mutex;

// oneTBB's ceiling on workers, set to the pool's size as it starts: it is what lets the pool have
// more threads than processors, and it caps any other oneTBB user in the process alike. Not the
// size asked for: the scheduler allocates in proportion to the ceiling as it is created, and
// must not run short there.
std::optional<tbb::global_control> worker_ceiling;

struct HeldThreads {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
};

void* hold_until_released(void* argument) {
    auto& held = *static_cast<HeldThreads*>(argument);
    std::unique_lock lock(held.mutex);
    held.released.wait(lock, [&] { return held.release; });
    return nullptr;
}

// How many of `wanted` threads with the workers' stack size can exist at once right now, each
// leaving some room for what a worker allocates as it starts (its scheduler state; a failed
// allocation there is as fatal as a failed thread creation). The threads are made all together
// and then joined, which leaves their stacks in the C library's cache for the workers.
constexpr std::size_t worker_start_margin = std::size_t{1} << 20;

// The C library gives each new thread that allocates a malloc arena of its own, reserving 64 MiB
// of address space, until there are eight per processor (seen: a pool of 41 on 2 processors
// holds 15 such reservations, 960 MiB). Without room for them, a pool of 1,000 under a 512 MiB
// or 2 GiB address-space limit ended in std::terminate when a worker could not start another.
constexpr std::size_t malloc_arena_reservation = std::size_t{64} << 20;

std::size_t new_malloc_arenas() {
    return 8 * static_cast<std::size_t>(std::max(get_nprocs(), 1)) - 1;  // the first is the main arena
}

int threads_that_can_start(int wanted) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return 0;
    const std::size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
    if (stack > 0) (void)pthread_attr_setstacksize(&attributes, stack);

    HeldThreads held;
    std::vector<pthread_t> threads;
    std::vector<std::pair<void*, std::size_t>> margins;
    threads.reserve(static_cast<std::size_t>(wanted));
    margins.reserve(static_cast<std::size_t>(wanted));
    const std::size_t arenas = new_malloc_arenas();
    for (int i = 0; i < wanted; ++i) {
        const std::size_t size = worker_start_margin +
                                 (static_cast<std::size_t>(i) < arenas ? malloc_arena_reservation : 0);
        void* margin = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (margin == MAP_FAILED) break;
        margins.emplace_back(margin, size);
        pthread_t thread;
        if (pthread_create(&thread, &attributes, hold_until_released, &held) != 0) break;
        threads.push_back(thread);
    }
    pthread_attr_destroy(&attributes);
    {
        std::lock_guard lock(held.mutex);
        held.release = true;
    }
    held.released.notify_all();
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    for (const auto& [margin, size] : margins) ::munmap(margin, size);
    return static_cast<int>(threads.size());
}

// oneTBB never returns when an allocation fails while it creates its scheduler: its failure path
// reads a setting under a lock that the creation holds, and spins on it. So the creation is only
// attempted when this much address space can be had. Measured: the first arena initialization
// maps 4 MiB when nothing limits it and spins with 1 MiB of room; twice the 4 MiB.
constexpr std::size_t scheduler_start_room = std::size_t{8} << 20;

// One piece per thread; each waits until all have arrived, so every piece needs a thread of its
// own and the pool has to start all its workers. The deadline only matters when it cannot.
void wake_every_worker(tbb::task_arena& arena, int threads) {
    std::atomic<int> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<int>(0, threads, 1),
            [&](const tbb::blocked_range<int>&) {
                arrived.fetch_add(1, std::memory_order_acq_rel);
                while (arrived.load(std::memory_order_acquire) < threads &&
                       std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::yield();
                }
            },
            tbb::simple_partitioner());
    });
}

}  // namespace

bool ensure_pool_workers(tbb::task_arena& arena, int wanted_threads) {
    if (workers_started.load(std::memory_order_acquire)) return true;
    std::lock_guard lock(startup_mutex);
    if (workers_started.load(std::memory_order_relaxed)) return true;
    // The scheduler's room is set aside while the trial threads run, so they cannot take it.
    void* room = ::mmap(nullptr, scheduler_start_room, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED) return false;
    const int workers = wanted_threads > 1 ? threads_that_can_start(wanted_threads - 1) : 0;
    ::munmap(room, scheduler_start_room);
    try {
        // Sized before it is initialized: an arena of every slot asked for can be large (tens
        // of MiB for the largest) when only a few workers could be made.
        worker_ceiling.reset();
        worker_ceiling.emplace(tbb::global_control::max_allowed_parallelism,
                               static_cast<std::size_t>(workers + 1));
        arena.initialize(workers + 1, 1);
        if (workers > 0) {
            try {
                wake_every_worker(arena, workers + 1);
            } catch (const std::exception&) {
                // Even the first worker could not be made after all: run on the calling thread.
                arena.terminate();
                arena.initialize(1, 1);
            }
        }
    } catch (const std::exception&) {
        // Out of memory for the arena itself. oneTBB leaves an arena whose initialization threw
        // marked as being initialized, and every later use of it waits for ever; a fresh object
        // takes its place. The pass runs on the calling thread, and the next one tries again.
        arena.~task_arena();
        new (&arena) tbb::task_arena(1, 1);
        return false;
    }
    workers_started.store(true, std::memory_order_release);
    return true;
}

void forget_pool_workers() noexcept { workers_started.store(false, std::memory_order_release); }

}  // namespace korvel
