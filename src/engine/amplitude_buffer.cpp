#include "engine/amplitude_buffer.hpp"

#include <limits>
#include <memory>
#include <new>
#include <sys/mman.h>

#include "engine/failure.hpp"

namespace korvel {

namespace {

constexpr std::align_val_t block_alignment{64};

// Below this size the heap serves the block and we zero it ourselves; above it, anonymous
// pages arrive zeroed from the kernel and are only touched when first used.
constexpr std::size_t mapping_threshold = std::size_t{1} << 20;

std::size_t byte_size(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(Complex)) {
        throw AllocationFailure(std::numeric_limits<std::size_t>::max());
    }
    return count * sizeof(Complex);
}

}  // namespace

AmplitudeBuffer::AmplitudeBuffer(std::size_t count) {
    const std::size_t bytes = byte_size(count);
    if (bytes == 0) return;
    if (bytes < mapping_threshold) {
        void* raw = ::operator new(bytes, block_alignment, std::nothrow);
        if (raw == nullptr) throw AllocationFailure(bytes);
        data_ = std::uninitialized_fill_n(static_cast<Complex*>(raw), count, Complex{0.0, 0.0}) - count;
    } else {
        void* raw = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw AllocationFailure(bytes);
        // Huge pages shorten the page walks of every pass; without them everything still works.
        (void)::madvise(raw, bytes, MADV_HUGEPAGE);
        data_ = static_cast<Complex*>(raw);
        mapped_ = true;
    }
    count_ = count;
}

AmplitudeBuffer::~AmplitudeBuffer() {
    if (data_ == nullptr) return;
    if (mapped_) {
        ::munmap(data_, count_ * sizeof(Complex));
    } else {
        ::operator delete(data_, block_alignment);
    }
}

}  // namespace korvel
