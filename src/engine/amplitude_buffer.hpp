#pragma once

#include <cstddef>

#include "engine/complex.hpp"

namespace korvel {

// One contiguous, 64-byte aligned block of amplitudes, zero-filled (+0.0 in both fields) at
// allocation. Large blocks come straight from the kernel's zero pages, so creating a register
// costs no pass over memory. Throws AllocationFailure when the memory cannot be had.
class AmplitudeBuffer {
public:
    explicit AmplitudeBuffer(std::size_t count);
    ~AmplitudeBuffer();
    AmplitudeBuffer(const AmplitudeBuffer&) = delete;
    AmplitudeBuffer& operator=(const AmplitudeBuffer&) = delete;

    Complex* data() noexcept { return data_; }
    const Complex* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return count_; }

private:
    Complex* data_ = nullptr;
    std::size_t count_ = 0;
    bool mapped_ = false;
};

}  // namespace korvel
