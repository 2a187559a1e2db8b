// The engine's passes as multiples of an in-place sweep of the same amplitudes, timed side by
// side in one process, interleaved repeat by repeat, so that a loaded machine shifts both alike: a fresh register's first
// gate against its later ones, one dense gate per target with 0, 1 or 2 controls, and measure.
//
// Usage: pass_costs [--what first,targets,measure,kinds] [--qubits 16,24] [--repeats R]
//                   [--controls 0,1,2] [--targets a,b,c] [--isa scalar|avx2|avx512]
// Output: one JSON object per line on standard output; "ratio" is time / sweep time.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "number_list.hpp"

#include "engine/sequence/apply_gate.hpp"
#include "engine/gates/gate.hpp"
#include "engine/kernels/isa_choice.hpp"
#include "engine/readout/measurement.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/state/register.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using korvel::Complex;
using Indices = std::vector<std::uint32_t>;

struct Options {
    std::string what = "first,targets,measure";
    std::vector<long> qubits{24};
    int repeats = 5;
    std::vector<long> controls{0, 1, 2};
    std::vector<long> targets;  // empty: every target
};

[[noreturn]] void usage_error(const char* message) {
    std::fprintf(stderr, "pass_costs: %s\n", message);
    std::exit(2);
}

std::vector<long> parse_list(const char* text) {
    const auto numbers = parse_number_list(text);
    if (!numbers) usage_error("empty item in list");
    return *numbers;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--what") == 0 && has_value) {
            options.what = argv[++i];
        } else if (std::strcmp(argv[i], "--qubits") == 0 && has_value) {
            options.qubits = parse_list(argv[++i]);
        } else if (std::strcmp(argv[i], "--repeats") == 0 && has_value) {
            options.repeats = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--controls") == 0 && has_value) {
            options.controls = parse_list(argv[++i]);
        } else if (std::strcmp(argv[i], "--targets") == 0 && has_value) {
            options.targets = parse_list(argv[++i]);
        } else if (std::strcmp(argv[i], "--isa") == 0 && has_value) {
            const std::string isa = argv[++i];
            korvel::use_isa(isa == "scalar" ? korvel::KernelIsa::scalar
                            : isa == "avx2" ? korvel::KernelIsa::avx2 : korvel::KernelIsa::avx512);
        } else {
            usage_error("unknown argument; see the comment at the top of pass_costs.cpp");
        }
    }
    for (const long n : options.qubits) {
        if (n < 4 || n > 29) usage_error("--qubits must lie in 4..29");
    }
    if (options.repeats < 1) usage_error("--repeats must be positive");
    return options;
}

bool wants(const Options& options, const char* what) {
    return options.what.find(what) != std::string::npos;
}

template <class Work>
double seconds(Work&& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double best(std::vector<double> times) { return *std::min_element(times.begin(), times.end()); }

const double h = 1.0 / std::sqrt(2.0);
const korvel::QGate hadamard = korvel::QGate::from_entries({h, 0.0}, {h, 0.0}, {h, 0.0}, {-h, 0.0});
// All four entries complex and non-zero: the general kernel.
const korvel::QGate dense = korvel::QGate::from_entries(
    {0.8775825618903728, 0.0}, {-0.4207354924039483, -0.2298488470659301},
    {0.4014169167360992, 0.1241642473595277}, {0.6303119894424216, 0.6060006060931848});

void apply(korvel::Register& reg, const korvel::QGate& gate, std::uint32_t target, const Indices& controls = {}) {
    const std::uint32_t targets[1] = {target};
    korvel::apply_gate(reg, gate, targets, controls);
}

// The yardstick: every amplitude read and written once, in place, on the engine's pool, a line
// prefetched 2 KiB ahead (as bandwidth_sweep's faster variant). Alternating factors of 2 and
// 1/2 keep the values as they were.
double sweep(korvel::Register& reg) {
    static int round = 0;
    const double factor = (round++ % 2) == 0 ? 0.5 : 2.0;
    return seconds([&] {
        reg.state().locked([&](std::span<Complex> amplitudes) {
            Complex* a = amplitudes.data();
            const std::uint64_t count = amplitudes.size();
            korvel::parallel_for_ranges(0, count, korvel::serial_grain(1), [&](std::uint64_t first, std::uint64_t last) {
                for (std::uint64_t i = first; i < last; ++i) {
                    if ((i & 3) == 0 && i + 128 < count) __builtin_prefetch(a + i + 128, 1);
                    a[i].real = a[i].real * factor;
                    a[i].imag = a[i].imag * factor;
                }
            });
        });
    });
}

// A state with every amplitude non-zero and of similar size: pages of zeros read faster.
korvel::Register dense_register(std::uint32_t n) {
    korvel::Register reg = korvel::Register::create(n);
    for (std::uint32_t t = 0; t < n; ++t) apply(reg, dense, t);
    return reg;
}

// A fresh register's first gate (Hadamard on qubit 0, as most circuits begin) against the same
// gate on the same register afterwards; the best of `repeats` fresh registers.
void first_pass(std::uint32_t n, int repeats) {
    std::vector<double> first, later;
    for (int r = 0; r < repeats; ++r) {
        korvel::Register reg = korvel::Register::create(n);
        first.push_back(seconds([&] { apply(reg, hadamard, 0); }));
        for (int k = 0; k < 3; ++k) later.push_back(seconds([&] { apply(reg, hadamard, 0); }));
    }
    std::printf("{\"kind\": \"first_pass\", \"qubits\": %u, \"first_s\": %.9g, \"later_s\": %.9g, \"ratio\": %.3f}\n",
                n, best(first), best(later), best(first) / best(later));
    std::fflush(stdout);
}

Indices lowest_controls(std::uint32_t n, std::uint32_t target, long count) {
    Indices controls;
    for (std::uint32_t q = 0; q < n && static_cast<long>(controls.size()) < count; ++q) {
        if (q != target) controls.push_back(q);
    }
    return controls;
}

// Controls on the lowest qubits other than the target, so that every cache line holds pairs
// to update: the whole state is read and written, as by the sweep.
void targets(std::uint32_t n, const Options& options) {
    korvel::Register reg = dense_register(n);
    std::vector<std::uint32_t> list;
    for (const long t : options.targets) list.push_back(static_cast<std::uint32_t>(t));
    if (list.empty()) {
        for (std::uint32_t t = 0; t < n; ++t) list.push_back(t);
    }
    for (const long k : options.controls) {
        for (const std::uint32_t t : list) {
            const Indices controls = lowest_controls(n, t, k);
            std::vector<double> times, sweeps;
            for (int r = 0; r < options.repeats; ++r) {
                sweeps.push_back(sweep(reg));
                times.push_back(seconds([&] { apply(reg, dense, t, controls); }));
            }
            const double yardstick = best(sweeps);
            std::printf("{\"kind\": \"target\", \"qubits\": %u, \"target\": %u, \"controls\": %ld, \"min_s\": %.9g, "
                        "\"sweep_s\": %.9g, \"ratio\": %.3f}\n",
                        n, t, k, best(times), yardstick, best(times) / yardstick);
            std::fflush(stdout);
        }
    }
}

// measure on a dense state, and its two parts as the engine's own calls: measure_all (a
// read-only pass) and the collapse onto outcome 0 as a gate. The target is spread again
// (untimed) before each draw or collapse.
void measurements(std::uint32_t n, const Options& options) {
    korvel::Register reg = dense_register(n);
    const korvel::QGate collapse = korvel::QGate::from_entries({1.25, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0});
    for (const std::uint32_t t : {0u, 1u, 2u, n / 2, n - 1}) {
        std::vector<double> times, reads, collapses, sweeps;
        for (int r = 0; r < options.repeats; ++r) {
            sweeps.push_back(sweep(reg));
            apply(reg, hadamard, t);
            times.push_back(seconds([&] { (void)korvel::measure(reg, t); }));
            apply(reg, hadamard, t);
            reads.push_back(seconds([&] { (void)korvel::measure_all(reg); }));
            collapses.push_back(seconds([&] { apply(reg, collapse, t); }));
        }
        apply(reg, dense, t);
        const double yardstick = best(sweeps);
        std::printf("{\"kind\": \"measure\", \"qubits\": %u, \"target\": %u, \"min_s\": %.9g, \"sweep_s\": %.9g, "
                    "\"ratio\": %.3f, \"measure_all_ratio\": %.3f, \"collapse_ratio\": %.3f}\n",
                    n, t, best(times), yardstick, best(times) / yardstick, best(reads) / yardstick,
                    best(collapses) / yardstick);
        std::fflush(stdout);
    }
}

// One gate of each kind (general, real, phase, controlled phase, anti-diagonal, swap) on low,
// middle and high targets; the controlled phase's control is the highest other qubit.
void kinds(std::uint32_t n, const Options& options) {
    korvel::Register reg = dense_register(n);
    const Complex e{0.5403023058681398, 0.8414709848078965}, one{1.0, 0.0}, zero{0.0, 0.0};
    struct Named {
        const char* name;
        korvel::QGate gate;
        bool controlled;
    };
    const Named gates[] = {
        {"general", dense, false},
        {"real", hadamard, false},
        {"phase", korvel::QGate::from_entries(one, zero, zero, e), false},
        {"controlled_phase", korvel::QGate::from_entries(one, zero, zero, e), true},
        {"anti_diagonal", korvel::QGate::from_entries(zero, {0.0, -1.0}, {0.0, 1.0}, zero), false},
        {"swap", korvel::QGate::from_entries(zero, one, one, zero), false},
    };
    for (const Named& g : gates) {
        for (const std::uint32_t t : {0u, 1u, 2u, 5u, n / 2, n - 1}) {
            const Indices controls = g.controlled ? Indices{t == n - 1 ? n - 2 : n - 1} : Indices{};
            std::vector<double> times, sweeps;
            for (int r = 0; r < options.repeats; ++r) {
                sweeps.push_back(sweep(reg));
                times.push_back(seconds([&] { apply(reg, g.gate, t, controls); }));
            }
            std::printf("{\"kind\": \"gate_kind\", \"gate\": \"%s\", \"qubits\": %u, \"target\": %u, "
                        "\"min_s\": %.9g, \"sweep_s\": %.9g, \"ratio\": %.3f}\n",
                        g.name, n, t, best(times), best(sweeps), best(times) / best(sweeps));
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    for (const long n : options.qubits) {
        const auto qubits = static_cast<std::uint32_t>(n);
        if (wants(options, "first")) first_pass(qubits, options.repeats);
        if (wants(options, "targets")) targets(qubits, options);
        if (wants(options, "measure")) measurements(qubits, options);
        if (wants(options, "kinds")) kinds(qubits, options);
    }
    return 0;
}
