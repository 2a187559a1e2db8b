#pragma once

#include <tbb/task_arena.h>

namespace korvel {

// Starts the pool's workers, once, before the first pass and again before the first pass after a
// fork(), while no register is locked.
//
// oneTBB creates its worker threads lazily, in the middle of a pass, and a failed thread creation
// there (address-space limits, a cgroup's process limit) either abandons the pass half done,
// poisoning its register, or, when a worker was the one starting another, ends the process in
// std::terminate. So first this many threads are tried out with the workers' stack size and
// released again; the arena is sized to the caller plus those that could be made; then one
// warm-up pass makes every worker start, with nothing to lose if it goes wrong. The workers then
// live until the process ends (or the next fork), so no pass creates threads.
//
// Returns false, having started nothing, when there is not enough memory to start oneTBB's
// scheduler safely; the next call tries again. Cheap after the first successful call. The arena
// must not be in use by another thread.
bool ensure_pool_workers(tbb::task_arena& arena, int wanted_threads);

// The workers were shut down (around a fork()): the next ensure_pool_workers() starts them again.
void forget_pool_workers() noexcept;

}  // namespace korvel
