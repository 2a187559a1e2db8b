// Decoding and validation of circuit programs from raw bytes.

#include "engine/circuit/program.hpp"

#include <bit>
#include <cmath>
#include <new>
#include <string>

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

Step decode_step(const RecordReader& record, std::uint32_t qubits, std::uint32_t clbits, Steps allowed) {
    const std::uint32_t raw_kind = record.u32(kind_at);
    if (raw_kind > 2) {
        record.refuse("kind must be 0 (gate), 1 (measure) or 2 (reset), got " + std::to_string(raw_kind));
    }
    const auto kind = static_cast<StepKind>(raw_kind);
    const char* name = kind_name(kind);
    if (allowed == Steps::gates_only && kind != StepKind::gate) {
        record.refuse(std::string("a ") + name +
                      " step cannot run here: only gate steps evolve a State (run_shots runs measurements and resets)");
    }

    const std::uint32_t target = record.u32(target_at);
    if (target >= qubits) {
        record.refuse("target " + std::to_string(target) + " is out of range for " +
                      std::to_string(qubits) + (qubits == 1 ? " qubit" : " qubits"));
    }

    const std::uint64_t controls = record.u64(controls_at);
    if (kind != StepKind::gate && controls != 0) {
        record.refuse(std::string("controls must be 0 for a ") + name + " step, got " + hex(controls));
    }
    // qubits < 64 here: a target exists.
    if (const std::uint64_t outside = controls >> qubits; outside != 0) {
        const auto qubit = qubits + static_cast<std::uint32_t>(std::countr_zero(outside));
        record.refuse("controls " + hex(controls) + " name qubit " + std::to_string(qubit) +
                      ", out of range for " + std::to_string(qubits) + (qubits == 1 ? " qubit" : " qubits"));
    }
    if (((controls >> target) & 1) != 0) {
        record.refuse("controls " + hex(controls) + " include the target qubit " + std::to_string(target));
    }

    const std::uint64_t cond_mask = record.u64(cond_mask_at);
    if (allowed == Steps::gates_only && cond_mask != 0) {
        record.refuse("a conditional step cannot run here: a State has no classical bits (run_shots runs conditions)");
    }
    if (clbits < 64 && (cond_mask >> clbits) != 0) {
        const auto bit = clbits + static_cast<std::uint32_t>(std::countr_zero(cond_mask >> clbits));
        record.refuse("cond_mask " + hex(cond_mask) + " names classical bit " + std::to_string(bit) +
                      ", but " + clbit_count(clbits));
    }
    const std::uint64_t cond_value = record.u64(cond_value_at);
    if ((cond_value & ~cond_mask) != 0) {
        record.refuse("cond_value " + hex(cond_value) + " has bits outside cond_mask " + hex(cond_mask));
    }

    const std::uint32_t clbit = record.u32(clbit_at);
    if (kind == StepKind::measure) {
        if (clbit >= clbits) {
            record.refuse("clbit " + std::to_string(clbit) + " is out of range: " + clbit_count(clbits));
        }
    } else if (clbit != 0) {
        record.refuse(std::string("clbit must be 0 for a ") + name + " step, got " + std::to_string(clbit));
    }

    if (const std::uint32_t reserved = record.u32(reserved_at); reserved != 0) {
        record.refuse("reserved must be 0, got " + std::to_string(reserved));
    }

    constexpr Complex zero{0.0, 0.0}, one{1.0, 0.0};
    const QGate gate = kind == StepKind::gate ? decode_matrix(record) : QGate::from_entries(one, zero, zero, one);
    return Step{kind, target, controls, cond_mask, cond_value, clbit, gate};
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
    const std::size_t count = bytes.size() / step_size;
    if (bytes.size() % step_size != 0) {
        throw InvalidInput("step " + std::to_string(count) + ": incomplete record: the program has " +
                           std::to_string(bytes.size()) + " bytes, not a multiple of the " +
                           std::to_string(step_size) + "-byte step size");
    }
    std::vector<Step> steps;
    try {
        steps.reserve(count);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(count * sizeof(Step));
    }
    for (std::size_t k = 0; k < count; ++k) {
        steps.push_back(decode_step(RecordReader(bytes.data() + k * step_size, k), qubits, clbits, allowed));
    }
    return steps;
}

}  // namespace korvel::circuit
