#include "engine/pool/fork_safety.hpp"

#include <pthread.h>

#include <new>

#include <tbb/global_control.h>

#include "engine/pool/startup.hpp"

namespace korvel {

namespace {

tbb::task_arena* pool = nullptr;
// Attaching a handle is what lets finalize() join the workers; finalize() empties it, so it is
// attached again after every fork, in the parent and in the child alike.
tbb::task_scheduler_handle scheduler;

void before_fork() {
    if (pool == nullptr) return;
    // The arena holds a reference to the scheduler; finalize() fails while any is held. The arena
    // object keeps its size and initializes itself again at its next pass.
    pool->terminate();
    // false when another thread still holds the scheduler: the workers then stay (see header).
    (void)tbb::finalize(scheduler, std::nothrow);
    forget_pool_workers();
}

void after_fork() {
    if (pool == nullptr) return;
    scheduler = tbb::task_scheduler_handle(tbb::attach{});
}

}  // namespace

void make_pool_fork_aware(tbb::task_arena& arena) {
    pool = &arena;
    scheduler = tbb::task_scheduler_handle(tbb::attach{});
    pthread_atfork(before_fork, after_fork, after_fork);
}

}  // namespace korvel
