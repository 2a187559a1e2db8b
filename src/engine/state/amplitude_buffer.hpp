#pragma once

#include <cstddef>

#include "engine/base/complex.hpp"

namespace korvel {

// One contiguous, 64-byte aligned block of amplitudes, zero-filled (+0.0 in both fields) at
// allocation. Blocks of a huge page or more come straight from the kernel's zero pages; up to
// a size they are backed with memory at once, on the worker pool, so that the first pass
// costs what later ones do. Larger blocks cost no pass over memory at creation, and their first
// pass pays the kernel for the pages. Throws AllocationFailure when the memory cannot be had.
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
    void back_pages();

    Complex* data_ = nullptr;
    std::size_t count_ = 0;
    bool mapped_ = false;
};

}  // namespace korvel
