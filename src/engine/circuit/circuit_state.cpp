// The runner's own states: evolution by gate sequences and the readings of the final state.

#include "engine/circuit/circuit_state.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/circuit/engine_work.hpp"
#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/pauli_expectation.hpp"
#include "engine/circuit/state_access.hpp"
#include "engine/base/failure.hpp"
#include "engine/sequence/gate_sequence.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel::circuit {

void run_gate_steps(Register& reg, std::span<const Step> steps, std::uint64_t clbits, GateOrder order) {
    // Kept per thread: a trajectory runs a batch of gates between every two measurements.
    thread_local std::vector<SequenceGate> batch;
    batch.clear();
    try {
        batch.reserve(steps.size());
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(steps.size() * sizeof(SequenceGate));
    }
    for (const Step& step : steps) {
        if (step.runs_on(clbits)) batch.push_back(SequenceGate{step.gate, step.target, step.controls, step.wide.get()});
    }
    apply_gate_sequence(reg, batch, order);
}

std::unique_ptr<CircuitState> CircuitState::create(std::uint32_t qubits) {
    if (qubits >= max_qubits_exclusive) {
        throw InvalidInput("num_qubits must be between 0 and " + std::to_string(max_qubits_exclusive - 1) +
                           ", got " + std::to_string(qubits));
    }
    Register reg = Register::create(qubits);
    try {
        return std::unique_ptr<CircuitState>(new CircuitState(std::move(reg)));
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(sizeof(CircuitState));
    }
}

std::unique_ptr<CircuitState> CircuitState::from_amplitudes(std::span<const Complex> amplitudes) {
    const std::uint64_t length = amplitudes.size();
    if (!std::has_single_bit(length) || length > (std::uint64_t{1} << (max_qubits_exclusive - 1))) {
        throw InvalidInput("amplitudes must have a length of 2**n for n from 0 to " +
                           std::to_string(max_qubits_exclusive - 1) + ", got " + std::to_string(length));
    }
    std::unique_ptr<CircuitState> made = create(static_cast<std::uint32_t>(std::countr_zero(length)));
    EngineWork work;
    // The lowest index of a non-finite entry, found in the same pass as the copy.
    std::atomic<std::uint64_t> first_bad{length};
    made->reg_.state().locked([&](std::span<Complex> out) {
        parallel_for_ranges(0, length, serial_grain(1), [&](std::uint64_t first, std::uint64_t last) {
            std::memcpy(out.data() + first, amplitudes.data() + first, (last - first) * sizeof(Complex));
            for (std::uint64_t k = first; k < last; ++k) {
                if (!std::isfinite(out[k].real) || !std::isfinite(out[k].imag)) {
                    std::uint64_t seen = first_bad.load();
                    while (k < seen && !first_bad.compare_exchange_weak(seen, k)) {
                    }
                    break;
                }
            }
        });
    });
    const std::uint64_t bad = first_bad.load();
    if (bad != length) throw InvalidInput("amplitudes[" + std::to_string(bad) + "] is not finite");
    return made;
}

void CircuitState::run(std::span<const Step> steps, GateOrder order) {
    EngineWork work;
    std::lock_guard lock(mutex_);
    run_gate_steps(reg_, steps, 0, order);
}

void CircuitState::probabilities(std::span<double> out) const {
    EngineWork work;
    std::lock_guard lock(mutex_);
    read_locked(reg_, [&](std::span<const Complex> amplitudes) {
        parallel_for_ranges(0, amplitudes.size(), serial_grain(1), [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t k = first; k < last; ++k) out[k] = norm_sqr(amplitudes[k]);
        });
    });
}

void CircuitState::amplitudes(std::span<Complex> out) const {
    EngineWork work;
    std::lock_guard lock(mutex_);
    read_locked(reg_, [&](std::span<const Complex> amplitudes) {
        parallel_for_ranges(0, amplitudes.size(), serial_grain(1), [&](std::uint64_t first, std::uint64_t last) {
            std::memcpy(out.data() + first, amplitudes.data() + first, (last - first) * sizeof(Complex));
        });
    });
}

void CircuitState::sample(std::span<std::uint64_t> out, const StreamKey& key) const {
    EngineWork work;
    {
        std::lock_guard lock(mutex_);
        draw_outcomes_in_order(reg_, out, key);
    }
    // The shuffle needs no state: other callers may use it meanwhile.
    shuffle_outcomes(out, key);
}

OutcomeCounts CircuitState::sample_counts(std::uint64_t shots, const StreamKey& key) const {
    EngineWork work;
    std::lock_guard lock(mutex_);
    return circuit::sample_counts(reg_, shots, key);
}

void CircuitState::expectation_values(std::span<const std::uint64_t> x_masks,
                                      std::span<const std::uint64_t> z_masks, std::span<double> out) const {
    EngineWork work;
    std::lock_guard lock(mutex_);
    pauli_expectations(reg_, x_masks, z_masks, out);
}

}  // namespace korvel::circuit
