// Gate sequences applied run by run, block by block: each run of the plan gathers blocks of
// amplitudes over its block set into a per-worker buffer (or works in place when the set is
// the low qubits), applies every gate of the run there, and scatters the block back. Every
// amplitude meets the same pair updates in the same order as with one pass per gate, but for
// the permutations the plan moves past gates on other qubits, which leave every value as it was.

#include "engine/gate_sequence.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "engine/blocked_sequence.hpp"
#include "engine/failure.hpp"
#include "engine/kernels/subset_indices.hpp"
#include "engine/pool/pool_thread.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel {

namespace {

// The one place a gate becomes a pass, over the whole register or over a block's own qubit
// numbers.
GatePass gate_pass(const SequenceGate& gate, std::uint32_t qubits, std::uint32_t target,
                   std::uint64_t controls) {
    return GatePass(qubits, target, controls, gate.gate.kind());
}

bool is_one(Complex x) { return x.real == 1.0 && x.imag == 0.0; }

// One pass over the whole register, split among the workers.
void run_full_pass(Complex* amplitudes, std::uint32_t qubits, const SequenceGate& gate) {
    const GatePass pass = gate_pass(gate, qubits, gate.target, gate.controls);
    const std::uint64_t grain = serial_grain(pass.amplitudes_per_unit());
    parallel_for_ranges(0, pass.units(), grain, [&](std::uint64_t first, std::uint64_t last) {
        pass.run(amplitudes, gate.gate.entries(), first, last);
    });
}

// a = f · a for the amplitudes of a block of 2^bits whose `mask` bits equal `value`: the
// product of the general pass with the other entry's exact zero term left out, which changes
// at most the sign of a zero.
void scale_amplitudes(Complex* block, std::uint32_t bits, std::uint64_t mask, std::uint64_t value,
                      Complex f) {
    const SubsetIndices indices(bits, mask, value);
    const std::uint64_t run = mask == 0 ? indices.count() : (mask & (~mask + 1));
    std::uint64_t i = indices.at(0);
    for (std::uint64_t u = 0; u < indices.count(); u += run) {
        Complex* p = block + i;
        for (std::uint64_t j = 0; j < run; ++j) p[j] = f * p[j];
        i = indices.next(i + run - 1);
    }
}

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

void add_steps(const SequenceGate& gate, std::uint64_t set, std::uint32_t bits,
               std::vector<BlockStep>& steps) {
    const std::uint64_t target_bit = std::uint64_t{1} << gate.target;
    const std::uint64_t inside_controls = compress(gate.controls, set);
    BlockStep step{gate.controls & ~set, std::nullopt, &gate.gate.entries(), 0, 0, 0, {}, {},
                   false, std::nullopt, 0, 0};
    if (!is_diagonal(gate.gate)) {
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
    if (!is_one(m00)) {
        step.value = inside_controls;
        step.factor0 = m00;
        push_scaling(step, bits, steps);
    }
    if (!is_one(m11)) {
        step.value = inside_controls | inside_target;
        step.factor0 = m11;
        push_scaling(step, bits, steps);
    }
}

bool selected(const BlockStep& step, std::uint64_t base) { return (base & step.select) == step.select; }

Complex scaling_factor(const BlockStep& step, std::uint64_t base) {
    return (base & step.factor_select) != 0 ? step.factor1 : step.factor0;
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
    if (!is_one(f)) scale_amplitudes(at, bits, mask, value, f);
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
            apply_step(block + offset, sub_block_bits, step.local_pass, step.mask & sub_block_low,
                       step.value & sub_block_low, step, base);
        }
    }
}

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
        if (selected(step, base)) apply_step(block, bits, step.pass, step.mask, step.value, step, base);
        ++i;
    }
}

// One buffer of 2^max_block_bits amplitudes per thread the pool may run (its arena's slots),
// allocated once for the process (1 MiB with two threads; pages of slots never used stay
// untouched). Null if that allocation failed: runs then fall back to one pass per gate.
struct BlockBuffers {
    Complex* data = nullptr;
    std::size_t slots = 0;
};

const BlockBuffers& block_buffers() {
    static const BlockBuffers buffers = [] {
        BlockBuffers made;
        made.slots = pool_size();
        const std::size_t bytes = (made.slots << max_block_bits) * sizeof(Complex);
        made.data = static_cast<Complex*>(::operator new(bytes, std::align_val_t{64}, std::nothrow));
        return made;
    }();
    return buffers;
}

void prefetch_piece(const Complex* piece, std::uint64_t amplitudes) {
    const auto at = reinterpret_cast<std::uintptr_t>(piece);
    for (std::uint64_t byte = 0; byte < amplitudes * sizeof(Complex); byte += 64) {
        __builtin_prefetch(reinterpret_cast<const void*>(at + byte), 1, 2);
    }
}

void run_blocked(Complex* amplitudes, std::uint32_t qubits, const SequenceRun& run,
                 std::uint32_t bits, std::span<const BlockStep> steps) {
    const std::uint64_t set = run.block_qubits;
    const SubsetIndices blocks(qubits, set, 0);
    if (set == (std::uint64_t{1} << bits) - 1) {
        // Contiguous blocks: worked on where they lie.
        parallel_for_ranges(0, blocks.count(), 1, [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t u = first; u < last; ++u) {
                const std::uint64_t base = u << bits;
                apply_steps(amplitudes + base, bits, base, steps);
            }
        });
        return;
    }
    const auto contiguous = static_cast<std::uint32_t>(std::countr_one(set));
    const std::uint64_t piece = std::uint64_t{1} << contiguous;
    const std::uint64_t register_mask = (std::uint64_t{1} << qubits) - 1;
    // Offsets of a block's pieces: every combination of the set's qubits above the contiguous ones.
    const SubsetIndices pieces(qubits, register_mask & ~(set & ~(piece - 1)), 0);
    const BlockBuffers& buffers = block_buffers();
    // Blocks [first, last), gathered into the buffer of arena slot `slot`.
    auto blocks_in = [&](std::uint64_t first, std::uint64_t last, std::size_t slot) {
        Complex* buffer = buffers.data + (slot << max_block_bits);
        std::uint64_t base = blocks.at(first);
        for (std::uint64_t u = first; u < last; ++u, base = blocks.next(base)) {
            if (std::none_of(steps.begin(), steps.end(),
                             [&](const BlockStep& step) { return selected(step, base); })) {
                continue;
            }
            // The next block of this range is fetched while this one is gathered, so that
            // its scattered pieces are in cache by the time the gates here are done.
            const std::uint64_t ahead = u + 1 < last ? blocks.next(base) : base;
            std::uint64_t offset = 0;
            for (std::uint64_t j = 0; j < pieces.count(); ++j, offset = pieces.next(offset)) {
                if (ahead != base) prefetch_piece(amplitudes + ahead + offset, piece);
                std::copy_n(amplitudes + base + offset, piece, buffer + (j << contiguous));
            }
            apply_steps(buffer, bits, base, steps);
            offset = 0;
            for (std::uint64_t j = 0; j < pieces.count(); ++j, offset = pieces.next(offset)) {
                std::copy_n(buffer + (j << contiguous), piece, amplitudes + base + offset);
            }
        }
    };
    if (pool_size() > 1) {
        auto pass = [&](tbb::task_arena& arena) {
            arena.execute([&] {
                tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, blocks.count(), 1),
                                  [&](const tbb::blocked_range<std::uint64_t>& range) {
                    blocks_in(range.begin(), range.end(),
                              static_cast<std::size_t>(tbb::this_task_arena::current_thread_index()));
                });
            });
        };
        if (run_on_pool(pass)) return;
    }
    // No pool to be had: the calling thread takes every block, with the first slot's buffer.
    blocks_in(0, blocks.count(), 0);
}

}  // namespace

void run_gate_sequence(Complex* amplitudes, std::uint32_t qubits,
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace) {
    run_gate_sequence(amplitudes, qubits, gates, workspace, block_shape(qubits));
}

void run_gate_sequence(Complex* amplitudes, std::uint32_t qubits,
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace,
                       BlockShape shape) {
    shape.block_bits = std::min(shape.block_bits, qubits);
    shape.contiguous_bits = std::min(shape.contiguous_bits, shape.block_bits);
    const SequencePlan& plan = workspace.plan;
    plan_sequence(qubits, gates, shape, workspace.plan);
    for (const SequenceRun& run : plan.runs) {
        const auto run_order = std::span(plan.order).subspan(run.begin, run.end - run.begin);
        const bool in_place = run.block_qubits == (std::uint64_t{1} << shape.block_bits) - 1;
        // One gate gains nothing from blocking; nor does anything without the buffers.
        if (run_order.size() == 1 || (!in_place && block_buffers().data == nullptr)) {
            for (const std::size_t g : run_order) run_full_pass(amplitudes, qubits, gates[g]);
            continue;
        }
        workspace.steps.clear();
        for (const std::size_t g : run_order) {
            add_steps(gates[g], run.block_qubits, shape.block_bits, workspace.steps);
        }
        run_blocked(amplitudes, qubits, run, shape.block_bits, workspace.steps);
    }
}

void run_unblocked(Complex* amplitudes, std::uint32_t qubits, std::span<const SequenceGate> gates) {
    for (const SequenceGate& gate : gates) run_full_pass(amplitudes, qubits, gate);
}

void apply_gate_sequence(Register& reg, std::span<const SequenceGate> gates) {
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
    if (block_shape(reg.qubits()).block_bits < reg.qubits()) block_buffers();
    reg.state().locked([&](std::span<Complex> amplitudes) {
        run_gate_sequence(amplitudes.data(), reg.qubits(), gates, workspace);
    });
}

}  // namespace korvel
