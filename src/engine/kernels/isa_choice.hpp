#pragma once

namespace korvel {

// The instruction sets the gate kernels come in. Every build has all three; which one runs is
// decided at run time from the processor, so a machine without AVX2 takes the scalar loop.
enum class KernelIsa { scalar, avx2, avx512 };

// The widest set this processor (and its operating system) runs.
KernelIsa supported_isa() noexcept;

// The set the passes use: supported_isa() unless narrowed for testing.
KernelIsa active_isa() noexcept;

// Makes the passes use `isa`, or the widest supported set below it; returns the set chosen.
// For tests that run every kernel on one machine; not thread-safe against running passes.
KernelIsa use_isa(KernelIsa isa) noexcept;

}  // namespace korvel
