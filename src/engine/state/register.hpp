#pragma once

// A register: its qubit count and its amplitudes behind the state lock.

#include <cstdint>
#include <memory>
#include <mutex>
#include <source_location>
#include <span>
#include <utility>

#include "engine/state/amplitude_buffer.hpp"
#include "engine/base/complex.hpp"

namespace korvel {

// Work a block holds back until its next hold: the passes apply_gate queues
// (sequence/gate_queue.hpp). The block owns it and settles it under the lock before any other
// work sees the amplitudes.
class DeferredPasses {
public:
    virtual ~DeferredPasses() = default;
    // Applies what is held to the block's amplitudes, allocating nothing.
    virtual void settle(std::span<Complex> amplitudes) = 0;
};

inline constexpr std::uint32_t max_qubits_exclusive = 30;

[[noreturn]] void fail_poisoned(std::source_location where = std::source_location::current());

// The amplitudes with their state lock. The lock is exclusive, for readers too; once work run
// under it fails, the block is marked poisoned for good and every later acquisition fails.
class StateBlock {
public:
    explicit StateBlock(std::size_t amplitude_count);
    ~StateBlock();

    // Runs work(std::span<Complex>) under the lock, for operations that change the amplitudes.
    // Fails with the poisoned-lock message if the block is poisoned; marks it poisoned if work
    // throws, then rethrows. Passes still queued on the block (gate_queue.hpp) are applied
    // first, so work sees every earlier gate.
    template <class Work>
    decltype(auto) locked(Work&& work) {
        return hold([&] {
            settle_pending();
            return std::forward<Work>(work)(std::span<Complex>(amplitudes_.data(), amplitudes_.size()));
        });
    }

    // The same for operations that only read: work(std::span<const Complex>).
    template <class Work>
    decltype(auto) locked_read(Work&& work) const {
        return hold([&] {
            settle_pending();
            return std::forward<Work>(work)(std::span<const Complex>(amplitudes_.data(), amplitudes_.size()));
        });
    }

    // For the queue itself: work(std::span<Complex>, queue) under the lock, the queued passes
    // left in place. queue is null until the block's first pass is queued; work may install one.
    template <class Work>
    decltype(auto) locked_with_queue(Work&& work) {
        return hold([&] {
            return std::forward<Work>(work)(std::span<Complex>(amplitudes_.data(), amplitudes_.size()), pending_);
        });
    }

    bool poisoned() const noexcept { return poisoned_; }
    std::size_t size() const noexcept { return amplitudes_.size(); }

private:
    // Applies the queued passes, under the lock. A queued pass is one a caller already made, so a
    // reader that settles the queue sees the state it is owed, and reading stays const to callers.
    // Allocates nothing.
    void settle_pending() const;

    template <class Work>
    decltype(auto) hold(Work&& work) const {
        std::unique_lock guard(mutex_);
        if (poisoned_) {
            guard.unlock();
            fail_poisoned();
        }
        try {
            return std::forward<Work>(work)();
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    // A reader takes the lock and may poison it like a writer, and does both on a const block.
    mutable std::mutex mutex_;
    mutable bool poisoned_ = false;
    AmplitudeBuffer amplitudes_;
    // Gate passes held back by apply_gate until the next hold (gate_queue.hpp); null until the
    // first is queued. Touched only under the lock.
    std::unique_ptr<DeferredPasses> pending_;
};

class Register {
public:
    // Fails with "Number of qubits must be less than 30" for 30 or more, before allocating;
    // throws AllocationFailure if the amplitudes cannot be allocated.
    static Register create(std::uint32_t qubits);

    std::uint32_t qubits() const noexcept { return qubits_; }
    std::size_t size() const noexcept { return state_->size(); }
    StateBlock& state() noexcept { return *state_; }
    const StateBlock& state() const noexcept { return *state_; }

private:
    Register(std::uint32_t qubits, std::unique_ptr<StateBlock> state)
        : qubits_(qubits), state_(std::move(state)) {}

    std::uint32_t qubits_;
    std::unique_ptr<StateBlock> state_;
};

}  // namespace korvel
