// The gates of a run as steps on a gathered block, and their application to a block and to its
// L1-sized sub-blocks.

#include "engine/sequence/block_steps.hpp"

#include <array>
#include <bit>

#include "engine/kernels/diagonal_scaling.hpp"

namespace korvel {

// The one place a gate becomes a pass, over the whole register or over a block's own qubit
// numbers.
GatePass gate_pass(const SequenceGate& gate, std::uint32_t qubits, std::uint32_t target,
                   std::uint64_t controls) {
    return GatePass(qubits, target, controls, gate.gate.kind());
}

namespace {

// Position of register qubit q among the block set's qubits.
std::uint32_t rank_in(std::uint64_t set, std::uint32_t q) {
    return static_cast<std::uint32_t>(std::popcount(set & ((std::uint64_t{1} << q) - 1)));
}

// The register bits of `mask` that lie in `set`, renumbered into the block.
std::uint64_t compress(std::uint64_t mask, std::uint64_t set) {
    std::uint64_t out = 0;
    for (std::uint64_t rest = mask & set; rest != 0; rest &= rest - 1) {
        out |= std::uint64_t{1} << rank_in(set, static_cast<std::uint32_t>(std::countr_zero(rest)));
    }
    return out;
}

constexpr std::uint64_t sub_block_low = (std::uint64_t{1} << sub_block_bits) - 1;

// A scaling step is local in every block large enough to have sub-blocks: it splits into the
// bits it tests within a sub-block and those it tests of the sub-block's offset.
void push_scaling(BlockStep step, std::uint32_t bits, std::vector<BlockStep>& steps) {
    step.local = bits > sub_block_bits;
    step.local_mask = step.mask & ~sub_block_low;
    step.local_value = step.value & ~sub_block_low;
    steps.push_back(step);
}

void add_wide_steps(const SequenceGate& gate, std::uint64_t set, std::uint32_t bits, std::vector<BlockStep>& steps) {
    const WideGate& wide = *gate.wide;
    const std::uint64_t inside_controls = compress(gate.controls, set);
    BlockStep step;
    step.select = gate.controls & ~set;
    step.wide = &wide;
    std::array<std::uint32_t, max_wide_targets> positions{};
    std::uint32_t held = 0;
    bool all_low = true;
    for (std::uint32_t j = 0; j < wide.width(); ++j) {
        if (((set >> wide.target(j)) & 1) == 0) {
            step.outside |= 1u << j;
            continue;
        }
        positions[held] = rank_in(set, wide.target(j));
        all_low = all_low && positions[held] < sub_block_bits;
        ++held;
    }
    const auto inside = std::span(positions).first(held);
    step.wide_pass.emplace(bits, inside, inside_controls, wide.kind());
    if (all_low && bits > sub_block_bits) {
        step.local = true;
        step.local_wide_pass.emplace(sub_block_bits, inside, inside_controls & sub_block_low, wide.kind());
        step.local_mask = step.local_value = inside_controls & ~sub_block_low;
    }
    steps.push_back(step);
}

}  // namespace

void add_steps(const SequenceGate& gate, std::uint64_t set, std::uint32_t bits,
               std::vector<BlockStep>& steps) {
    if (gate.wide != nullptr) return add_wide_steps(gate, set, bits, steps);
    const std::uint64_t target_bit = std::uint64_t{1} << gate.target;
    const std::uint64_t inside_controls = compress(gate.controls, set);
    BlockStep step;
    step.select = gate.controls & ~set;
    step.entries = &gate.gate.entries();
    if (!is_diagonal(gate.gate.kind())) {
        const std::uint32_t target = rank_in(set, gate.target);
        step.pass.emplace(gate_pass(gate, bits, target, inside_controls));
        if (target < sub_block_bits && bits > sub_block_bits) {
            step.local = true;
            step.local_pass.emplace(gate_pass(gate, sub_block_bits, target, inside_controls & sub_block_low));
            step.local_mask = step.local_value = inside_controls & ~sub_block_low;
        }
        steps.push_back(step);
        return;
    }
    const Complex m00 = gate.gate.entry(0, 0);
    const Complex m11 = gate.gate.entry(1, 1);
    if ((set & target_bit) == 0) {
        step.mask = step.value = inside_controls;
        step.factor_select = target_bit;
        step.factor0 = m00;
        step.factor1 = m11;
        push_scaling(step, bits, steps);
        return;
    }
    const std::uint64_t inside_target = std::uint64_t{1} << rank_in(set, gate.target);
    step.mask = inside_controls | inside_target;
    if (!exactly_one(m00)) {
        step.value = inside_controls;
        step.factor0 = m00;
        push_scaling(step, bits, steps);
    }
    if (!exactly_one(m11)) {
        step.value = inside_controls | inside_target;
        step.factor0 = m11;
        push_scaling(step, bits, steps);
    }
}

namespace {

Complex scaling_factor(const BlockStep& step, std::uint64_t base) {
    return (base & step.factor_select) != 0 ? step.factor1 : step.factor0;
}

// A wide step over the amplitudes at `at`. A diagonal gate with targets outside the block set
// takes the entries its block's values of those targets pick.
void apply_wide_step(Complex* at, const WidePass& pass, const BlockStep& step, std::uint64_t base) {
    const WideGate& wide = *step.wide;
    const Complex* diagonal = wide.kind() == WideKind::diagonal ? wide.diagonal_entries() : nullptr;
    Complex picked[std::size_t{1} << max_wide_targets];
    if (step.outside != 0) {
        std::uint32_t fixed = 0;
        std::uint32_t held[max_wide_targets];
        std::uint32_t count = 0;
        for (std::uint32_t j = 0; j < wide.width(); ++j) {
            if (((step.outside >> j) & 1) == 0) {
                held[count++] = j;
            } else if ((base >> wide.target(j)) & 1) {
                fixed |= 1u << j;
            }
        }
        for (std::uint32_t c = 0; c < (1u << count); ++c) {
            std::uint32_t row = fixed;
            for (std::uint32_t i = 0; i < count; ++i) row |= ((c >> i) & 1) << held[i];
            picked[c] = wide.diagonal(row);
        }
        diagonal = picked;
    }
    pass.run(at, wide, diagonal, 0, pass.units());
}

// A step over the 2^bits amplitudes at `at` (a block, or a sub-block of one): its pass there,
// or its scaling of those whose `mask` bits equal `value`.
void apply_step(Complex* at, std::uint32_t bits, const std::optional<GatePass>& pass,
                std::uint64_t mask, std::uint64_t value, const BlockStep& step, std::uint64_t base) {
    if (pass) {
        pass->run(at, *step.entries, 0, pass->units());
        return;
    }
    const Complex f = scaling_factor(step, base);
    if (!exactly_one(f)) scale_amplitudes(at, bits, mask, value, f);
}

// A group of local steps, sub-block by sub-block: each amplitude still meets them in order, and
// no step pairs amplitudes of two sub-blocks.
void apply_local_steps(Complex* block, std::uint32_t bits, std::uint64_t base,
                       std::span<const BlockStep> group) {
    const std::uint64_t sub_blocks = std::uint64_t{1} << (bits - sub_block_bits);
    for (std::uint64_t s = 0; s < sub_blocks; ++s) {
        const std::uint64_t offset = s << sub_block_bits;
        for (const BlockStep& step : group) {
            if (!selected(step, base) || (offset & step.local_mask) != step.local_value) continue;
            if (step.wide != nullptr) {
                apply_wide_step(block + offset, *step.local_wide_pass, step, base);
                continue;
            }
            apply_step(block + offset, sub_block_bits, step.local_pass, step.mask & sub_block_low,
                       step.value & sub_block_low, step, base);
        }
    }
}

}  // namespace

void apply_steps(Complex* block, std::uint32_t bits, std::uint64_t base,
                 std::span<const BlockStep> steps) {
    for (std::size_t i = 0; i < steps.size();) {
        std::size_t end = i;
        while (end < steps.size() && steps[end].local) ++end;
        if (end - i >= 2) {
            apply_local_steps(block, bits, base, steps.subspan(i, end - i));
            i = end;
            continue;
        }
        const BlockStep& step = steps[i];
        if (!selected(step, base)) {
        } else if (step.wide != nullptr) {
            apply_wide_step(block, *step.wide_pass, step, base);
        } else {
            apply_step(block, bits, step.pass, step.mask, step.value, step, base);
        }
        ++i;
    }
}

}  // namespace korvel
