#pragma once

#include <tbb/task_arena.h>

namespace korvel {

// Keeps the pool usable in a child made by fork(). oneTBB's worker threads do not survive a fork,
// and a child would otherwise run every pass on one thread, for good. Before each fork() the pool
// thread (pool_thread.hpp) releases the arena and shuts the scheduler down, joining the workers;
// both processes start fresh ones at their next pass. The scheduler can only be shut down when
// no other thread is registered with it, which is why no thread but the pool thread ever calls
// into oneTBB.

// Call once, with the arena every pass runs in, before that arena first runs a pass.
void make_pool_fork_aware(tbb::task_arena& arena);

// On the pool thread, as it ends before a fork(): the arena released, the scheduler shut down.
void release_pool_before_fork() noexcept;

// In the parent and in the child after a fork(): the scheduler can be shut down again next time.
void reattach_pool_after_fork() noexcept;

}  // namespace korvel
