#include "engine/readout/measurement.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "engine/sequence/apply_gate.hpp"
#include "engine/base/failure.hpp"
#include "engine/base/prefetch.hpp"
#include "engine/gates/gate.hpp"
#include "engine/base/messages.hpp"
#include "engine/kernels/subset_indices.hpp"
#include "engine/readout/weighted_draw.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel {

namespace {

// A target outside the register is refused before anything is read or drawn, with the message
// a summing pass over such a target would have met first: the pair (0, 2^(t mod 32)) lies
// outside the amplitudes, unless t mod 32 names an existing qubit, which only the collapse's
// own target test would then refuse.
void refuse_outside_target(std::uint32_t qubits, std::uint32_t target) {
    if (target < qubits) return;
    const std::uint32_t wrapped = target % 32;
    if (target >= 32 && wrapped < qubits) fail(messages::target_outside_range);
    const std::uint64_t length = std::uint64_t{1} << qubits;
    const std::uint64_t index = std::uint64_t{1} << wrapped;
    fail(messages::index_out_of_bounds(length, index));
}

// A sum in order is one chain of dependent additions, which keeps few loads in flight; the
// hardware prefetcher alone left these read-only passes slower than a gate pass. The line 1 KiB
// ahead is asked for explicitly, as in the gate kernels.
inline void prefetch_ahead(const Complex* p) { prefetch<PrefetchFor::read>(p, 1024); }

}  // namespace

// Each piece sums its pairs in ascending order, and the split depends only on the range (a
// deterministic reduction), so the two sums come out the same on every run.
OutcomeWeights outcome_weights(const Register& reg, std::uint32_t target) {
    const std::uint64_t target_bit = std::uint64_t{1} << target;
    const SubsetIndices pairs(reg.qubits(), target_bit, 0);
    return reg.state().locked_read([&](std::span<const Complex> amplitudes) {
        const Complex* data = amplitudes.data();
        return parallel_reduce_ranges(
            0, pairs.count(), serial_grain(2), OutcomeWeights{},  // a pair reads two amplitudes
            [&](std::uint64_t first, std::uint64_t last, OutcomeWeights sums) {
                std::uint64_t i0 = pairs.at(first);
                for (std::uint64_t q = first; q < last; ++q, i0 = pairs.next(i0)) {
                    prefetch_ahead(data + i0);
                    prefetch_ahead(data + (i0 | target_bit));
                    sums.p0 += norm_sqr(data[i0]);
                    sums.p1 += norm_sqr(data[i0 | target_bit]);
                }
                return sums;
            },
            [](OutcomeWeights left, OutcomeWeights right) {
                return OutcomeWeights{left.p0 + right.p0, left.p1 + right.p1};
            });
    });
}

namespace {

QGate collapse_matrix(std::uint32_t outcome, const OutcomeWeights& weights) {
    constexpr Complex zero{0.0, 0.0};
    if (outcome == 0) return QGate::from_entries({1.0 / std::sqrt(weights.p0), 0.0}, zero, zero, zero);
    return QGate::from_entries(zero, zero, zero, {1.0 / std::sqrt(weights.p1), 0.0});
}

}  // namespace

std::uint32_t measure(Register& reg, std::uint32_t target, RandomSource random) {
    refuse_outside_target(reg.qubits(), target);
    return measure_with_weights(reg, target, outcome_weights(reg, target), random);
}

std::uint32_t measure_with_weights(Register& reg, std::uint32_t target, const OutcomeWeights& weights,
                                   RandomSource random) {
    const std::array<double, 2> draw_weights{weights.p0, weights.p1};
    const auto outcome = static_cast<std::uint32_t>(weighted_draw(draw_weights, random));
    const std::array<std::uint32_t, 1> targets{target};
    apply_gate(reg, collapse_matrix(outcome, weights), targets, {});
    return outcome;
}

std::uint32_t measure(Register& reg, std::uint32_t target) {
    return measure(reg, target, thread_random_u64);
}

namespace {

// measure_all sums the weights chunk by chunk (see draw_chunk_bits).
constexpr std::uint64_t draw_chunk = std::uint64_t{1} << draw_chunk_bits;

std::vector<double> chunk_sum_storage(std::uint64_t amplitude_count) {
    const std::uint64_t chunks = (amplitude_count + draw_chunk - 1) / draw_chunk;
    try {
        return std::vector<double>(chunks);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(chunks * sizeof(double));
    }
}

// Fills `sums` and returns their total, summed in chunk order.
double sum_chunks(std::span<const Complex> amplitudes, std::vector<double>& sums) {
    const Complex* data = amplitudes.data();
    const std::uint64_t count = amplitudes.size();
    parallel_for_ranges(0, sums.size(), 1, [&](std::uint64_t first, std::uint64_t last) {
        for (std::uint64_t chunk = first; chunk < last; ++chunk) {
            const std::uint64_t end = std::min(count, (chunk + 1) * draw_chunk);
            double sum = 0.0;
            for (std::uint64_t i = chunk * draw_chunk; i < end; ++i) {
                prefetch_ahead(data + i);
                sum += norm_sqr(data[i]);
            }
            sums[chunk] = sum;
        }
    });
    double total = 0.0;
    for (const double sum : sums) total += sum;
    return total;
}

// The nonzero weight nearest to `index`: itself, else the next one after it, else the last one
// before it. A total above zero guarantees there is one.
std::uint64_t nearest_nonzero(std::span<const Complex> amplitudes, std::uint64_t index) {
    for (std::uint64_t i = index; i < amplitudes.size(); ++i) {
        if (norm_sqr(amplitudes[i]) > 0.0) return i;
    }
    for (std::uint64_t i = index; i-- > 0;) {
        if (norm_sqr(amplitudes[i]) > 0.0) return i;
    }
    return index;
}

// The first index whose running sum exceeds x. The running sum is carried over whole chunks by
// their sums, then element by element inside the chunk that crosses x. A weight of zero leaves
// the running sum as it was, so it is never the first to exceed x; only the difference between
// a chunk's sum and its elements summed on top of the carried total can run past the chunk's
// end, and then the nearest nonzero weight is taken.
std::uint64_t find_drawn_index(std::span<const Complex> amplitudes,
                               const std::vector<double>& sums, double x) {
    double running = 0.0;
    std::uint64_t chunk = 0;
    for (; chunk < sums.size(); ++chunk) {
        const double after = running + sums[chunk];
        if (after > x) break;
        running = after;
    }
    if (chunk == sums.size()) return nearest_nonzero(amplitudes, amplitudes.size() - 1);
    const std::uint64_t begin = chunk * draw_chunk;
    const std::uint64_t end = std::min<std::uint64_t>(amplitudes.size(), begin + draw_chunk);
    for (std::uint64_t i = begin; i < end; ++i) {
        running += norm_sqr(amplitudes[i]);
        if (running > x) return i;
    }
    return nearest_nonzero(amplitudes, end - 1);
}

}  // namespace

std::uint32_t measure_all(const Register& reg, RandomSource random) {
    std::vector<double> sums = chunk_sum_storage(reg.size());
    const double total = reg.state().locked_read(
        [&](std::span<const Complex> amplitudes) { return sum_chunks(amplitudes, sums); });
    // Weights are squared magnitudes, never negative: the total is NaN exactly when a weight is.
    if (std::isnan(total)) fail_unwrap(messages::invalid_weight);
    if (total == 0.0) fail_unwrap(messages::all_weights_zero);
    const double scale = uniform_scale(total);
    // Drawn outside the lock: a failing entropy source must not poison the register.
    const double x = unit_from_bits(random()) * scale;
    return reg.state().locked_read([&](std::span<const Complex> amplitudes) {
        return static_cast<std::uint32_t>(find_drawn_index(amplitudes, sums, x));
    });
}

std::uint32_t measure_all(const Register& reg) { return measure_all(reg, thread_random_u64); }

}  // namespace korvel
