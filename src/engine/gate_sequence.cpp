// The plain form of a gate sequence: one apply_gate pass per gate, in order.

#include "engine/gate_sequence.hpp"

#include <array>
#include <bit>

#include "engine/apply_gate.hpp"

namespace korvel {

void apply_gate_sequence(Register& reg, std::span<const SequenceGate> gates) {
    for (const SequenceGate& step : gates) {
        // apply_gate takes its controls as a list; a mask has at most 64 of them.
        std::array<std::uint32_t, 64> controls;
        std::size_t count = 0;
        for (std::uint64_t rest = step.controls; rest != 0; rest &= rest - 1) {
            controls[count++] = static_cast<std::uint32_t>(std::countr_zero(rest));
        }
        const std::array<std::uint32_t, 1> target{step.target};
        apply_gate(reg, step.gate, target, std::span<const std::uint32_t>(controls.data(), count));
    }
}

}  // namespace korvel
