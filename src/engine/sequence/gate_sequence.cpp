// The entry point of gate sequences: a register's lock taken once around the whole sequence.

#include "engine/sequence/gate_sequence.hpp"

#include <new>

#include "engine/base/failure.hpp"
#include "engine/sequence/blocked_sequence.hpp"

namespace korvel {

void apply_gate_sequence(Register& reg, std::span<const SequenceGate> gates, GateOrder order) {
    if (gates.empty()) return;
    if (gates.size() == 1) {
        // One gate is one full pass (a run of one is never blocked): no workspace to allocate,
        // which keeps measure's collapse free of allocations.
        reg.state().locked([&](std::span<Complex> amplitudes) {
            run_unblocked(amplitudes.data(), reg.qubits(), gates);
        });
        return;
    }
    // Allocated before the lock: a failure under it would poison the register.
    SequenceWorkspace workspace;
    try {
        workspace.reserve(gates.size());
    } catch (const std::bad_alloc&) {
        const std::size_t per_gate = sizeof(SequenceRun) + 2 * sizeof(std::size_t) + 2 * sizeof(BlockStep);
        throw AllocationFailure(gates.size() * per_gate);
    }
    if (block_shape(reg.qubits()).block_bits < reg.qubits()) reserve_block_buffers();
    reg.state().locked([&](std::span<Complex> amplitudes) {
        run_gate_sequence(amplitudes.data(), reg.qubits(), gates, workspace, order);
    });
}

}  // namespace korvel
