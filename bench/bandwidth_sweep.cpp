// The memory-bandwidth yardstick for one gate pass: an in-place sweep that reads and writes
// every amplitude of a 2^n vector of complex doubles exactly once, on the same oneTBB pool size
// and with the same compile options as the engine. A gate pass cannot move less data than this,
// so every other benchmark row is reported as a multiple of it.
//
// Usage: bandwidth_sweep [--threads N] [--qubits a,b,c] [--repeats R] [--min-seconds S]
// Output: one JSON object per line and qubit count, on standard output.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "number_list.hpp"

#include <sys/mman.h>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include "engine/base/complex.hpp"

namespace {

using korvel::Complex;
using Clock = std::chrono::steady_clock;

struct Options {
    int threads = 2;
    std::vector<int> qubits{16, 20, 24, 26, 28};
    int repeats = 0;  // 0: chosen per size so that small sizes are repeated more
    double min_seconds = 0.2;
};

[[noreturn]] void usage_error(const char* message) {
    std::fprintf(stderr, "bandwidth_sweep: %s\n", message);
    std::exit(2);
}

std::vector<int> parse_list(const char* text) {
    const auto numbers = parse_number_list(text);
    if (!numbers) usage_error("empty item in qubit list");
    std::vector<int> values;
    for (const long value : *numbers) values.push_back(static_cast<int>(value));
    return values;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--threads") == 0 && has_value) {
            options.threads = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--qubits") == 0 && has_value) {
            options.qubits = parse_list(argv[++i]);
        } else if (std::strcmp(argv[i], "--repeats") == 0 && has_value) {
            options.repeats = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--min-seconds") == 0 && has_value) {
            options.min_seconds = std::atof(argv[++i]);
        } else {
            usage_error("unknown argument; see the comment at the top of bandwidth_sweep.cpp");
        }
    }
    if (options.threads < 1) usage_error("--threads must be positive");
    for (int n : options.qubits) {
        if (n < 1 || n > 30) usage_error("qubit counts must lie in 1..30");
    }
    return options;
}

// Mapped like the engine's amplitude block (anonymous pages, huge pages requested), so that
// page-walk costs are the same on both sides of the comparison.
class MappedVector {
public:
    explicit MappedVector(std::size_t count) : count_(count), bytes_(count * sizeof(Complex)) {
        void* raw = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) usage_error("cannot map the vector");
        (void)::madvise(raw, bytes_, MADV_HUGEPAGE);
        data_ = static_cast<Complex*>(raw);
    }
    ~MappedVector() { ::munmap(data_, bytes_); }
    MappedVector(const MappedVector&) = delete;
    MappedVector& operator=(const MappedVector&) = delete;

    Complex* data() const { return data_; }
    std::size_t size() const { return count_; }

private:
    Complex* data_;
    std::size_t count_;
    std::size_t bytes_;
};

// Even halves per thread: a streaming sweep has uniform cost, so stealing buys nothing.
template <class Body>
void parallel_sweep(std::size_t count, Body body) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, std::size_t{1} << 12),
                      [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); },
                      tbb::static_partitioner());
}

// Two ways to sweep, and the faster one at each size is the limit: the plain loop, which wins
// while the vector sits in cache, and one that prefetches 2 KiB ahead once per cache line, which
// beat the hardware prefetcher alone by 7-8% at 24 and 26 qubits on the development machine
// (without it the engine's prefetching passes ran "faster than the limit").
enum class Variant { plain, prefetching };
constexpr std::size_t prefetch_ahead = 2048 / sizeof(Complex);
constexpr std::size_t amplitudes_per_line = 64 / sizeof(Complex);

const char* variant_name(Variant variant) {
    return variant == Variant::plain ? "plain" : "prefetching";
}

void scale(const MappedVector& v, double factor, Variant variant) {
    Complex* a = v.data();
    const std::size_t count = v.size();
    if (variant == Variant::plain) {
        parallel_sweep(count, [a, factor](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                a[i].real = a[i].real * factor;
                a[i].imag = a[i].imag * factor;
            }
        });
        return;
    }
    parallel_sweep(count, [a, factor, count](std::size_t begin, std::size_t end) {
        for (std::size_t line = begin; line < end; line += amplitudes_per_line) {
            if (line + prefetch_ahead < count) __builtin_prefetch(a + line + prefetch_ahead, 1);
            const std::size_t stop = std::min(end, line + amplitudes_per_line);
            for (std::size_t i = line; i < stop; ++i) {
                a[i].real = a[i].real * factor;
                a[i].imag = a[i].imag * factor;
            }
        }
    });
}

int default_repeats(int qubits, double seconds_per_sweep, double min_seconds) {
    const int by_time = static_cast<int>(min_seconds / std::max(seconds_per_sweep, 1e-9));
    const int floor = qubits <= 20 ? 50 : qubits <= 24 ? 10 : 5;
    return std::clamp(by_time, floor, 2000);
}

double measure_once(const MappedVector& v, double factor, Variant variant) {
    const auto start = Clock::now();
    scale(v, factor, variant);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Timings {
    Variant variant;
    std::vector<double> sorted_seconds;
};

Timings time_variant(const MappedVector& v, int qubits, const Options& options, Variant variant) {
    // Alternating a factor and its inverse keeps the values normal (no subnormal slow paths).
    const double factors[2] = {0.5, 2.0};
    double warm = measure_once(v, factors[0], variant);
    warm = std::min(warm, measure_once(v, factors[1], variant));
    const int repeats = options.repeats > 0 ? options.repeats : default_repeats(qubits, warm, options.min_seconds);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(repeats));
    for (int r = 0; r < repeats; ++r) times.push_back(measure_once(v, factors[r % 2], variant));
    std::sort(times.begin(), times.end());
    return {variant, std::move(times)};
}

void run_size(int qubits, const Options& options) {
    const std::size_t count = std::size_t{1} << qubits;
    MappedVector v(count);
    // First touch on the pool, as a register's first pass would do.
    Complex* a = v.data();
    parallel_sweep(count, [a](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) a[i] = Complex{1.0, -1.0};
    });
    const Timings plain = time_variant(v, qubits, options, Variant::plain);
    const Timings prefetching = time_variant(v, qubits, options, Variant::prefetching);
    const Timings& best =
        plain.sorted_seconds.front() <= prefetching.sorted_seconds.front() ? plain : prefetching;
    const std::vector<double>& times = best.sorted_seconds;
    const double min_s = times.front();
    const double bytes_moved = 2.0 * static_cast<double>(count * sizeof(Complex));
    std::printf(
        "{\"kind\": \"bandwidth_sweep\", \"qubits\": %d, \"threads\": %d, \"variant\": \"%s\", "
        "\"repeats\": %zu, \"min_s\": %.9g, \"median_s\": %.9g, \"max_s\": %.9g, "
        "\"gb_per_s_at_min\": %.4g, \"plain_min_s\": %.9g, \"prefetching_min_s\": %.9g}\n",
        qubits, options.threads, variant_name(best.variant), times.size(), min_s, times[times.size() / 2],
        times.back(), bytes_moved / min_s / 1e9, plain.sorted_seconds.front(), prefetching.sorted_seconds.front());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    tbb::global_control pool_size(tbb::global_control::max_allowed_parallelism,
                                  static_cast<std::size_t>(options.threads));
    for (int qubits : options.qubits) run_size(qubits, options);
    return 0;
}
