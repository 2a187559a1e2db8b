// Circuit program decoding from arbitrary bytes, in both forms (104-byte one-qubit records, and
// the self-describing "KRVL" form with gates on up to five targets): never a crash, every
// malformed program refused with a message naming the header or the first record at fault and a
// field that is wrong in it, and every accepted program decoded field for field as written. Accepted programs on a few qubits are
// then run (trajectories, and the state operations for gate-only programs), which may refuse
// only with the runner's own errors.
//
// Input: byte 0 = qubit count (low 5 bits, so 30 and 31 are refused), byte 1 = classical bit
// count (0..71, so 65 and up are refused), byte 2 bit 0 = gates-only decoding, byte 3 = seed;
// the rest is the program.
//
// The reference reading below is written from the record layouts, not from the decoder: raw
// fields by memcpy on this little-endian host, each rule tested on its own.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/circuit/circuit_state.hpp"
#include "engine/circuit/invalid_input.hpp"
#include "engine/circuit/program.hpp"
#include "engine/circuit/streams.hpp"
#include "engine/base/failure.hpp"
#include "stderr_silencer.hpp"

static_assert(std::endian::native == std::endian::little, "the reference reads records with memcpy");

namespace {

using korvel::circuit::Step;
using korvel::circuit::StepKind;

struct Raw {
    std::uint32_t kind, target;
    std::uint64_t controls, cond_mask, cond_value;
    std::uint32_t clbit, reserved;
    double matrix[8];
};
static_assert(sizeof(Raw) == korvel::circuit::step_size);

// A record of the self-describing form, after its 16-byte header (magic, version, steps, entries).
struct RawWide {
    std::uint32_t kind, width;
    std::uint8_t targets[8];
    std::uint64_t controls, cond_mask, cond_value;
    std::uint32_t clbit, reserved;
    std::uint64_t matrix, reserved2;
};
static_assert(sizeof(RawWide) == korvel::circuit::wide_step_size);
struct RawHeader {
    std::uint32_t magic, version, steps, entries;
};
static_assert(sizeof(RawHeader) == korvel::circuit::wide_header_size);

bool self_describing(std::span<const std::uint8_t> program) {
    std::uint32_t magic = 0;
    if (program.size() >= 4) std::memcpy(&magic, program.data(), 4);
    return magic == 0x4C56524B;  // "KRVL"
}

// Words any message about a faulty field may use to name it.
using Names = std::vector<const char*>;

// The fields of one record that break the rules, each as the words naming it.
std::vector<Names> faults(const Raw& r, std::uint32_t qubits, std::uint32_t clbits, bool gates_only) {
    std::vector<Names> found;
    if (r.kind > 2) found.push_back({"kind"});
    if (gates_only && r.kind != 0) found.push_back({"cannot run here", "kind"});
    if (r.target >= qubits) found.push_back({"target"});
    const bool gate = r.kind == 0;
    if (!gate && r.controls != 0) found.push_back({"controls"});
    for (std::uint32_t bit = qubits; bit < 64; ++bit) {
        if ((r.controls >> bit) & 1) found.push_back({"controls"});
    }
    if (r.target < 64 && ((r.controls >> r.target) & 1)) found.push_back({"controls"});
    if (gates_only && r.cond_mask != 0) found.push_back({"conditional step cannot run here", "cond_mask"});
    for (std::uint32_t bit = clbits; bit < 64; ++bit) {
        if ((r.cond_mask >> bit) & 1) found.push_back({"cond_mask"});
    }
    if ((r.cond_value & ~r.cond_mask) != 0) found.push_back({"cond_value"});
    if (r.kind == 1 ? r.clbit >= clbits : r.clbit != 0) found.push_back({"clbit"});
    if (r.reserved != 0) found.push_back({"reserved"});
    if (gate) {
        for (double x : r.matrix) {
            if (!std::isfinite(x)) found.push_back({"matrix"});
        }
    }
    return found;
}

// The program's matrix entries, as (real, imaginary) doubles, after the records.
struct WideProgram {
    RawHeader header;
    const std::uint8_t* records;
    const std::uint8_t* entries;
    // The size the header's counts call for, in 64 bits: counts of 2^32 − 1 overflow nothing.
    std::uint64_t expected_size() const {
        return 16 + 64 * std::uint64_t{header.steps} + 16 * std::uint64_t{header.entries};
    }
    RawWide record(std::size_t k) const {
        RawWide raw;
        std::memcpy(&raw, records + k * sizeof raw, sizeof raw);
        return raw;
    }
    double entry_part(std::uint64_t e, int part) const {
        double x;
        std::memcpy(&x, entries + 16 * e + 8 * part, 8);
        return x;
    }
};

WideProgram wide_program(std::span<const std::uint8_t> program) {
    WideProgram p{};
    if (program.size() >= sizeof(RawHeader)) std::memcpy(&p.header, program.data(), sizeof(RawHeader));
    p.records = program.data() + sizeof(RawHeader);
    // The entries are found only where the header's counts fit the program.
    p.entries = program.size() == p.expected_size() ? p.records + 64 * std::size_t{p.header.steps} : nullptr;
    return p;
}

// Record k of the program; a jump (kind 3) continues at step `matrix` and names its loop in
// `clbit`, both below or at the step count, never at itself; a set step (kind 4) writes `matrix`,
// 0 or 1, into classical bit `clbit`.
std::vector<Names> wide_faults(const WideProgram& p, const RawWide& r, std::size_t k, std::uint32_t qubits,
                               std::uint32_t clbits, bool gates_only) {
    std::vector<Names> found;
    const bool gate = r.kind == 0, jump = r.kind == 3, set = r.kind == 4;
    if (r.kind > 4) found.push_back({"kind"});
    if (gates_only && r.kind != 0) found.push_back({"cannot run here", "kind"});
    if (gate ? r.width < 1 || r.width > 5 : r.width != (jump || set ? 0u : 1u)) found.push_back({"width"});
    std::uint64_t targets = 0;
    for (std::uint32_t j = 0; j < 8; ++j) {
        const std::uint32_t t = r.targets[j];
        if (j >= r.width) {
            if (t != 0) found.push_back({"targets"});
            continue;
        }
        if (t >= qubits) found.push_back({"targets"});
        if (t < 64 && ((targets >> t) & 1)) found.push_back({"targets"});
        if (t < 64) targets |= std::uint64_t{1} << t;
    }
    if (!gate && r.controls != 0) found.push_back({"controls"});
    for (std::uint32_t bit = qubits; bit < 64; ++bit) {
        if ((r.controls >> bit) & 1) found.push_back({"controls"});
    }
    if ((r.controls & targets) != 0) found.push_back({"controls"});
    if (gates_only && r.cond_mask != 0) found.push_back({"conditional step cannot run here", "cond_mask"});
    for (std::uint32_t bit = clbits; bit < 64; ++bit) {
        if ((r.cond_mask >> bit) & 1) found.push_back({"cond_mask"});
    }
    if ((r.cond_value & ~r.cond_mask) != 0) found.push_back({"cond_value"});
    if (r.kind == 1 || set ? r.clbit >= clbits : jump ? r.clbit >= p.header.steps : r.clbit != 0) {
        found.push_back({"clbit"});
    }
    if (r.reserved != 0 || r.reserved2 != 0) found.push_back({"reserved"});
    if (jump ? r.matrix > p.header.steps || r.matrix == k : set ? r.matrix > 1 : !gate && r.matrix != 0) {
        found.push_back({"matrix"});
    }
    if (gate && r.width >= 1 && r.width <= 5) {
        const std::uint64_t count = std::uint64_t{1} << (2 * r.width);
        if (r.matrix > p.header.entries || p.header.entries - r.matrix < count) {
            found.push_back({"matrix"});
        } else {
            for (std::uint64_t e = r.matrix; e < r.matrix + count; ++e) {
                if (!std::isfinite(p.entry_part(e, 0)) || !std::isfinite(p.entry_part(e, 1))) found.push_back({"matrix"});
            }
        }
    }
    return found;
}

[[noreturn]] void finding(const std::string& what) {
    dprintf(korvel_fuzz::report_fd, "%s\n", what.c_str());
    std::abort();
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The first faulty record must be the one named, and one of its faulty fields with it.
void check_named(const std::string& message, std::size_t k, const std::vector<Names>& wrong) {
    const std::string prefix = "step " + std::to_string(k) + ": ";
    if (!starts_with(message, prefix) || message.size() <= prefix.size() + 10) {
        finding("record " + std::to_string(k) + " is the first at fault, the decoder said: " + message);
    }
    for (const Names& names : wrong) {
        for (const char* name : names) {
            if (message.find(name) != std::string::npos) return;
        }
    }
    finding("the refusal of record " + std::to_string(k) + " names none of its faulty fields: " + message);
}

void check_wide_refusal(const std::string& message, std::span<const std::uint8_t> program, std::uint32_t qubits,
                        std::uint32_t clbits, bool gates_only) {
    const WideProgram p = wide_program(program);
    const auto header_fault = [&](const char* field) {
        if (!starts_with(message, "header: ") || message.find(field) == std::string::npos) {
            finding(std::string("a header with a wrong ") + field + " was refused with: " + message);
        }
    };
    if (program.size() < sizeof(RawHeader)) return header_fault("incomplete");
    if (p.header.version != 2) return header_fault("version");
    if (program.size() != p.expected_size()) return header_fault("bytes");
    for (std::size_t k = 0; k < p.header.steps; ++k) {
        const std::vector<Names> wrong = wide_faults(p, p.record(k), k, qubits, clbits, gates_only);
        if (!wrong.empty()) return check_named(message, k, wrong);
    }
    finding("a valid program was refused: " + message);
}

void check_refusal(const std::string& message, std::span<const std::uint8_t> program, std::uint32_t qubits,
                   std::uint32_t clbits, bool gates_only) {
    if (qubits >= 30) {
        if (!starts_with(message, "num_qubits ")) finding("wrong refusal of " + std::to_string(qubits) + " qubits: " + message);
        return;
    }
    if (clbits > 64) {
        if (!starts_with(message, "num_clbits ")) finding("wrong refusal of " + std::to_string(clbits) + " clbits: " + message);
        return;
    }
    if (self_describing(program)) return check_wide_refusal(message, program, qubits, clbits, gates_only);
    const std::size_t count = program.size() / sizeof(Raw);
    if (program.size() % sizeof(Raw) != 0) {
        if (!starts_with(message, "step " + std::to_string(count) + ": incomplete record")) {
            finding("wrong refusal of a " + std::to_string(program.size()) + "-byte program: " + message);
        }
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        Raw raw;
        std::memcpy(&raw, program.data() + k * sizeof(Raw), sizeof raw);
        const std::vector<Names> wrong = faults(raw, qubits, clbits, gates_only);
        if (!wrong.empty()) return check_named(message, k, wrong);
    }
    finding("a valid program was refused: " + message);
}

// The kind a wide matrix's exact zeros (either sign) and ones give: diagonal when nothing is off
// the diagonal, else a permutation when each row and each column holds one non-zero entry.
korvel::WideKind reference_kind(const WideProgram& p, const RawWide& r, bool& only_moves) {
    const std::uint32_t d = 1u << r.width;
    const auto at = [&](std::uint32_t row, std::uint32_t column, int part) {
        return p.entry_part(r.matrix + std::uint64_t{row} * d + column, part);
    };
    const auto nonzero = [&](std::uint32_t row, std::uint32_t column) {
        return at(row, column, 0) != 0.0 || at(row, column, 1) != 0.0;
    };
    bool diagonal = true, permutation = true;
    only_moves = true;
    for (std::uint32_t a = 0; a < d; ++a) {
        std::uint32_t in_row = 0, in_column = 0;
        for (std::uint32_t b = 0; b < d; ++b) {
            if (nonzero(a, b)) {
                ++in_row;
                diagonal = diagonal && a == b;
                only_moves = only_moves && at(a, b, 0) == 1.0 && at(a, b, 1) == 0.0;
            }
            in_column += nonzero(b, a);
        }
        permutation = permutation && in_row == 1 && in_column == 1;
    }
    if (diagonal) return korvel::WideKind::diagonal;
    if (permutation) return korvel::WideKind::permutation;
    return korvel::WideKind::dense;
}

void check_wide_decoded(const std::vector<Step>& steps, std::span<const std::uint8_t> program, std::uint32_t qubits,
                        std::uint32_t clbits, bool gates_only) {
    const WideProgram p = wide_program(program);
    if (program.size() < sizeof(RawHeader) || p.header.version != 2 || program.size() != p.expected_size()) {
        finding("a program with a malformed header was accepted");
    }
    if (steps.size() != p.header.steps) finding("decoded step count differs from the header's");
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const RawWide raw = p.record(k);
        if (!wide_faults(p, raw, k, qubits, clbits, gates_only).empty()) {
            finding("record " + std::to_string(k) + " breaks a rule but was accepted");
        }
        const Step& s = steps[k];
        const bool jump = raw.kind == 3;
        if (static_cast<std::uint32_t>(s.kind) != raw.kind || s.target != raw.targets[0] ||
            s.controls != raw.controls || s.cond_mask != raw.cond_mask || s.cond_value != raw.cond_value ||
            s.clbit != (jump ? 0 : raw.clbit) || (jump && (s.jump_to != raw.matrix || s.loop != raw.clbit)) ||
            (raw.kind == 4 && s.value != raw.matrix)) {
            finding("record " + std::to_string(k) + " decoded with different fields");
        }
        if (s.kind != StepKind::gate) continue;
        const std::uint32_t d = 1u << raw.width;
        const auto same = [&](const korvel::Complex& c, std::uint64_t e) {
            return std::memcmp(&c.real, p.entries + 16 * e, 8) == 0 && std::memcmp(&c.imag, p.entries + 16 * e + 8, 8) == 0;
        };
        if (raw.width == 1) {
            for (std::uint32_t e = 0; e < 4; ++e) {
                if (s.wide != nullptr || !same(s.gate.entry(e / 2, e % 2), raw.matrix + e)) {
                    finding("record " + std::to_string(k) + " decoded with a different one-qubit matrix");
                }
            }
            continue;
        }
        if (s.wide == nullptr || s.wide->width() != raw.width) finding("record " + std::to_string(k) + " lost its width");
        for (std::uint32_t j = 0; j < raw.width; ++j) {
            if (s.wide->target(j) != raw.targets[j]) finding("record " + std::to_string(k) + " decoded other targets");
        }
        for (std::uint32_t e = 0; e < d * d; ++e) {
            if (!same(s.wide->entry(e / d, e % d), raw.matrix + e)) {
                finding("record " + std::to_string(k) + " decoded with a different matrix");
            }
        }
        bool only_moves = false;
        const korvel::WideKind kind = reference_kind(p, raw, only_moves);
        if (s.wide->kind() != kind) finding("record " + std::to_string(k) + " has the wrong kind");
        if (kind == korvel::WideKind::permutation && s.wide->only_moves() != only_moves) {
            finding("record " + std::to_string(k) + " is wrong about only moving amplitudes");
        }
    }
}

void check_decoded(const std::vector<Step>& steps, std::span<const std::uint8_t> program, std::uint32_t qubits,
                   std::uint32_t clbits, bool gates_only) {
    if (qubits >= 30 || clbits > 64) finding("a malformed call was accepted");
    if (self_describing(program)) return check_wide_decoded(steps, program, qubits, clbits, gates_only);
    if (program.size() % sizeof(Raw) != 0) finding("a malformed call was accepted");
    if (steps.size() != program.size() / sizeof(Raw)) finding("decoded step count differs from the record count");
    for (std::size_t k = 0; k < steps.size(); ++k) {
        Raw raw;
        std::memcpy(&raw, program.data() + k * sizeof(Raw), sizeof raw);
        if (!faults(raw, qubits, clbits, gates_only).empty()) {
            finding("record " + std::to_string(k) + " breaks a rule but was accepted");
        }
        const Step& s = steps[k];
        if (static_cast<std::uint32_t>(s.kind) != raw.kind || s.target != raw.target || s.controls != raw.controls ||
            s.cond_mask != raw.cond_mask || s.cond_value != raw.cond_value || s.clbit != raw.clbit) {
            finding("record " + std::to_string(k) + " decoded with different fields");
        }
        if (s.kind == StepKind::gate) {
            for (int e = 0; e < 4; ++e) {
                const korvel::Complex c = s.gate.entry(e / 2, e % 2);
                if (std::memcmp(&c.real, &raw.matrix[2 * e], 8) != 0 ||
                    std::memcmp(&c.imag, &raw.matrix[2 * e + 1], 8) != 0) {
                    finding("record " + std::to_string(k) + " decoded with a different matrix");
                }
            }
        }
    }
}

// Programs run only on small registers and for a few steps, so that one input stays cheap.
constexpr std::uint32_t run_qubits = 5;
constexpr std::size_t run_steps = 48;
constexpr std::size_t shots = 5;

// The runner may refuse to draw from or measure a state the program's matrices zeroed or blew
// up (InvalidInput); nothing else.
template <class Work>
void run_guarded(Work&& work) {
    try {
        work();
    } catch (const korvel::circuit::InvalidInput&) {
    }
}

void run_program(const std::vector<Step>& steps, std::uint32_t qubits, std::uint32_t clbits, bool gates_only,
                 std::uint64_t seed) {
    if (qubits > run_qubits || steps.size() > run_steps) return;
    const korvel::circuit::StreamKey key = korvel::circuit::key_from_seed(seed);
    std::uint64_t written = 0;  // the classical bits some measurement or set step of a 1 writes
    for (const Step& s : steps) {
        if (s.kind == StepKind::measure || (s.kind == StepKind::set && s.value == 1)) {
            written |= std::uint64_t{1} << s.clbit;
        }
    }
    run_guarded([&] {
        std::uint64_t words[shots];
        korvel::circuit::run_trajectories(qubits, steps, words, key);
        for (std::uint64_t word : words) {
            if ((word & ~written) != 0) finding("a trajectory set a classical bit no measurement or set step writes");
        }
    });
    (void)clbits;
    if (!gates_only) return;
    auto state = korvel::circuit::CircuitState::create(qubits);
    state->run(steps);
    std::vector<double> probabilities(state->size());
    state->probabilities(probabilities);
    run_guarded([&] {
        std::uint64_t drawn[shots];
        state->sample(drawn, key);
        for (std::uint64_t k : drawn) {
            if (k >= state->size() || !(probabilities[k] > 0.0)) finding("drew an outcome of weight zero");
        }
    });
    run_guarded([&] { state->sample_counts(shots, key); });
    const std::uint64_t x[2] = {seed & (state->size() - 1), 0}, z[2] = {(seed >> 8) & (state->size() - 1), 0};
    double values[2];
    state->expectation_values(x, z, values);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    korvel_fuzz::silence_engine_stderr(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return -1;
    const std::uint32_t qubits = data[0] & 31;
    const std::uint32_t clbits = data[1] % 72;
    const bool gates_only = (data[2] & 1) != 0;
    const std::uint64_t seed = data[3];
    const std::span<const std::uint8_t> program(data + 4, size - 4);

    std::optional<std::vector<Step>> steps;
    try {
        steps = korvel::circuit::decode_program(std::as_bytes(program), qubits, clbits,
                                                gates_only ? korvel::circuit::Steps::gates_only
                                                           : korvel::circuit::Steps::any);
    } catch (const korvel::circuit::InvalidInput& refused) {
        check_refusal(refused.message(), program, qubits, clbits, gates_only);
        return 0;
    }
    check_decoded(*steps, program, qubits, clbits, gates_only);
    run_program(*steps, qubits, clbits, gates_only, seed);
    return 0;
}
