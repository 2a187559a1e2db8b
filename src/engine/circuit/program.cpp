// Decoding and validation of circuit programs from raw bytes.

#include "engine/circuit/program.hpp"

#include <bit>
#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "engine/circuit/invalid_input.hpp"
#include "engine/base/failure.hpp"
#include "engine/state/register.hpp"

namespace korvel::circuit {

namespace {

// Field offsets within a record.
constexpr std::size_t kind_at = 0, target_at = 4, controls_at = 8, cond_mask_at = 16,
                      cond_value_at = 24, clbit_at = 32, reserved_at = 36, matrix_at = 40;

// Little-endian reads assembled byte by byte: any alignment, any host.
template <class Unsigned>
Unsigned read_le(const std::byte* at) {
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
        value |= static_cast<Unsigned>(std::to_integer<unsigned>(at[i])) << (8 * i);
    }
    return value;
}

std::string hex(std::uint64_t value) {
    constexpr char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 15]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

const char* kind_name(StepKind kind) {
    switch (kind) {
        case StepKind::gate: return "gate";
        case StepKind::measure: return "measure";
        case StepKind::reset: return "reset";
        case StepKind::jump: return "jump";
        case StepKind::set: return "set";
    }
    return "unknown";
}

const char* non_finite_name(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
}

std::string clbit_count(std::uint32_t clbits) {
    if (clbits == 0) return "there are no classical bits";
    return "there " + std::string(clbits == 1 ? "is " : "are ") + std::to_string(clbits) +
           (clbits == 1 ? " classical bit" : " classical bits");
}

class RecordReader {
public:
    RecordReader(const std::byte* record, std::size_t index) : record_(record), index_(index) {}

    std::uint32_t u32(std::size_t at) const { return read_le<std::uint32_t>(record_ + at); }
    std::uint64_t u64(std::size_t at) const { return read_le<std::uint64_t>(record_ + at); }
    double f64(std::size_t at) const { return std::bit_cast<double>(u64(at)); }
    std::byte byte(std::size_t at) const { return record_[at]; }

    [[noreturn]] void refuse(const std::string& what) const {
        throw InvalidInput("step " + std::to_string(index_) + ": " + what);
    }

private:
    const std::byte* record_;
    std::size_t index_;
};

QGate decode_matrix(const RecordReader& record) {
    static constexpr const char* entry_names[4] = {"M00", "M01", "M10", "M11"};
    Complex entries[4];
    for (std::size_t e = 0; e < 4; ++e) {
        const double real = record.f64(matrix_at + 16 * e);
        const double imag = record.f64(matrix_at + 16 * e + 8);
        if (!std::isfinite(real)) {
            record.refuse(std::string("matrix entry ") + entry_names[e] + " has a non-finite real part (" +
                          non_finite_name(real) + ")");
        }
        if (!std::isfinite(imag)) {
            record.refuse(std::string("matrix entry ") + entry_names[e] +
                          " has a non-finite imaginary part (" + non_finite_name(imag) + ")");
        }
        entries[e] = {real, imag};
    }
    return QGate::from_entries(entries[0], entries[1], entries[2], entries[3]);
}

// Where a form keeps the fields both forms share.
struct Fields {
    std::size_t kind, controls, cond_mask, cond_value, clbit, reserved;
};
constexpr Fields narrow_fields{kind_at, controls_at, cond_mask_at, cond_value_at, clbit_at, reserved_at};
constexpr Fields wide_fields{0, 16, 24, 32, 40, 44};

std::string qubit_count(std::uint32_t qubits) {
    return std::to_string(qubits) + (qubits == 1 ? " qubit" : " qubits");
}

// Jumps and set steps exist in the self-describing form only (`self_describing`).
StepKind read_kind(const RecordReader& record, const Fields& at, Steps allowed, bool self_describing = false) {
    const std::uint32_t raw_kind = record.u32(at.kind);
    if (raw_kind > (self_describing ? 4u : 2u)) {
        record.refuse(std::string(self_describing
                                      ? "kind must be 0 (gate), 1 (measure), 2 (reset), 3 (jump) or 4 (set), got "
                                      : "kind must be 0 (gate), 1 (measure) or 2 (reset), got ") +
                      std::to_string(raw_kind));
    }
    const auto kind = static_cast<StepKind>(raw_kind);
    if (allowed == Steps::gates_only && kind != StepKind::gate) {
        record.refuse(std::string("a ") + kind_name(kind) +
                      " step cannot run here: only gate steps evolve a State (run_shots runs measurements and resets)");
    }
    return kind;
}

// The fields after the targets, the same in both forms: controls, condition, clbit, reserved.
void read_common(const RecordReader& record, const Fields& at, Step& step, std::uint64_t targets,
                 std::uint32_t qubits, std::uint32_t clbits, Steps allowed) {
    const char* name = kind_name(step.kind);
    const std::uint64_t controls = record.u64(at.controls);
    if (step.kind != StepKind::gate && controls != 0) {
        record.refuse(std::string("controls must be 0 for a ") + name + " step, got " + hex(controls));
    }
    // qubits < 64 here: a target exists.
    if (const std::uint64_t outside = controls >> qubits; outside != 0) {
        const auto qubit = qubits + static_cast<std::uint32_t>(std::countr_zero(outside));
        record.refuse("controls " + hex(controls) + " name qubit " + std::to_string(qubit) + ", out of range for " +
                      qubit_count(qubits));
    }
    if (const std::uint64_t shared = controls & targets; shared != 0) {
        record.refuse("controls " + hex(controls) + " include the target qubit " +
                      std::to_string(std::countr_zero(shared)));
    }
    step.controls = controls;

    const std::uint64_t cond_mask = record.u64(at.cond_mask);
    if (allowed == Steps::gates_only && cond_mask != 0) {
        record.refuse("a conditional step cannot run here: a State has no classical bits (run_shots runs conditions)");
    }
    if (clbits < 64 && (cond_mask >> clbits) != 0) {
        const auto bit = clbits + static_cast<std::uint32_t>(std::countr_zero(cond_mask >> clbits));
        record.refuse("cond_mask " + hex(cond_mask) + " names classical bit " + std::to_string(bit) + ", but " +
                      clbit_count(clbits));
    }
    const std::uint64_t cond_value = record.u64(at.cond_value);
    if ((cond_value & ~cond_mask) != 0) {
        record.refuse("cond_value " + hex(cond_value) + " has bits outside cond_mask " + hex(cond_mask));
    }
    step.cond_mask = cond_mask;
    step.cond_value = cond_value;

    std::uint32_t clbit = record.u32(at.clbit);
    if (step.kind == StepKind::measure || step.kind == StepKind::set) {
        if (clbit >= clbits) {
            record.refuse("clbit " + std::to_string(clbit) + " is out of range: " + clbit_count(clbits));
        }
    } else if (step.kind == StepKind::jump) {
        // A jump's loop, checked by the caller against the step count.
        step.loop = clbit;
        clbit = 0;
    } else if (clbit != 0) {
        record.refuse(std::string("clbit must be 0 for a ") + name + " step, got " + std::to_string(clbit));
    }
    step.clbit = clbit;

    if (const std::uint32_t reserved = record.u32(at.reserved); reserved != 0) {
        record.refuse("reserved must be 0, got " + std::to_string(reserved));
    }
}

constexpr Complex zero{0.0, 0.0}, one{1.0, 0.0};
constexpr QGate identity = QGate::from_entries(one, zero, zero, one);

Step decode_step(const RecordReader& record, std::uint32_t qubits, std::uint32_t clbits, Steps allowed) {
    Step step{read_kind(record, narrow_fields, allowed), 0, 0, 0, 0, 0, identity, nullptr};
    const std::uint32_t target = record.u32(target_at);
    if (target >= qubits) {
        record.refuse("target " + std::to_string(target) + " is out of range for " + qubit_count(qubits));
    }
    step.target = target;
    read_common(record, narrow_fields, step, std::uint64_t{1} << target, qubits, clbits, allowed);
    if (step.kind == StepKind::gate) step.gate = decode_matrix(record);
    return step;
}

// Record k of the `step_count` records of the self-describing form; `entries` points at the E
// matrix entries after the records.
Step decode_wide_step(const RecordReader& record, std::uint32_t qubits, std::uint32_t clbits, Steps allowed,
                      const std::byte* entries, std::uint64_t entry_count, std::uint64_t k, std::uint64_t step_count) {
    Step step{read_kind(record, wide_fields, allowed, true), 0, 0, 0, 0, 0, identity, nullptr};
    const std::uint32_t width = record.u32(4);
    const std::uint32_t wanted = step.kind == StepKind::jump || step.kind == StepKind::set ? 0 : 1;
    if (step.kind == StepKind::gate ? (width < 1 || width > max_wide_targets) : width != wanted) {
        record.refuse(step.kind == StepKind::gate
                          ? "width must be between 1 and " + std::to_string(max_wide_targets) + " for a gate step, got " +
                                std::to_string(width)
                          : "width must be " + std::to_string(wanted) + " for a " + kind_name(step.kind) +
                                " step, got " + std::to_string(width));
    }
    std::array<std::uint32_t, max_wide_targets> targets{};
    std::uint64_t target_mask = 0;
    for (std::uint32_t j = 0; j < 8; ++j) {
        const auto target = std::to_integer<std::uint32_t>(record.byte(8 + j));
        if (j >= width) {
            if (target != 0) record.refuse("targets[" + std::to_string(j) + "] must be 0 for a step of width " +
                                           std::to_string(width) + ", got " + std::to_string(target));
            continue;
        }
        if (target >= qubits) {
            record.refuse("targets[" + std::to_string(j) + "] = " + std::to_string(target) + " is out of range for " +
                          qubit_count(qubits));
        }
        if ((target_mask >> target) & 1) {
            record.refuse("targets[" + std::to_string(j) + "] repeats qubit " + std::to_string(target));
        }
        targets[j] = target;
        target_mask |= std::uint64_t{1} << target;
    }
    step.target = targets[0];
    read_common(record, wide_fields, step, target_mask, qubits, clbits, allowed);
    if (const std::uint64_t reserved = record.u64(56); reserved != 0) {
        record.refuse("the reserved field at offset 56 must be 0, got " + hex(reserved));
    }
    const std::uint64_t first = record.u64(48);
    if (step.kind == StepKind::jump) {
        if (first > step_count) {
            record.refuse("matrix (the step a jump continues at) is " + std::to_string(first) +
                          ", out of range for a program of " + std::to_string(step_count) + " steps");
        }
        if (first == k) record.refuse("matrix (the step a jump continues at) is the jump itself");
        if (step.loop >= step_count) {
            record.refuse("clbit (the loop of a jump) is " + std::to_string(step.loop) +
                          ", not below the program's " + std::to_string(step_count) + " steps");
        }
        step.jump_to = first;
        return step;
    }
    if (step.kind == StepKind::set) {
        if (first > 1) record.refuse("matrix (the value a set step writes) must be 0 or 1, got " + std::to_string(first));
        step.value = static_cast<std::uint32_t>(first);
        return step;
    }
    if (step.kind != StepKind::gate) {
        if (first != 0) {
            record.refuse(std::string("matrix must be 0 for a ") + kind_name(step.kind) + " step, got " +
                          std::to_string(first));
        }
        return step;
    }
    const std::uint64_t count = std::uint64_t{1} << (2 * width);
    if (first > entry_count || entry_count - first < count) {
        // An index near 2^64 would wrap as first + count − 1: its last entry is then written as a sum.
        const std::string last = first <= ~std::uint64_t{0} - (count - 1)
                                     ? std::to_string(first + count - 1)
                                     : std::to_string(first) + " + " + std::to_string(count - 1);
        record.refuse("matrix entries " + std::to_string(first) + " to " + last +
                      " lie outside the program's " + std::to_string(entry_count) + " entries");
    }
    std::array<Complex, std::size_t{1} << (2 * max_wide_targets)> matrix;
    const std::uint32_t dimension = 1u << width;
    for (std::uint64_t e = 0; e < count; ++e) {
        const std::byte* at = entries + 16 * (first + e);
        const double real = std::bit_cast<double>(read_le<std::uint64_t>(at));
        const double imag = std::bit_cast<double>(read_le<std::uint64_t>(at + 8));
        for (const auto& [part, value] : {std::pair{"real", real}, std::pair{"imaginary", imag}}) {
            if (!std::isfinite(value)) {
                record.refuse("matrix entry (" + std::to_string(e / dimension) + ", " + std::to_string(e % dimension) +
                              ") has a non-finite " + part + " part (" + non_finite_name(value) + ")");
            }
        }
        matrix[e] = {real, imag};
    }
    if (width == 1) {
        step.gate = QGate::from_entries(matrix[0], matrix[1], matrix[2], matrix[3]);
        return step;
    }
    try {
        step.wide = std::make_shared<const WideGate>(std::span(targets).first(width),
                                                     std::span(matrix).first(count));
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(count * sizeof(Complex) * 3);
    }
    return step;
}

std::vector<Step> reserve_steps(std::size_t count) {
    std::vector<Step> steps;
    try {
        steps.reserve(count);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(count * sizeof(Step));
    }
    return steps;
}

std::vector<Step> decode_wide_program(std::span<const std::byte> bytes, std::uint32_t qubits, std::uint32_t clbits,
                                      Steps allowed) {
    if (bytes.size() < wide_header_size) {
        throw InvalidInput("header: incomplete: the program has " + std::to_string(bytes.size()) + " bytes, fewer than the " +
                           std::to_string(wide_header_size) + "-byte header");
    }
    const std::uint32_t version = read_le<std::uint32_t>(bytes.data() + 4);
    if (version != wide_program_version) {
        throw InvalidInput("header: version must be " + std::to_string(wide_program_version) + ", got " +
                           std::to_string(version));
    }
    const std::uint64_t count = read_le<std::uint32_t>(bytes.data() + 8);
    const std::uint64_t entry_count = read_le<std::uint32_t>(bytes.data() + 12);
    const std::uint64_t expected = wide_header_size + wide_step_size * count + 16 * entry_count;
    if (bytes.size() != expected) {
        throw InvalidInput("header: " + std::to_string(count) + " steps and " + std::to_string(entry_count) +
                           " matrix entries take " + std::to_string(expected) + " bytes, but the program has " +
                           std::to_string(bytes.size()));
    }
    std::vector<Step> steps = reserve_steps(count);
    const std::byte* records = bytes.data() + wide_header_size;
    const std::byte* entries = records + wide_step_size * count;
    for (std::size_t k = 0; k < count; ++k) {
        steps.push_back(decode_wide_step(RecordReader(records + k * wide_step_size, k), qubits, clbits, allowed,
                                         entries, entry_count, k, count));
    }
    return steps;
}

}  // namespace

std::vector<Step> decode_program(std::span<const std::byte> bytes, std::uint32_t qubits,
                                 std::uint32_t clbits, Steps allowed) {
    if (qubits >= max_qubits_exclusive) {
        throw InvalidInput("num_qubits must be between 0 and " + std::to_string(max_qubits_exclusive - 1) +
                           ", got " + std::to_string(qubits));
    }
    if (clbits > max_clbits) {
        throw InvalidInput("num_clbits must be between 0 and 64, got " + std::to_string(clbits));
    }
    if (bytes.size() >= 4 && read_le<std::uint32_t>(bytes.data()) == wide_program_magic) {
        return decode_wide_program(bytes, qubits, clbits, allowed);
    }
    const std::size_t count = bytes.size() / step_size;
    if (bytes.size() % step_size != 0) {
        throw InvalidInput("step " + std::to_string(count) + ": incomplete record: the program has " +
                           std::to_string(bytes.size()) + " bytes, not a multiple of the " +
                           std::to_string(step_size) + "-byte step size");
    }
    std::vector<Step> steps = reserve_steps(count);
    for (std::size_t k = 0; k < count; ++k) {
        steps.push_back(decode_step(RecordReader(bytes.data() + k * step_size, k), qubits, clbits, allowed));
    }
    return steps;
}

}  // namespace korvel::circuit
