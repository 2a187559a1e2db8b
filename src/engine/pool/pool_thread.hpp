// The pool's own thread: the one thread of the process that calls into oneTBB, so that callers'
// threads never become registered with its scheduler.
#pragma once

#include <tbb/task_arena.h>

namespace korvel {

// oneTBB registers every thread that enters an arena and keeps it registered until the thread
// ends. A registered thread other than the one calling fork() stops the scheduler from being
// shut down around the fork, and the child then inherits workers that do not exist in it (its
// first pass waits for them in vain, later passes run on one thread). So passes are handed to a
// thread this module owns and can end before each fork; the caller waits meanwhile.
//
// Runs work(arena) on that thread and returns true, rethrowing here whatever work threw. Returns
// false without running it when the pool cannot be had right now (its thread, or the library's
// own state, cannot be made for want of memory); the caller then does the work itself. One pass
// runs at a time; others wait. Called from inside a pass (a piece of one), it runs work at once.
template <class Work>
bool run_on_pool(Work& work);

// Installs the fork handlers that end the pool thread before fork() and wait for its pass; once
// per process, at the latest when the pool thread first starts. Fork handlers that must run
// before these (prepare handlers run in reverse order of installation) are installed after a
// call to this. Returns false when they could not be installed.
bool install_pool_fork_handlers();

// Type-erased form of run_on_pool.
bool run_on_pool_erased(void (*call)(void*, tbb::task_arena&), void* work);

template <class Work>
bool run_on_pool(Work& work) {
    return run_on_pool_erased(
        [](void* erased, tbb::task_arena& arena) { (*static_cast<Work*>(erased))(arena); }, &work);
}

}  // namespace korvel
