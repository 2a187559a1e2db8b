// Per-shot trajectories of programs that measure, reset or branch on classical bits.
//
// A program splits into three parts: the gates before its first measurement or reset, which
// every shot shares (run once, then copied); the middle, run per shot; and a tail of
// unconditional measurements, which change no later step and so are read as one draw of a whole
// basis state per shot, mapped onto the classical bits they write. Without a middle, the shots are
// drawn from the shared state by the sampler. Jumps stay inside the middle: the shared gates end
// before the first step a jump continues at, and the tail starts after the last. Set steps write
// classical bits, so like measurements they belong to the middle.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/sequence/apply_gate.hpp"
#include "engine/circuit/circuit_state.hpp"
#include "engine/circuit/engine_work.hpp"
#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/sampler.hpp"
#include "engine/circuit/state_access.hpp"
#include "engine/base/failure.hpp"
#include "engine/readout/measurement.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel::circuit {

namespace {


// Shots per piece handed to a pool thread; each piece allocates one register.
constexpr std::uint64_t shot_grain = 16;

constexpr QGate pauli_x = QGate::from_entries({0.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {0.0, 0.0});

struct ProgramParts {
    std::span<const Step> shared;   // gates before the first measurement, reset or jump target
    std::span<const Step> middle;   // per shot
    std::span<const Step> tail;     // unconditional measurements to the end
    // Per loop a jump names, the step of its last backward jump (0 for none): only a forward
    // jump past it leaves the loop and sets its count back. With that rule every shot ends:
    // of the backward jumps a shot takes without end, the last in the program would belong to
    // a loop whose count could then never be set back, and so runs out.
    std::vector<std::size_t> loop_ends;
    GateOrder order = GateOrder::exact;
};

ProgramParts split_program(std::span<const Step> steps) {
    std::size_t first_target = steps.size(), last_target = 0, loops = 0;
    for (const Step& step : steps) {
        if (step.kind != StepKind::jump) continue;
        first_target = std::min<std::size_t>(first_target, step.jump_to);
        last_target = std::max<std::size_t>(last_target, step.jump_to);
        loops = std::max<std::size_t>(loops, std::size_t{step.loop} + 1);
    }
    std::vector<std::size_t> loop_ends;
    try {
        loop_ends.resize(loops, 0);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(loops * sizeof(std::size_t));
    }
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const Step& step = steps[k];
        if (step.kind == StepKind::jump && step.jump_to < k) loop_ends[step.loop] = std::max(loop_ends[step.loop], k);
    }
    std::size_t first_other = 0;
    while (first_other < first_target && steps[first_other].kind == StepKind::gate) ++first_other;
    std::size_t tail_begin = steps.size();
    while (tail_begin > std::max(first_other, last_target) && steps[tail_begin - 1].kind == StepKind::measure &&
           !steps[tail_begin - 1].conditional()) {
        --tail_begin;
    }
    return {steps.first(first_other), steps.subspan(first_other, tail_begin - first_other),
            steps.subspan(tail_begin), std::move(loop_ends)};
}

std::uint64_t write_clbit(std::uint64_t word, std::uint32_t clbit, std::uint64_t value) {
    return (word & ~(std::uint64_t{1} << clbit)) | (value << clbit);
}

// The classical bits the tail writes, as a function of the measured basis state: each such bit
// takes the value of the qubit its last measurement reads. Looked up a byte of the outcome at a
// time, so a shot costs a few table reads however long the tail is.
class TailMap {
public:
    TailMap(std::span<const Step> tail, std::uint32_t qubits) : bytes_((qubits + 7) / 8) {
        std::array<int, 64> source;
        source.fill(-1);
        for (const Step& step : tail) source[step.clbit] = static_cast<int>(step.target);
        for (std::uint32_t clbit = 0; clbit < 64; ++clbit) {
            if (source[clbit] < 0) continue;
            written_ |= std::uint64_t{1} << clbit;
            const auto qubit = static_cast<std::uint32_t>(source[clbit]);
            for (std::uint32_t value = 0; value < 256; ++value) {
                if (((value >> (qubit % 8)) & 1) != 0) tables_[qubit / 8][value] |= std::uint64_t{1} << clbit;
            }
        }
    }

    std::uint64_t word(std::uint64_t before, std::uint64_t outcome) const {
        std::uint64_t word = before & ~written_;
        for (std::uint32_t b = 0; b < bytes_; ++b) word |= tables_[b][(outcome >> (8 * b)) & 0xff];
        return word;
    }

private:
    std::uint32_t bytes_;
    std::uint64_t written_ = 0;
    std::array<std::array<std::uint64_t, 256>, 4> tables_{};  // 29 qubits fit four bytes
};

// A measurement or reset of `step.target`. Matrices that are not unitary may have left the state
// without weights to draw from; that is the caller's input at fault, refused like the sampler
// refuses such a state, not an engine failure.
std::uint32_t measure_or_refuse(Register& reg, const Step& step, ChaCha12Stream& stream) {
    const OutcomeWeights weights = outcome_weights(reg, step.target);
    const double total = weights.p0 + weights.p1;
    const char* what = step.kind == StepKind::measure ? "measured" : "reset";
    if (!std::isfinite(total)) {
        throw InvalidInput("cannot draw shots: the squared norm of the state is not finite when qubit " +
                           std::to_string(step.target) + " is " + what);
    }
    if (total == 0.0) {
        throw InvalidInput("cannot draw shots: every amplitude of the state is zero when qubit " +
                           std::to_string(step.target) + " is " + what);
    }
    return measure_with_weights(reg, step.target, weights, RandomSource(stream));
}

// The limit a shot's loops run under, and its count of iterations per loop.
struct LoopCounts {
    std::uint64_t limit;
    std::vector<std::uint64_t> counts;
};

LoopCounts make_loop_counts(std::size_t loops, std::uint64_t limit) {
    try {
        return LoopCounts{limit, std::vector<std::uint64_t>(loops)};
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(loops * sizeof(std::uint64_t));
    }
}

// Runs the middle of one shot on `reg` and returns the classical word it leaves. `offset` is
// the index of the middle's first step in the program, which jumps name their steps by.
std::uint64_t run_middle(Register& reg, std::span<const Step> middle, std::size_t offset,
                         std::span<const std::size_t> loop_ends, GateOrder order, LoopCounts& loops,
                         std::uint64_t shot, ChaCha12Stream& stream) {
    std::uint64_t clbits = 0;
    std::fill(loops.counts.begin(), loops.counts.end(), 0);
    std::size_t i = 0;
    while (i < middle.size()) {
        if (middle[i].kind == StepKind::gate) {
            std::size_t end = i;
            while (end < middle.size() && middle[end].kind == StepKind::gate) ++end;
            run_gate_steps(reg, middle.subspan(i, end - i), clbits, order);
            i = end;
            continue;
        }
        const Step& step = middle[i++];
        if (!step.runs_on(clbits)) continue;
        if (step.kind == StepKind::jump) {
            // split_program keeps every jump's target inside [offset, offset + middle.size()].
            const std::size_t to = static_cast<std::size_t>(step.jump_to) - offset;
            std::uint64_t& count = loops.counts[step.loop];
            if (to < i) {
                if (++count > loops.limit) {
                    throw InvalidInput("loop " + std::to_string(step.loop) + " ran past " +
                                       std::to_string(loops.limit) + " iterations in shot " + std::to_string(shot));
                }
            } else if (step.jump_to > loop_ends[step.loop]) {
                count = 0;
            }
            i = to;
            continue;
        }
        if (step.kind == StepKind::set) {
            clbits = write_clbit(clbits, step.clbit, step.value);
            continue;
        }
        const std::uint32_t outcome = measure_or_refuse(reg, step, stream);
        if (step.kind == StepKind::measure) {
            clbits = write_clbit(clbits, step.clbit, outcome);
        } else if (outcome == 1) {
            const std::uint32_t target = step.target;
            apply_gate(reg, pauli_x, std::span<const std::uint32_t>(&target, 1), {});
        }
    }
    return clbits;
}

// One shot on `reg`, which holds the shared state.
std::uint64_t run_shot(Register& reg, const ProgramParts& parts, const TailMap& tail, const StreamKey& key,
                       LoopCounts& loops, std::uint64_t shot) {
    ChaCha12Stream stream = substream(key, StreamPurpose::shot, shot);
    const std::uint64_t word =
        run_middle(reg, parts.middle, parts.shared.size(), parts.loop_ends, parts.order, loops, shot, stream);
    if (parts.tail.empty()) return word;
    StreamKey draw_key;
    for (std::size_t i = 0; i < draw_key.size(); i += 2) {
        const std::uint64_t bits = stream.next_u64();
        draw_key[i] = static_cast<std::uint32_t>(bits);
        draw_key[i + 1] = static_cast<std::uint32_t>(bits >> 32);
    }
    std::uint64_t outcome = 0;
    sample_outcomes(reg, std::span<std::uint64_t>(&outcome, 1), draw_key);
    return tail.word(word, outcome);
}

void copy_amplitudes(std::span<const Complex> from, Register& to) {
    to.state().locked([&](std::span<Complex> amplitudes) {
        parallel_for_ranges(0, amplitudes.size(), serial_grain(1), [&](std::uint64_t first, std::uint64_t last) {
            std::memcpy(amplitudes.data() + first, from.data() + first, (last - first) * sizeof(Complex));
        });
    });
}

// Small registers: shots side by side, each piece copying the shared state from a snapshot.
void run_shots_side_by_side(const Register& shared, const ProgramParts& parts, const TailMap& tail,
                            std::span<std::uint64_t> words, const StreamKey& key, std::uint64_t limit) {
    std::vector<Complex> snapshot;
    try {
        snapshot.resize(shared.size());
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(shared.size() * sizeof(Complex));
    }
    read_locked(shared, [&](std::span<const Complex> amplitudes) {
        std::copy(amplitudes.begin(), amplitudes.end(), snapshot.begin());
    });
    parallel_for_ranges(0, words.size(), shot_grain, [&](std::uint64_t first, std::uint64_t last) {
        Register reg = Register::create(shared.qubits());
        LoopCounts loops = make_loop_counts(parts.loop_ends.size(), limit);
        for (std::uint64_t shot = first; shot < last; ++shot) {
            copy_amplitudes(snapshot, reg);
            words[shot] = run_shot(reg, parts, tail, key, loops, shot);
        }
    });
}

// Large registers: one shot after another, each pass on the pool; the last shot runs on the
// shared register itself, so a single shot needs no second register.
void run_shots_in_turn(Register& shared, const ProgramParts& parts, const TailMap& tail,
                       std::span<std::uint64_t> words, const StreamKey& key, std::uint64_t limit) {
    const std::uint64_t last = words.size() - 1;
    LoopCounts loops = make_loop_counts(parts.loop_ends.size(), limit);
    if (last > 0) {
        Register reg = Register::create(shared.qubits());
        for (std::uint64_t shot = 0; shot < last; ++shot) {
            read_locked(shared, [&](std::span<const Complex> amplitudes) { copy_amplitudes(amplitudes, reg); });
            words[shot] = run_shot(reg, parts, tail, key, loops, shot);
        }
    }
    words[last] = run_shot(shared, parts, tail, key, loops, last);
}

}  // namespace

void run_trajectories(std::uint32_t qubits, std::span<const Step> steps, std::span<std::uint64_t> words,
                      const StreamKey& key, std::uint64_t max_loop_iterations, GateOrder order) {
    if (words.empty()) return;
    ProgramParts parts = split_program(steps);
    parts.order = order;
    if (parts.middle.empty() && parts.tail.empty()) {
        // Nothing is measured: every classical bit stays 0.
        std::fill(words.begin(), words.end(), 0);
        return;
    }
    EngineWork work;
    const TailMap tail(parts.tail, qubits);
    Register shared = Register::create(qubits);
    run_gate_steps(shared, parts.shared, 0, order);
    if (parts.middle.empty()) {
        sample_outcomes(shared, words, key);
        parallel_for_ranges(0, words.size(), serial_grain(1), [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t s = first; s < last; ++s) words[s] = tail.word(0, words[s]);
        });
        return;
    }
    // Up to serial_qubits a pass runs on one thread, so shots run side by side instead, each
    // piece of them on a register of its own.
    if (qubits <= serial_qubits) {
        run_shots_side_by_side(shared, parts, tail, words, key, max_loop_iterations);
    } else {
        run_shots_in_turn(shared, parts, tail, words, key, max_loop_iterations);
    }
}

}  // namespace korvel::circuit
