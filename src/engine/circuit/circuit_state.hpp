#pragma once

// A state the runner owns: a register that callers on any thread evolve and read, one operation
// at a time, each operation whole (a run of many gates is never interleaved with a reading).

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "engine/circuit/program.hpp"
#include "engine/circuit/sampler.hpp"
#include "engine/circuit/streams.hpp"
#include "engine/base/complex.hpp"
#include "engine/sequence/sequence_plan.hpp"
#include "engine/state/register.hpp"

namespace korvel::circuit {

// Applies the gate steps whose condition holds for `clbits` (all of them must be gate steps),
// as one gate sequence. Fused programs take GateOrder::disjoint (see fusion.hpp).
void run_gate_steps(Register& reg, std::span<const Step> steps, std::uint64_t clbits,
                    GateOrder order = GateOrder::exact);

class CircuitState {
public:
    // |0…0> on `qubits` qubits, 0 to 29 (InvalidInput otherwise, before allocating);
    // AllocationFailure when the amplitudes cannot be had.
    static std::unique_ptr<CircuitState> create(std::uint32_t qubits);

    // A copy of `amplitudes`, whose length must be 2^n for n from 0 to 29 and whose entries
    // must be finite (InvalidInput otherwise, naming the first entry at fault). They are not
    // normalised: the state is what the caller gave.
    static std::unique_ptr<CircuitState> from_amplitudes(std::span<const Complex> amplitudes);

    std::uint32_t qubits() const noexcept { return reg_.qubits(); }
    std::uint64_t size() const noexcept { return reg_.size(); }

    // Unconditional gate steps, validated for this many qubits.
    void run(std::span<const Step> steps, GateOrder order = GateOrder::exact);

    // Each output has size() elements.
    void probabilities(std::span<double> out) const;
    void amplitudes(std::span<Complex> out) const;

    void sample(std::span<std::uint64_t> out, const StreamKey& key) const;
    OutcomeCounts sample_counts(std::uint64_t shots, const StreamKey& key) const;
    void expectation_values(std::span<const std::uint64_t> x_masks, std::span<const std::uint64_t> z_masks,
                            std::span<double> out) const;

private:
    explicit CircuitState(Register reg) : reg_(std::move(reg)) {}

    mutable std::mutex mutex_;
    Register reg_;
};

// Full trajectories: words[s] is the classical word after shot s (bit c = classical bit c).
// The steps are validated for `qubits` qubits; every shot starts from |0…0> with all classical
// bits 0. Shot s draws from its own stream, so the words depend on the key alone. A shot that
// takes the backward jumps of one loop more than `max_loop_iterations` times in a row stops
// the run with InvalidInput("loop L ran past N iterations ...").
void run_trajectories(std::uint32_t qubits, std::span<const Step> steps, std::span<std::uint64_t> words,
                      const StreamKey& key, std::uint64_t max_loop_iterations = default_max_loop_iterations,
                      GateOrder order = GateOrder::exact);

}  // namespace korvel::circuit
