// The fork exclusion of the runner's engine work: a count of work in flight and a flag raised
// while a fork is under way, both plain atomics, so that nothing needs mending in the child.

#include "engine/circuit/engine_work.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "engine/pool/worker_pool.hpp"

namespace korvel::circuit {

namespace {

// Sequentially consistent throughout: each side announces itself before it looks at the other.
std::atomic<long> active_work{0};
std::atomic<bool> forking{false};

void pause_briefly() {
    // A fork takes milliseconds and a pass as long; sleeping in small steps costs nothing visible.
    const timespec step{0, 50'000};
    nanosleep(&step, nullptr);
}

void before_fork() {
    forking.store(true);
    while (active_work.load() != 0) pause_briefly();
}

void after_fork_parent() { forking.store(false); }

void after_fork_child() {
    active_work.store(0);
    forking.store(false);
}

void install_fork_handlers() {
    // Prepare handlers run in the reverse order of their installation. The pool installs its
    // own when its arena is first made, so making the arena first puts this handler before it:
    // passes have finished by the time the pool is shut down.
    (void)pool_arena();
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

}  // namespace

EngineWork::EngineWork() {
    static std::once_flag installed;
    std::call_once(installed, install_fork_handlers);
    for (;;) {
        active_work.fetch_add(1);
        if (!forking.load()) return;
        active_work.fetch_sub(1);
        while (forking.load()) pause_briefly();
    }
}

EngineWork::~EngineWork() { active_work.fetch_sub(1); }

}  // namespace korvel::circuit
