#pragma once

// Asking the cache for memory ahead of its use. The address is taken as an integer: it may lie
// past the end of the amplitudes, which a prefetch may name and pointer arithmetic may not.

#include <cstdint>

namespace korvel {

enum class PrefetchFor { read = 0, write = 1 };

// Locality 3 keeps the line in every cache level; 2 lets it leave L1 sooner.
template <PrefetchFor use, int locality = 3>
inline void prefetch(const void* base, std::uintptr_t byte_offset = 0) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(base) + byte_offset;
    __builtin_prefetch(reinterpret_cast<const void*>(at), static_cast<int>(use), locality);
}

}  // namespace korvel
