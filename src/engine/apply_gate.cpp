#include "engine/apply_gate.hpp"

#include "engine/failure.hpp"
#include "engine/pair_kernel.hpp"
#include "engine/worker_pool.hpp"

namespace korvel {

namespace {

// The controls as one bit mask. A control at or above the qubit count names a bit that is 0 in
// every index, so no pair can pass it: `refused` then says every pass of the call is empty.
struct ControlMask {
    std::uint64_t bits = 0;
    bool refused = false;
};

ControlMask control_mask(std::uint32_t qubits, std::span<const std::uint32_t> controls) {
    ControlMask mask;
    for (const std::uint32_t control : controls) {
        if (control >= qubits) {
            mask.refused = true;
        } else {
            mask.bits |= std::uint64_t{1} << control;
        }
    }
    return mask;
}

void run_pass(Register& reg, const QGate& gate, std::uint32_t target, std::uint64_t controls) {
    const PairLayout layout(reg.qubits(), target, controls);
    reg.state().locked([&](std::span<Complex> amplitudes) {
        // Workers write disjoint pairs under the caller's hold of the lock.
        Complex* data = amplitudes.data();
        parallel_for_ranges(0, layout.count(), serial_grain,
                            [&](std::uint64_t first, std::uint64_t last) {
                                apply_pairs_scalar(data, gate.entries(), layout, first, last);
                            });
    });
}

}  // namespace

void apply_gate(Register& reg, const QGate& gate, std::span<const std::uint32_t> targets,
                std::span<const std::uint32_t> controls) {
    if (targets.empty()) return;
    const ControlMask mask = control_mask(reg.qubits(), controls);
    for (const std::uint32_t target : targets) {
        if (target >= reg.qubits()) fail("Target(s) outside qubit range");
        const std::uint64_t target_bit = std::uint64_t{1} << target;
        // A control on the target itself is 0 in every i0: the pass would touch nothing, so it
        // does not take the lock (and so returns normally on a poisoned register).
        if (mask.refused || (mask.bits & target_bit) != 0) continue;
        run_pass(reg, gate, target, mask.bits);
    }
}

}  // namespace korvel
