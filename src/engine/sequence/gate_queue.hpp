#pragma once

// apply_gate's passes held back until the register is next read, so that gates given one per
// call still run as cache-blocked sequences. Every check and failure stays in the call that
// causes it, and every reading settles the queue first: nothing a caller sees changes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/sequence/blocked_sequence.hpp"
#include "engine/gates/gate.hpp"
#include "engine/sequence/gate_sequence.hpp"
#include "engine/state/register.hpp"

namespace korvel {

struct PendingGates final : DeferredPasses {
    PendingGates(std::uint32_t qubits, std::size_t capacity) : qubits(qubits), capacity(capacity) {
        gates.reserve(capacity);
        workspace.reserve(capacity);
    }

    void settle(std::span<Complex> amplitudes) override;

    std::uint32_t qubits;
    std::size_t capacity;
    std::vector<SequenceGate> gates;
    SequenceWorkspace workspace;
};

// The queue's length for a register: 512 passes above serial_qubits (a 470-gate circuit then
// runs as one sequence), fewer for smaller states, whose passes cost little anyway.
std::size_t pending_capacity(std::uint32_t qubits);

// apply_gate with the same checks and failures in the same order (a target outside the
// register after earlier targets, a poisoned lock as soon as a pass would take it; empty passes
// take no lock); the passes may wait on the register until its next hold. The queue is
// allocated by the register's first call with a pass, whose passes run at once; after that a
// call allocates nothing.
void apply_gate_deferred(Register& reg, const QGate& gate, std::span<const std::uint32_t> targets,
                         std::span<const std::uint32_t> controls);

}  // namespace korvel
