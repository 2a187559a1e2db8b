// Shot sampling from a final state: chunk sums, a binomial split over chunks, then the draws
// inside each chunk (see sampler.hpp).

#include "engine/circuit/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/state_access.hpp"
#include "engine/failure.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/weighted_draw.hpp"

namespace korvel::circuit {

namespace {

constexpr std::uint64_t chunk_size = std::uint64_t{1} << sample_chunk_bits;

// A chunk with more than this many shots per amplitude places them by one binomial per amplitude
// (cost per amplitude) instead of sorting uniforms (cost per shot).
constexpr std::uint64_t binomial_shots_per_amplitude = 2;

template <class T>
void resize_or_fail(std::vector<T>& values, std::size_t count) {
    try {
        values.resize(count);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(count * sizeof(T));
    }
}

template <class T>
std::vector<T> allocate(std::size_t count) {
    std::vector<T> values;
    resize_or_fail(values, count);
    return values;
}

// Prefetching 1 KiB ahead, as in the engine's other read-only passes: the sums are one chain of
// dependent additions that keeps few loads in flight.
inline void prefetch_ahead(const Complex* p) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + 1024), 0, 3);
}

// Chunk c covers amplitudes [c·chunk_size, min((c+1)·chunk_size, size)).
std::uint64_t chunk_count(std::uint64_t amplitudes) { return (amplitudes + chunk_size - 1) / chunk_size; }

// The sum of the chunk's weights in index order. The draws inside a chunk repeat exactly these
// additions, so their running sum ends on this value to the last bit.
double chunk_weight(std::span<const Complex> chunk) {
    double sum = 0.0;
    for (const Complex& amplitude : chunk) {
        prefetch_ahead(&amplitude);
        sum += norm_sqr(amplitude);
    }
    return sum;
}

std::uint64_t chunk_length(std::uint64_t amplitudes, std::uint64_t c) {
    return std::min(chunk_size, amplitudes - c * chunk_size);
}

std::span<const Complex> chunk_of(std::span<const Complex> amplitudes, std::uint64_t c) {
    return amplitudes.subspan(c * chunk_size, chunk_length(amplitudes.size(), c));
}

struct ChunkPlan {
    std::vector<double> weights;         // per chunk
    std::vector<std::uint64_t> shots;    // per chunk
    std::vector<std::uint64_t> busy;     // the chunks with shots, ascending
};

// The first pass and the split of the shots over the chunks.
ChunkPlan plan_chunks(const Register& reg, std::uint64_t shots, const StreamKey& key) {
    const std::uint64_t chunks = chunk_count(reg.size());
    ChunkPlan plan;
    plan.weights = allocate<double>(chunks);
    plan.shots = allocate<std::uint64_t>(chunks);
    std::vector<double> from_here = allocate<double>(chunks + 1);
    read_locked(reg, [&](std::span<const Complex> amplitudes) {
        parallel_for_ranges(0, chunks, 1, [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t c = first; c < last; ++c) plan.weights[c] = chunk_weight(chunk_of(amplitudes, c));
        });
    });
    // The weight of chunks c and after. At the last chunk of non-zero weight it is that chunk's
    // own weight exactly, so its share below is 1 and every remaining shot lands there.
    from_here[chunks] = 0.0;
    for (std::uint64_t c = chunks; c-- > 0;) from_here[c] = plan.weights[c] + from_here[c + 1];
    const double total = from_here[0];
    // Weights are never negative: the total is NaN or infinite exactly when the state is unusable.
    if (!std::isfinite(total)) {
        throw InvalidInput("cannot draw shots: the squared norm of the state is not finite");
    }
    if (total == 0.0) throw InvalidInput("cannot draw shots: every amplitude of the state is zero");

    ChaCha12Stream stream = substream(key, StreamPurpose::chunk_split, 0);
    std::uint64_t remaining = shots;
    std::uint64_t busy = 0;
    for (std::uint64_t c = 0; c < chunks && remaining > 0; ++c) {
        if (plan.weights[c] == 0.0) continue;
        const std::uint64_t drawn = binomial(stream, remaining, plan.weights[c] / from_here[c]);
        plan.shots[c] = drawn;
        remaining -= drawn;
        busy += drawn > 0 ? 1 : 0;
    }
    resize_or_fail(plan.busy, busy);
    for (std::uint64_t c = 0, b = 0; c < chunks; ++c) {
        if (plan.shots[c] > 0) plan.busy[b++] = c;
    }
    return plan;
}

// Per-thread scratch of the second pass, kept between calls (at most a few hundred KiB).
thread_local std::vector<double> weight_after_scratch;
thread_local std::vector<std::uint64_t> uniform_scratch;

// Places `shots` (at least 1) draws among the chunk's amplitudes, calling emit(offset, count)
// with ascending offsets, each of non-zero weight, counts summing to `shots`.
template <class Emit>
void draw_in_chunk(std::span<const Complex> chunk, double chunk_sum, std::uint64_t shots,
                   ChaCha12Stream& stream, Emit&& emit) {
    const std::uint64_t size = chunk.size();
    if (shots > binomial_shots_per_amplitude * size) {
        // Conditional binomials: amplitude i takes Binomial(remaining, w_i / (w_i + w_{i+1} + …)).
        resize_or_fail(weight_after_scratch, size + 1);
        double* from_here = weight_after_scratch.data();
        from_here[size] = 0.0;
        for (std::uint64_t i = size; i-- > 0;) from_here[i] = norm_sqr(chunk[i]) + from_here[i + 1];
        std::uint64_t remaining = shots;
        for (std::uint64_t i = 0; i < size && remaining > 0; ++i) {
            const double weight = norm_sqr(chunk[i]);
            if (weight == 0.0) continue;
            const std::uint64_t drawn = binomial(stream, remaining, weight / from_here[i]);
            if (drawn > 0) emit(i, drawn);
            remaining -= drawn;
        }
        return;
    }
    // Sorted uniforms x = U × S in [0, chunk_sum), merged with the running sum: a draw lands on
    // the first amplitude whose running sum exceeds it, which has a non-zero weight.
    resize_or_fail(uniform_scratch, shots);
    std::uint64_t* uniforms = uniform_scratch.data();
    for (std::uint64_t j = 0; j < shots; ++j) uniforms[j] = stream.next_u64() >> 12;
    std::sort(uniforms, uniforms + shots);
    const double scale = uniform_scale(chunk_sum);
    double running = 0.0;
    std::uint64_t next = 0;
    std::uint64_t last_nonzero = 0;
    for (std::uint64_t i = 0; i < size && next < shots; ++i) {
        const double weight = norm_sqr(chunk[i]);
        if (weight == 0.0) continue;
        running += weight;
        last_nonzero = i;
        std::uint64_t count = 0;
        while (next + count < shots && static_cast<double>(uniforms[next + count]) * 0x1p-52 * scale < running) {
            ++count;
        }
        if (count > 0) emit(i, count);
        next += count;
    }
    // The running sum ends on chunk_sum, above every draw; this only guards that promise.
    if (next < shots) emit(last_nonzero, shots - next);
}

// The second pass: fn(chunk index, amplitudes of the chunk, its shots, its stream) for every
// busy chunk, in parallel.
template <class PerChunk>
void for_busy_chunks(const Register& reg, const ChunkPlan& plan, const StreamKey& key, PerChunk&& per_chunk) {
    read_locked(reg, [&](std::span<const Complex> amplitudes) {
        parallel_for_ranges(0, plan.busy.size(), 1, [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t b = first; b < last; ++b) {
                const std::uint64_t c = plan.busy[b];
                ChaCha12Stream stream = substream(key, StreamPurpose::chunk_draws, c);
                per_chunk(b, c, chunk_of(amplitudes, c), stream);
            }
        });
    });
}

}  // namespace

void sample_outcomes(const Register& reg, std::span<std::uint64_t> out, const StreamKey& key) {
    if (out.empty()) return;
    const ChunkPlan plan = plan_chunks(reg, out.size(), key);
    // Chunk b's draws go to out[start[b] …), in index order before the shuffle.
    std::vector<std::uint64_t> start = allocate<std::uint64_t>(plan.busy.size());
    for (std::uint64_t b = 0, at = 0; b < plan.busy.size(); ++b) {
        start[b] = at;
        at += plan.shots[plan.busy[b]];
    }
    for_busy_chunks(reg, plan, key, [&](std::uint64_t b, std::uint64_t c, std::span<const Complex> chunk,
                                        ChaCha12Stream& stream) {
        std::uint64_t* cursor = out.data() + start[b];
        const std::uint64_t base = c * chunk_size;
        draw_in_chunk(chunk, plan.weights[c], plan.shots[c], stream, [&](std::uint64_t i, std::uint64_t count) {
            cursor = std::fill_n(cursor, count, base + i);
        });
    });
    // Fisher-Yates: every order of the shots equally likely.
    ChaCha12Stream stream = substream(key, StreamPurpose::shuffle, 0);
    for (std::uint64_t i = out.size() - 1; i > 0; --i) {
        std::swap(out[i], out[uniform_below(stream, i + 1)]);
    }
}

OutcomeCounts sample_counts(const Register& reg, std::uint64_t shots, const StreamKey& key) {
    if (shots == 0) return {};
    const ChunkPlan plan = plan_chunks(reg, shots, key);
    // Chunk b's outcomes go to [start[b] …), at most min(shots, amplitudes) of them; the gaps are
    // closed afterwards.
    std::vector<std::uint64_t> start = allocate<std::uint64_t>(plan.busy.size() + 1);
    std::vector<std::uint64_t> filled = allocate<std::uint64_t>(plan.busy.size());
    for (std::uint64_t b = 0; b < plan.busy.size(); ++b) {
        const std::uint64_t c = plan.busy[b];
        start[b + 1] = start[b] + std::min<std::uint64_t>(plan.shots[c], chunk_length(reg.size(), c));
    }
    OutcomeCounts result;
    result.outcomes = allocate<std::uint64_t>(start.back());
    result.counts = allocate<std::uint64_t>(start.back());
    for_busy_chunks(reg, plan, key, [&](std::uint64_t b, std::uint64_t c, std::span<const Complex> chunk,
                                        ChaCha12Stream& stream) {
        std::uint64_t at = start[b];
        const std::uint64_t base = c * chunk_size;
        draw_in_chunk(chunk, plan.weights[c], plan.shots[c], stream, [&](std::uint64_t i, std::uint64_t count) {
            result.outcomes[at] = base + i;
            result.counts[at] = count;
            ++at;
        });
        filled[b] = at - start[b];
    });
    std::uint64_t kept = 0;
    for (std::uint64_t b = 0; b < plan.busy.size(); ++b) {
        std::copy_n(result.outcomes.begin() + start[b], filled[b], result.outcomes.begin() + kept);
        std::copy_n(result.counts.begin() + start[b], filled[b], result.counts.begin() + kept);
        kept += filled[b];
    }
    result.outcomes.resize(kept);
    result.counts.resize(kept);
    return result;
}

}  // namespace korvel::circuit
