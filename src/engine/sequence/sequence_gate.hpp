#pragma once

// One gate of a sequence: a single-qubit matrix, its target and its control mask; or, for the
// circuit runner only, a gate on several targets (a WideGate) with its control mask.

#include <cstdint>

#include "engine/gates/gate.hpp"
#include "engine/gates/wide_gate.hpp"

namespace korvel {

struct SequenceGate {
    QGate gate;              // matrix and its kind
    std::uint32_t target;    // < reg.qubits()
    std::uint64_t controls;  // mask of control qubits, all < reg.qubits(), target bits not set
    // A gate on several targets, owned by the caller for the sequence's duration; `gate` and
    // `target` are then unused. Null for every gate of the korvel module.
    const WideGate* wide = nullptr;

    std::uint64_t target_mask() const noexcept {
        return wide != nullptr ? wide->target_mask() : std::uint64_t{1} << target;
    }
};

}  // namespace korvel
