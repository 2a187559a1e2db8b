// The register's queue of apply_gate passes.

#include "engine/sequence/gate_queue.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>

#include "engine/sequence/apply_gate.hpp"
#include "engine/base/failure.hpp"
#include "engine/base/messages.hpp"
#include "engine/pool/pool_thread.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel {

std::size_t pending_capacity(std::uint32_t qubits) {
    if (qubits >= serial_qubits) return 512;
    return std::max<std::size_t>(16, (std::size_t{1} << qubits) >> 4);
}

void PendingGates::settle(std::span<Complex> amplitudes) {
    if (gates.empty()) return;
    run_gate_sequence(amplitudes.data(), qubits, gates, workspace);
    gates.clear();
}

void apply_gate_deferred(Register& reg, const QGate& gate, std::span<const std::uint32_t> targets,
                         std::span<const std::uint32_t> controls) {
    const ControlMask mask = control_mask(reg.qubits(), controls);
    const std::size_t valid = valid_target_count(reg.qubits(), targets);
    const auto passes = targets.first(valid);
    if (std::any_of(passes.begin(), passes.end(), [&](std::uint32_t t) { return !mask.empties(t); })) {
        // A pass this large would have started the pool's workers (in a fresh process, or in a
        // child after fork()): they start now as they would have, not at the next reading.
        if (pool_size() > 1 && block_shape(reg.qubits()).block_bits < reg.qubits()) {
            auto start_workers = [](tbb::task_arena&) {};
            (void)run_on_pool(start_workers);
        }
        reg.state().locked_with_queue([&](std::span<Complex> amplitudes, std::unique_ptr<DeferredPasses>& held) {
            // A register's first passes run in their call: that is where the fresh state's pages
            // are first written, so the memory it commits shows (and any shortage strikes) there.
            const bool first = !held;
            if (first) {
                // Without memory for a queue the passes run at once, as they always could.
                try {
                    held = std::make_unique<PendingGates>(reg.qubits(), pending_capacity(reg.qubits()));
                } catch (const std::bad_alloc&) {
                    held.reset();
                }
            }
            // Only this file installs what a register holds back.
            auto* queue = static_cast<PendingGates*>(held.get());
            for (const std::uint32_t target : passes) {
                if (mask.empties(target)) continue;
                const SequenceGate pass{gate, target, mask.bits};
                if (!queue) {
                    run_unblocked(amplitudes.data(), reg.qubits(), {&pass, 1});
                    continue;
                }
                if (queue->gates.size() == queue->capacity) queue->settle(amplitudes);
                queue->gates.push_back(pass);
            }
            if (first && queue) queue->settle(amplitudes);
        });
    }
    if (valid < targets.size()) fail(messages::target_outside_range);
}

}  // namespace korvel
