#include "engine/pool/fork_safety.hpp"

#include <new>

#include <tbb/global_control.h>

#include "engine/pool/startup.hpp"

namespace korvel {

namespace {

tbb::task_arena* pool = nullptr;
// Attaching a handle is what lets finalize() join the workers; finalize() empties it, so it is
// attached again after every fork, in the parent and in the child alike.
tbb::task_scheduler_handle scheduler;

void attach_scheduler() noexcept {
    try {
        scheduler = tbb::task_scheduler_handle(tbb::attach{});
    } catch (const std::bad_alloc&) {
        // Left empty: the next fork's child then runs its passes on one thread.
    }
}

}  // namespace

void make_pool_fork_aware(tbb::task_arena& arena) {
    scheduler = tbb::task_scheduler_handle(tbb::attach{});
    pool = &arena;
}

void release_pool_before_fork() noexcept {
    if (pool == nullptr) return;
    // The arena holds a reference to the scheduler; finalize() fails while any is held. The arena
    // object keeps its size and initializes itself again at its next pass.
    pool->terminate();
    if (scheduler) (void)tbb::finalize(scheduler, std::nothrow);
    forget_pool_workers();
}

void reattach_pool_after_fork() noexcept {
    if (pool != nullptr) attach_scheduler();
}

}  // namespace korvel
