#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// The number of threads (the caller included) the pool runs passes on: RAYON_NUM_THREADS when
// it holds a positive decimal integer (0 means the processor count), else RAYON_RS_NUM_CPUS read
// the same way, else the processor count. Read once per process.
std::size_t pool_thread_count();

// Applies the size above to the process-wide oneTBB pool; idempotent and cheap after the first
// call. Every parallel pass calls it first.
void configure_pool();

}  // namespace korvel
