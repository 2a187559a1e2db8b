// Shot sampling from a final state: chunk sums, a binomial split over chunks, then the draws
// inside each chunk (see sampler.hpp).

#include "engine/circuit/sampler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <utility>

#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/state_access.hpp"
#include "engine/base/failure.hpp"
#include "engine/base/prefetch.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/readout/weighted_draw.hpp"

namespace korvel::circuit {

namespace {

// Chunks of the weighted draws of measure_all (see draw_chunk_bits).
constexpr std::uint64_t chunk_size = std::uint64_t{1} << draw_chunk_bits;

// A chunk with more than this many shots per amplitude places them by one binomial per amplitude
// (cost per amplitude) instead of sorting uniforms (cost per shot). Measured with one thread at
// 16 qubits: sorted uniforms take about 13 ns per shot, binomials 26 ns per amplitude, and at
// 1.9 and 2.1 shots per amplitude the two took 1.68 and 1.72 ms.
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

// A prefetch `ahead` amplitudes further on.
inline void prefetch_group_ahead(const Complex* p, std::uint64_t ahead) {
    prefetch<PrefetchFor::read>(p, ahead * sizeof(Complex));
}

// Chunk c covers amplitudes [c·chunk_size, min((c+1)·chunk_size, size)).
std::uint64_t chunk_count(std::uint64_t amplitudes) { return (amplitudes + chunk_size - 1) / chunk_size; }

std::uint64_t chunk_length(std::uint64_t amplitudes, std::uint64_t c) {
    return std::min(chunk_size, amplitudes - c * chunk_size);
}

std::span<const Complex> chunk_of(std::span<const Complex> amplitudes, std::uint64_t c) {
    return amplitudes.subspan(c * chunk_size, chunk_length(amplitudes.size(), c));
}

// A chunk's weight is summed in two levels: each run of `run_size` amplitudes in index order,
// then the runs' sums in order, and the draws repeat exactly these additions. Four runs are
// summed side by side, each stream's next lines asked for ahead. Measured with one thread over
// 2^24 amplitudes on a loaded machine: one chain per chunk 18.5 ms, four runs 17 ms, eight runs
// 20 ms (eight streams 1 KiB apart defeat the hardware prefetcher), a gate pass 17 ms. In cache,
// per 2^24 amplitudes: one chain 9.0 ms, four runs of 64 5.9 ms, eight of 16 6.2 ms, eight of 8
// 7.0 ms (the shorter the runs, the longer the chain over their sums).
constexpr std::uint64_t run_size = 64;
constexpr std::uint64_t runs_per_chunk = chunk_size / run_size;
constexpr std::uint64_t runs_side_by_side = 4;

// Fills sums[r] with the sum of run r of the chunk (the last run may be shorter) and returns the
// chunk's weight, the runs' sums added in order.
double run_sums(std::span<const Complex> chunk, double* sums) {
    const std::uint64_t runs = (chunk.size() + run_size - 1) / run_size;
    const Complex* data = chunk.data();
    std::uint64_t r = 0;
    if (chunk.size() == runs * run_size) {
        constexpr std::uint64_t group = runs_side_by_side * run_size;
        for (; r + runs_side_by_side <= runs; r += runs_side_by_side) {
            double s[runs_side_by_side] = {};
            const Complex* p = data + r * run_size;
            for (std::uint64_t i = 0; i < run_size; i += 4) {
                // A cache line holds four amplitudes: ask for each stream's line one group ahead.
                for (std::uint64_t k = 0; k < runs_side_by_side; ++k) prefetch_group_ahead(p + k * run_size + i, group);
                for (std::uint64_t j = i; j < i + 4; ++j) {
                    for (std::uint64_t k = 0; k < runs_side_by_side; ++k) s[k] += norm_sqr(p[k * run_size + j]);
                }
            }
            for (std::uint64_t k = 0; k < runs_side_by_side; ++k) sums[r + k] = s[k];
        }
    }
    for (; r < runs; ++r) {
        double sum = 0.0;
        const std::uint64_t end = std::min(chunk.size(), (r + 1) * run_size);
        for (std::uint64_t i = r * run_size; i < end; ++i) sum += norm_sqr(data[i]);
        sums[r] = sum;
    }
    double weight = 0.0;
    for (std::uint64_t q = 0; q < runs; ++q) weight += sums[q];
    return weight;
}

double chunk_weight(std::span<const Complex> chunk) {
    double sums[runs_per_chunk];
    return run_sums(chunk, sums);
}

// Binomial(remaining, weight / total) for total = weight + rest as summed. The larger share is
// drawn as what the smaller one leaves, so a small share keeps its precision when the other
// rounds to 1; with nothing after (rest = 0) every remaining shot lands here.
std::uint64_t conditional_binomial(ChaCha12Stream& stream, std::uint64_t remaining, double weight, double rest,
                                   double total) {
    if (weight <= rest) return binomial(stream, remaining, weight / total);
    return remaining - binomial(stream, remaining, rest / total);
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
    // The weight of chunks c and after; after the last chunk of non-zero weight it is 0, so that
    // chunk takes every remaining shot.
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
        const std::uint64_t drawn =
            conditional_binomial(stream, remaining, plan.weights[c], from_here[c + 1], from_here[c]);
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

// Per-thread scratch of the second pass, kept between calls (a few hundred KiB at most).
thread_local std::vector<double> weight_after_scratch;
thread_local std::vector<std::uint64_t> uniform_scratch;
thread_local std::vector<std::uint64_t> sorted_scratch;
thread_local std::vector<std::uint32_t> bucket_scratch;

// Sorts 52-bit uniform integers: a counting sort on their top bits into about one bucket per
// value, then an insertion sort, which finds them nearly in order (linear time on average,
// against n log n for a comparison sort, which dominated the second pass).
std::uint64_t* sort_uniforms(std::uint64_t* values, std::uint64_t count) {
    const int bucket_bits = std::min(16, std::max(1, static_cast<int>(std::bit_width(count))));
    const std::uint64_t buckets = std::uint64_t{1} << bucket_bits;
    const int shift = 52 - bucket_bits;
    resize_or_fail(bucket_scratch, buckets + 1);
    resize_or_fail(sorted_scratch, count);
    std::uint32_t* starts = bucket_scratch.data();
    std::fill_n(starts, buckets + 1, 0);
    for (std::uint64_t j = 0; j < count; ++j) ++starts[(values[j] >> shift) + 1];
    for (std::uint64_t b = 0; b < buckets; ++b) starts[b + 1] += starts[b];
    std::uint64_t* sorted = sorted_scratch.data();
    for (std::uint64_t j = 0; j < count; ++j) sorted[starts[values[j] >> shift]++] = values[j];
    for (std::uint64_t j = 1; j < count; ++j) {
        const std::uint64_t value = sorted[j];
        std::uint64_t at = j;
        for (; at > 0 && sorted[at - 1] > value; --at) sorted[at] = sorted[at - 1];
        sorted[at] = value;
    }
    return sorted;
}

// Places `shots` (at least 1) draws among the chunk's amplitudes, calling emit(offset, count)
// with ascending offsets, each of non-zero weight, counts summing to `shots`.
template <class Emit>
void draw_in_chunk(std::span<const Complex> chunk, double chunk_sum, std::uint64_t shots,
                   ChaCha12Stream& stream, Emit&& emit) {
    const std::uint64_t size = chunk.size();
    if (shots > binomial_shots_per_amplitude * size) {
        // Conditional binomials: amplitude i takes Binomial(remaining, w_i / (w_i + w_{i+1} + …)),
        // and the last amplitude of non-zero weight whatever remains.
        resize_or_fail(weight_after_scratch, size + 1);
        double* from_here = weight_after_scratch.data();
        from_here[size] = 0.0;
        for (std::uint64_t i = size; i-- > 0;) from_here[i] = norm_sqr(chunk[i]) + from_here[i + 1];
        std::uint64_t remaining = shots;
        for (std::uint64_t i = 0; i < size && remaining > 0; ++i) {
            const double weight = norm_sqr(chunk[i]);
            if (weight == 0.0) continue;
            const std::uint64_t drawn = conditional_binomial(stream, remaining, weight, from_here[i + 1], from_here[i]);
            if (drawn > 0) emit(i, drawn);
            remaining -= drawn;
        }
        return;
    }
    // Sorted uniforms x = U × S in [0, chunk_sum), merged with the running sum C: a draw lands on
    // the first amplitude whose C exceeds it. C at amplitude i of run r is (sum of the runs
    // before r) + (run r's own running sum up to i); it steps only at amplitudes of non-zero
    // weight, and at the end of each run it equals the sum of the runs so far, ending on
    // chunk_sum, above every draw. Runs below the next draw are passed by their sums alone.
    resize_or_fail(uniform_scratch, shots);
    std::uint64_t* raw = uniform_scratch.data();
    for (std::uint64_t j = 0; j < shots; ++j) raw[j] = stream.next_u64() >> 12;
    const std::uint64_t* uniforms = sort_uniforms(raw, shots);
    const double scale = uniform_scale(chunk_sum);
    const auto draw = [&](std::uint64_t j) { return static_cast<double>(uniforms[j]) * 0x1p-52 * scale; };

    double sums[runs_per_chunk];
    (void)run_sums(chunk, sums);
    const std::uint64_t runs = (size + run_size - 1) / run_size;
    double before = 0.0;
    std::uint64_t next = 0;
    double next_draw = draw(0);
    for (std::uint64_t r = 0; r < runs && next < shots; ++r) {
        const double after = before + sums[r];
        if (next_draw < after) {
            double running = 0.0;
            const std::uint64_t end = std::min(size, (r + 1) * run_size);
            for (std::uint64_t i = r * run_size; i < end && next < shots; ++i) {
                const double weight = norm_sqr(chunk[i]);
                if (weight == 0.0) continue;
                running += weight;
                const double reached = before + running;
                std::uint64_t count = 0;
                while (next_draw < reached) {
                    ++count;
                    if (++next == shots) break;
                    next_draw = draw(next);
                }
                if (count > 0) emit(i, count);
            }
        }
        before = after;
    }
    // C ends on chunk_sum, above every draw, so none can be left over.
    if (next < shots) fail("sampler: draws left beyond the cumulative weight of a chunk");
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

void draw_outcomes_in_order(const Register& reg, std::span<std::uint64_t> out, const StreamKey& key) {
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
}

namespace {

// Uniform draws below bounds that fit 32 bits, two from each 64-bit value of the stream (the
// shuffle's random values were a third of its time, measured at 10^6 shots).
class SmallBounds {
public:
    explicit SmallBounds(ChaCha12Stream& stream) : stream_(stream) {}

    // Uniform in [0, bound) for 0 < bound <= 2^32, by multiply-and-reject.
    std::uint64_t below(std::uint64_t bound) {
        std::uint64_t product = next_word() * bound;
        if (static_cast<std::uint32_t>(product) < bound) {
            const std::uint32_t threshold = static_cast<std::uint32_t>((std::uint64_t{1} << 32) % bound);
            while (static_cast<std::uint32_t>(product) < threshold) product = next_word() * bound;
        }
        return product >> 32;
    }

private:
    std::uint64_t next_word() {
        if (spare_) {
            spare_ = false;
            return held_ >> 32;
        }
        held_ = stream_.next_u64();
        spare_ = true;
        return held_ & 0xffffffff;
    }

    ChaCha12Stream& stream_;
    std::uint64_t held_ = 0;
    bool spare_ = false;
};

}  // namespace

void shuffle_outcomes(std::span<std::uint64_t> out, const StreamKey& key) {
    if (out.size() < 2) return;
    // Fisher-Yates: every order of the shots equally likely. The partners of the next positions
    // depend only on the stream, so they are drawn a batch ahead and their lines asked for
    // before the swaps: the scattered reads then overlap instead of waiting one by one
    // (measured at 10^6 shots, the swaps' cache misses were most of the shuffle's time).
    // Enough partners ahead to keep more misses in flight than a core has fill buffers (10 to 12).
    constexpr std::uint64_t batch = 32;
    ChaCha12Stream stream = substream(key, StreamPurpose::shuffle, 0);
    SmallBounds small(stream);
    std::uint64_t partner[batch];
    std::uint64_t i = out.size() - 1;
    while (i > 0) {
        const std::uint64_t count = std::min(batch, i);
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::uint64_t bound = i - k + 1;
            partner[k] = bound <= (std::uint64_t{1} << 32) ? small.below(bound) : uniform_below(stream, bound);
            prefetch<PrefetchFor::write>(out.data() + partner[k]);
        }
        for (std::uint64_t k = 0; k < count; ++k) std::swap(out[i - k], out[partner[k]]);
        i -= count;
    }
}

void sample_outcomes(const Register& reg, std::span<std::uint64_t> out, const StreamKey& key) {
    draw_outcomes_in_order(reg, out, key);
    shuffle_outcomes(out, key);
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
