// The cache-blocked executor: gate sequences applied run by run, block by block: each run of the plan gathers blocks of
// amplitudes over its block set into a per-worker buffer (or works in place when the set is
// the low qubits), applies every gate of the run there, and scatters the block back. Every
// amplitude meets the same pair updates in the same order as with one pass per gate, but for
// the permutations the plan moves past gates on other qubits, which leave every value as it was.

#include "engine/sequence/blocked_sequence.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "engine/base/prefetch.hpp"
#include "engine/kernels/subset_indices.hpp"
#include "engine/pool/pool_thread.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel {

namespace {

// One pass over the whole register, split among the workers.
void run_full_pass(Complex* amplitudes, std::uint32_t qubits, const SequenceGate& gate) {
    if (gate.wide != nullptr) {
        const WideGate& wide = *gate.wide;
        std::uint32_t positions[max_wide_targets];
        for (std::uint32_t j = 0; j < wide.width(); ++j) positions[j] = wide.target(j);
        const WidePass pass(qubits, std::span(positions, wide.width()), gate.controls, wide.kind());
        const Complex* diagonal = wide.kind() == WideKind::diagonal ? wide.diagonal_entries() : nullptr;
        parallel_for_ranges(0, pass.units(), serial_grain(pass.amplitudes_per_unit()),
                            [&](std::uint64_t first, std::uint64_t last) {
                                pass.run(amplitudes, wide, diagonal, first, last);
                            });
        return;
    }
    const GatePass pass = gate_pass(gate, qubits, gate.target, gate.controls);
    const std::uint64_t grain = serial_grain(pass.amplitudes_per_unit());
    parallel_for_ranges(0, pass.units(), grain, [&](std::uint64_t first, std::uint64_t last) {
        pass.run(amplitudes, gate.gate.entries(), first, last);
    });
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
    for (std::uint64_t byte = 0; byte < amplitudes * sizeof(Complex); byte += 64) {
        prefetch<PrefetchFor::write, 2>(piece, byte);
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

void reserve_block_buffers() { (void)block_buffers(); }

void run_gate_sequence(Complex* amplitudes, std::uint32_t qubits,
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace, GateOrder order) {
    run_gate_sequence(amplitudes, qubits, gates, workspace, block_shape(qubits), order);
}

void run_gate_sequence(Complex* amplitudes, std::uint32_t qubits,
                       std::span<const SequenceGate> gates, SequenceWorkspace& workspace,
                       BlockShape shape, GateOrder order) {
    shape.block_bits = std::min(shape.block_bits, qubits);
    shape.contiguous_bits = std::min(shape.contiguous_bits, shape.block_bits);
    const SequencePlan& plan = workspace.plan;
    plan_sequence(qubits, gates, shape, workspace.plan, order);
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

}  // namespace korvel
