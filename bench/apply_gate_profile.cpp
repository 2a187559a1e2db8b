// Times the engine's gate pass per target with no interpreter involved, so that a profiler
// (perf record) sees only engine code. The pool size comes from RAYON_NUM_THREADS as in the
// module.
//
// Usage: apply_gate_profile [--qubits N] [--repeats R] [--controls K] [--targets a,b,c]
// Output: one JSON object per line and target, on standard output.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "number_list.hpp"

#include "engine/sequence/apply_gate.hpp"
#include "engine/gates/gate.hpp"
#include "engine/state/register.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::uint32_t qubits = 24;
    int repeats = 5;
    std::uint32_t controls = 0;
    std::vector<std::uint32_t> targets;  // empty: every target 0..n-1
};

[[noreturn]] void usage_error(const char* message) {
    std::fprintf(stderr, "apply_gate_profile: %s\n", message);
    std::exit(2);
}

std::vector<std::uint32_t> parse_list(const char* text) {
    const auto numbers = parse_number_list(text);
    if (!numbers) usage_error("empty item in list");
    std::vector<std::uint32_t> values;
    for (const long value : *numbers) values.push_back(static_cast<std::uint32_t>(value));
    return values;
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--qubits") == 0 && has_value) {
            options.qubits = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--repeats") == 0 && has_value) {
            options.repeats = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--controls") == 0 && has_value) {
            options.controls = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--targets") == 0 && has_value) {
            options.targets = parse_list(argv[++i]);
        } else {
            usage_error("unknown argument; see the comment at the top of apply_gate_profile.cpp");
        }
    }
    if (options.qubits < 1 || options.qubits > 29) usage_error("--qubits must lie in 1..29");
    if (options.repeats < 1) usage_error("--repeats must be positive");
    if (options.targets.empty()) {
        for (std::uint32_t t = 0; t < options.qubits; ++t) options.targets.push_back(t);
    }
    return options;
}

// The controls are the highest qubits that are not the target, so that the pass touches the
// same fraction of pairs (2^-K) for every target.
std::vector<std::uint32_t> controls_for(std::uint32_t target, const Options& options) {
    std::vector<std::uint32_t> controls;
    for (std::uint32_t q = options.qubits; q-- > 0 && controls.size() < options.controls;) {
        if (q != target) controls.push_back(q);
    }
    return controls;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    const double h = 1.0 / std::sqrt(2.0);
    const korvel::QGate hadamard =
        korvel::QGate::from_entries({h, 0.0}, {h, 0.0}, {h, 0.0}, {-h, 0.0});
    korvel::Register reg = korvel::Register::create(options.qubits);
    // Spread the amplitude over every basis state first so that all pages are touched and the
    // values stay normal numbers throughout.
    for (std::uint32_t t = 0; t < options.qubits; ++t) {
        const std::uint32_t target[1] = {t};
        korvel::apply_gate(reg, hadamard, target, {});
    }
    for (std::uint32_t t : options.targets) {
        const std::uint32_t target[1] = {t};
        const std::vector<std::uint32_t> controls = controls_for(t, options);
        std::vector<double> times;
        for (int r = 0; r < options.repeats; ++r) {
            const auto start = Clock::now();
            korvel::apply_gate(reg, hadamard, target, controls);
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        std::printf(
            "{\"kind\": \"apply_gate_profile\", \"qubits\": %u, \"target\": %u, \"controls\": %u, "
            "\"repeats\": %d, \"min_s\": %.9g, \"median_s\": %.9g}\n",
            options.qubits, t, static_cast<unsigned>(controls.size()), options.repeats, times.front(),
            times[times.size() / 2]);
        std::fflush(stdout);
    }
    return 0;
}
