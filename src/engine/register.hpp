#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <source_location>
#include <span>

#include "engine/amplitude_buffer.hpp"
#include "engine/complex.hpp"

namespace korvel {

struct PendingGates;

inline constexpr std::uint32_t max_qubits_exclusive = 30;

[[noreturn]] void fail_poisoned(std::source_location where = std::source_location::current());

// The amplitudes with their state lock. The lock is exclusive; once work run under it fails,
// the block is marked poisoned for good and every later acquisition fails.
class StateBlock {
public:
    explicit StateBlock(std::size_t amplitude_count);
    ~StateBlock();

    // Runs work(std::span<Complex>) under the lock. Fails with the poisoned-lock message if
    // the block is poisoned; marks it poisoned if work throws, then rethrows.
    template <class Work>
    decltype(auto) locked(Work&& work) {
        std::unique_lock guard(mutex_);
        if (poisoned_) {
            guard.unlock();
            fail_poisoned();
        }
        try {
            return std::forward<Work>(work)(std::span<Complex>(amplitudes_.data(), amplitudes_.size()));
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    bool poisoned() const noexcept { return poisoned_; }
    std::size_t size() const noexcept { return amplitudes_.size(); }

    // Gate passes applied to these amplitudes later (see gate_queue.hpp); null until the first
    // is queued. Touched only under the lock.
    std::unique_ptr<PendingGates>& pending() noexcept { return pending_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;
    AmplitudeBuffer amplitudes_;
    std::unique_ptr<PendingGates> pending_;
};

class Register {
public:
    // Fails with "Number of qubits must be less than 30" for 30 or more, before allocating;
    // throws AllocationFailure if the amplitudes cannot be allocated.
    static Register create(std::uint32_t qubits);

    std::uint32_t qubits() const noexcept { return qubits_; }
    std::size_t size() const noexcept { return state_->size(); }
    StateBlock& state() const noexcept { return *state_; }

private:
    Register(std::uint32_t qubits, std::unique_ptr<StateBlock> state)
        : qubits_(qubits), state_(std::move(state)) {}

    std::uint32_t qubits_;
    std::unique_ptr<StateBlock> state_;
};

}  // namespace korvel
