// Gate application: the control mask, the range test of the targets, and their passes as one
// gate sequence.
#include "engine/sequence/apply_gate.hpp"

#include <vector>

#include "engine/base/failure.hpp"
#include "engine/sequence/gate_sequence.hpp"
#include "engine/base/messages.hpp"

namespace korvel {

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

std::size_t valid_target_count(std::uint32_t qubits, std::span<const std::uint32_t> targets) {
    std::size_t valid = 0;
    while (valid < targets.size() && targets[valid] < qubits) ++valid;
    return valid;
}

void apply_gate(Register& reg, const QGate& gate, std::span<const std::uint32_t> targets,
                std::span<const std::uint32_t> controls) {
    const ControlMask mask = control_mask(reg.qubits(), controls);
    // The targets before the first one outside the register are applied, all in one sequence,
    // and that one is then refused.
    const std::size_t valid = valid_target_count(reg.qubits(), targets);
    if (valid == 1) {
        // A single target, as in measure's collapse, needs no list of passes.
        if (!mask.empties(targets[0])) {
            const SequenceGate pass{gate, targets[0], mask.bits};
            apply_gate_sequence(reg, {&pass, 1});
        }
    } else {
        std::vector<SequenceGate> passes;
        for (const std::uint32_t target : targets.first(valid)) {
            if (!mask.empties(target)) passes.push_back({gate, target, mask.bits});
        }
        apply_gate_sequence(reg, passes);
    }
    if (valid < targets.size()) fail(messages::target_outside_range);
}

}  // namespace korvel
