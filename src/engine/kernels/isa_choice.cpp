// The run-time choice of the gate kernels' instruction set: what the processor offers, as
// narrowed by tests.
#include "engine/kernels/isa_choice.hpp"

#include <algorithm>
#include <atomic>

namespace korvel {

namespace {

KernelIsa detect() noexcept {
#if KORVEL_VECTOR_KERNELS
    // The checks include the operating system's consent to save the wide registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return KernelIsa::avx512;
    if (__builtin_cpu_supports("avx2")) return KernelIsa::avx2;
#endif
    return KernelIsa::scalar;
}

std::atomic<KernelIsa>& chosen() noexcept {
    static std::atomic<KernelIsa> isa{supported_isa()};
    return isa;
}

}  // namespace

KernelIsa supported_isa() noexcept {
    static const KernelIsa isa = detect();
    return isa;
}

KernelIsa active_isa() noexcept { return chosen().load(std::memory_order_relaxed); }

KernelIsa use_isa(KernelIsa isa) noexcept {
    const KernelIsa usable = std::min(isa, supported_isa());
    chosen().store(usable, std::memory_order_relaxed);
    return usable;
}

}  // namespace korvel
