#pragma once

// Reading a register's amplitudes for the runner's results, under the register's lock.

#include <exception>
#include <span>

#include "engine/base/complex.hpp"
#include "engine/state/register.hpp"

namespace korvel::circuit {

// Runs work(std::span<const Complex>) under the lock. Whatever work throws (an allocation that
// failed, an unusable state) is carried out of the lock and rethrown there, without marking the
// register poisoned: nothing was changed.
template <class Work>
void read_locked(const Register& reg, Work&& work) {
    std::exception_ptr failure;
    reg.state().locked_read([&](std::span<const Complex> amplitudes) {
        try {
            work(amplitudes);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

}  // namespace korvel::circuit
