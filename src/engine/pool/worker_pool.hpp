#pragma once

// The process-wide worker pool the passes run on: its size, and the split of a pass into pieces.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>

#include "engine/pool/pool_thread.hpp"

namespace korvel {

// The number of threads (the caller included) the pool runs passes on: RAYON_NUM_THREADS when
// it holds a positive decimal integer (0 means the processor count), else RAYON_RS_NUM_CPUS read
// the same way, else the processor count. Read once per process.
std::size_t pool_thread_count();

// The pure rules behind pool_thread_count(), exposed so they can be tested without touching the
// process environment.
//
// A thread-count variable's value: an optional '+' and one or more ASCII digits, nothing else,
// within the range of size_t; nullopt for anything else (absent, empty, signs, spaces, overflow).
std::optional<std::size_t> parse_thread_count(const char* text);

// Chooses the pool size from the two variables' raw values (nullptr when absent) and the
// processor count.
std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t processors);

// The number of threads the arena runs passes on: pool_thread_count(), within oneTBB's limit.
std::size_t pool_size();

// The arena every pass runs in, sized to pool_size() until its workers start (startup.hpp). Not
// initialized by this call.
tbb::task_arena& pool_arena();

// The arena with its workers started, or nullptr when they cannot be started right now. Only
// for the pool thread (pool_thread.hpp), the one thread that calls into oneTBB.
tbb::task_arena* started_pool();

// The calling thread's stand-in for tbb::parallel_deterministic_reduce, used when the pool cannot
// run a reduction: the same split (a range of more than `grain` elements is halved at
// begin + size / 2, recursively, as a blocked_range splits under the default simple
// partitioner), each piece starting from `identity`, the halves combined left with right. A sum
// comes out the same to the bit whichever of the two computed it.
template <class Value, class Body, class Combine>
Value reduce_in_halves(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                       const Value& identity, Body& body, Combine& combine) {
    if (end - begin <= grain) return body(begin, end, Value(identity));
    const std::uint64_t middle = begin + (end - begin) / 2;
    Value left = reduce_in_halves(begin, middle, grain, identity, body, combine);
    Value right = reduce_in_halves(middle, end, grain, identity, body, combine);
    return combine(std::move(left), std::move(right));
}

// A pass over at most this many amplitudes runs on the calling thread, and a longer one is cut
// into pieces of at most this many: handing out less work costs more in scheduling than it
// saves. Measured with 2 threads, one gate target: from 2^14 amplitudes up the pool is faster
// (14 and 16 qubits: 4.2 against 5.5 us and 12.6 against 21.7 us, against a threshold of 2^15);
// at 2^13 and below the two are even. A reading pass costs the same per amplitude as a gate pass
// (14 qubits on the calling thread: 7.3 us to sum a measured qubit's two weights, 7.2 us for a
// gate), so one threshold serves both.
// A state of at most serial_qubits qubits is that small: the planner makes it one block, the
// trajectories of its shots run side by side, and its gate queue stays short.
inline constexpr std::uint32_t serial_qubits = 13;
inline constexpr std::uint64_t serial_amplitudes = std::uint64_t{1} << serial_qubits;

// The grain (see below) of a pass whose elements each touch `amplitudes_per_element` amplitudes.
constexpr std::uint64_t serial_grain(std::uint64_t amplitudes_per_element) {
    return std::max<std::uint64_t>(1, serial_amplitudes / amplitudes_per_element);
}

// Runs body(first, last) over contiguous pieces covering [begin, end), each piece in ascending
// order. A range of at most `grain` elements runs as one piece on the calling thread without
// touching the pool; the pool splits longer ranges in halves, never into pieces of fewer than
// grain / 2 elements, or they run as one piece on the calling thread when the pool cannot be had
// (a pool of one thread, or no memory to start it). Returns when every piece is done; an exception from a
// piece is rethrown here.
template <class Body>
void parallel_for_ranges(std::uint64_t begin, std::uint64_t end, std::uint64_t grain, Body&& body) {
    if (end <= begin) return;
    if (end - begin > grain && pool_size() > 1) {
        auto pass = [&](tbb::task_arena& arena) {
            arena.execute([&] {
                tbb::parallel_for(tbb::blocked_range<std::uint64_t>(begin, end, grain),
                                  [&](const tbb::blocked_range<std::uint64_t>& piece) {
                                      body(piece.begin(), piece.end());
                                  });
            });
        };
        if (run_on_pool(pass)) return;
    }
    body(begin, end);
}

// Reduces [begin, end) with body(first, last, Value accumulated) -> Value over contiguous pieces
// and combine(Value left, Value right) -> Value. The split depends only on the range and the
// grain, never on scheduling, so a floating-point sum comes out the same on every run.
template <class Value, class Body, class Combine>
Value parallel_reduce_ranges(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                             Value identity, Body&& body, Combine&& combine) {
    if (end <= begin) return identity;
    if (end - begin <= grain) return body(begin, end, std::move(identity));
    if (pool_size() > 1) {
        std::optional<Value> result;
        auto pass = [&](tbb::task_arena& arena) {
            result.emplace(arena.execute([&] {
                return tbb::parallel_deterministic_reduce(
                    tbb::blocked_range<std::uint64_t>(begin, end, grain), identity,
                    [&](const tbb::blocked_range<std::uint64_t>& piece, Value accumulated) {
                        return body(piece.begin(), piece.end(), std::move(accumulated));
                    },
                    [&](Value left, Value right) { return combine(std::move(left), std::move(right)); });
            }));
        };
        if (run_on_pool(pass)) return std::move(*result);
    }
    return reduce_in_halves(begin, end, grain, identity, body, combine);
}

}  // namespace korvel
