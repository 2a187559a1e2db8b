#pragma once

// Which instruction sets the gate kernels come in, and which one the passes use.

// Whether this build has the vector kernels: their units and their dispatch exist only for
// x86-64, and KORVEL_SCALAR_ONLY compiles them out to test the build every other target gets.
// Detection, dispatch and the kernels themselves all test this one condition, so a build never
// chooses a set it cannot run (a 32-bit x86 processor reports AVX2, but has no kernel for it).
#if defined(__x86_64__) && !defined(KORVEL_SCALAR_ONLY)
#define KORVEL_VECTOR_KERNELS 1
#else
#define KORVEL_VECTOR_KERNELS 0
#endif

namespace korvel {

// The instruction sets the gate kernels come in. With KORVEL_VECTOR_KERNELS a build has all
// three, and which one runs is decided at run time from the processor, so a machine without AVX2
// takes the scalar loop; without it, every pass takes the scalar loop.
enum class KernelIsa { scalar, avx2, avx512 };

// The widest set this processor (and its operating system) runs and this build has kernels for.
KernelIsa supported_isa() noexcept;

// The set the passes use: supported_isa() unless narrowed for testing.
KernelIsa active_isa() noexcept;

// Makes the passes use `isa`, or the widest supported set below it; returns the set chosen.
// For tests that run every kernel on one machine; not thread-safe against running passes.
KernelIsa use_isa(KernelIsa isa) noexcept;

}  // namespace korvel
