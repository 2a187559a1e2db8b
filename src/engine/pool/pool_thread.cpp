// The pool thread: takes passes one at a time from callers' threads, starts the pool at its first
// pass (and at the first after each fork), and shuts the scheduler down before each fork.
#include "engine/pool/pool_thread.hpp"

#include <pthread.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

#include <tbb/global_control.h>

#include "engine/pool/fork_safety.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel {

namespace {

struct Job {
    void (*call)(void*, tbb::task_arena&);
    void* work;
};

struct PoolThread {
    // Held by a caller for its whole pass, and by the forking thread across fork().
    std::mutex passes;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    const Job* job = nullptr;
    bool done = false;
    bool ran = false;
    std::exception_ptr error;
    bool stop = false;
    bool running = false;
    pthread_t thread{};
};

// Never destroyed: at exit the thread still waits on it while static objects are destroyed.
PoolThread& shared() {
    static PoolThread* const state = new PoolThread;
    return *state;
}

void* serve(void*) {
    PoolThread& s = shared();
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return s.job != nullptr || s.stop; });
        if (s.job == nullptr) break;
        const Job job = *s.job;
        lock.unlock();
        tbb::task_arena* arena = nullptr;
        try {
            arena = started_pool();
        } catch (const std::exception&) {
            // No memory for the pool's own objects: as if it could not start.
        }
        const bool ran = arena != nullptr;
        std::exception_ptr error;
        if (ran) {
            try {
                job.call(job.work, *arena);
            } catch (...) {
                error = std::current_exception();
            }
        }
        lock.lock();
        s.job = nullptr;
        s.done = true;
        s.ran = ran;
        s.error = std::move(error);
        s.finished.notify_all();
    }
    lock.unlock();
    // This is the only thread registered with the scheduler, so here it can be shut down.
    release_pool_before_fork();
    return nullptr;
}

void before_fork() {
    PoolThread& s = shared();
    s.passes.lock();
    std::unique_lock lock(s.mutex);
    if (!s.running) return;
    s.stop = true;
    s.wake.notify_one();
    lock.unlock();
    pthread_join(s.thread, nullptr);
    s.running = false;
    s.stop = false;
}

void after_fork() {
    reattach_pool_after_fork();
    shared().passes.unlock();
}

}  // namespace

bool install_pool_fork_handlers() {
    static const bool installed = pthread_atfork(before_fork, after_fork, after_fork) == 0;
    return installed;
}

namespace {

// Called with s.mutex held.
bool start_thread(PoolThread& s) {
    if (!install_pool_fork_handlers()) return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    // Pieces of passes run here as on the workers: the same stack.
    const std::size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
    if (stack > 0) (void)pthread_attr_setstacksize(&attributes, stack);
    const bool started = pthread_create(&s.thread, &attributes, serve, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    s.running = started;
    return started;
}

}  // namespace

bool run_on_pool_erased(void (*call)(void*, tbb::task_arena&), void* work) {
    // A piece of a running pass (on a worker or on the pool thread) nests into the same arena.
    if (tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized) {
        tbb::task_arena* arena = started_pool();
        if (arena == nullptr) return false;
        call(work, *arena);
        return true;
    }
    PoolThread& s = shared();
    std::lock_guard pass(s.passes);
    std::unique_lock lock(s.mutex);
    if (!s.running && !start_thread(s)) return false;
    const Job job{call, work};
    s.job = &job;
    s.done = false;
    s.wake.notify_one();
    s.finished.wait(lock, [&] { return s.done; });
    if (s.error) std::rethrow_exception(std::exchange(s.error, nullptr));
    return s.ran;
}

}  // namespace korvel
