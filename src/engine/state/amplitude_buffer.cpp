#include "engine/state/amplitude_buffer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <sys/mman.h>

#include "engine/base/failure.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel {

namespace {

constexpr std::align_val_t block_alignment{64};

// Below this size the heap serves the block and we zero it ourselves: the allocator reuses a
// freed block, so a fresh register's first pass meets no page faults. At 16 qubits (1 MiB) a
// mapping cost 25 times a later pass on its first gate: 256 separate 4 KiB faults, since the
// kernel backs only whole 2 MiB ranges with huge pages. From 2 MiB up, anonymous pages arrive
// zeroed from the kernel, in huge pages, and are only touched when first used.
constexpr std::size_t mapping_threshold = std::size_t{2} << 20;

// Mapped blocks up to this size are backed with memory at creation. The kernel writes zeros
// into every page it hands out, at about 2.5 GB/s per thread on the development machine
// (a virtual Xeon), so a fresh register's first pass cost 2.8 to 3.0 times a later one from
// 22 qubits up, and 1.5 to 2 times at 18 to 20, when the pass itself met the faults. Backing
// the pages at creation moves that cost there; above this size (512 MiB and more, 25 to 29
// qubits) creating a register stays free and commits no memory until it is used.
constexpr std::size_t backing_limit = std::size_t{256} << 20;

// The pieces in which the pool backs a mapped block: one huge page each.
constexpr std::size_t backing_piece = std::size_t{2} << 20;
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels answer EINVAL
#endif

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
    if (mapped_ && bytes <= backing_limit) {
        try {
            back_pages();
        } catch (...) {
            ::munmap(data_, bytes);  // no destructor runs for a constructor that throws
            throw;
        }
    }
}

// Pages the kernel cannot back now are left to fault in when first used, as larger blocks do.
void AmplitudeBuffer::back_pages() {
    const std::size_t bytes = count_ * sizeof(Complex);
    auto* const base = reinterpret_cast<unsigned char*>(data_);
    const std::uint64_t pieces = (bytes + backing_piece - 1) / backing_piece;
    parallel_for_ranges(0, pieces, 1, [&](std::uint64_t first, std::uint64_t last) {
        unsigned char* const begin = base + first * backing_piece;
        const std::size_t length = std::min<std::size_t>(bytes, last * backing_piece) - first * backing_piece;
        if (::madvise(begin, length, MADV_POPULATE_WRITE) == 0 || errno != EINVAL) return;
        // Without the advice: a zero written into every page, which holds only zeros yet.
        for (std::size_t at = 0; at < length; at += 4096) {
            *static_cast<volatile unsigned char*>(begin + at) = 0;
        }
    });
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
