// The adjoint method's forward run and backward sweeps, on the engine's gate sequences and its
// deterministic parallel passes.

#include "engine/circuit/adjoint.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/circuit/circuit_state.hpp"
#include "engine/circuit/engine_work.hpp"
#include "engine/circuit/invalid_input.hpp"
#include "engine/base/failure.hpp"
#include "engine/sequence/gate_sequence.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/state/register.hpp"

namespace korvel::circuit {

namespace {

std::uint64_t read_u64(const std::byte* at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(std::to_integer<unsigned>(at[i])) << (8 * i);
    return value;
}

std::string qubit_phrase(std::uint32_t qubits) {
    return std::to_string(qubits) + (qubits == 1 ? " qubit" : " qubits");
}

template <class T>
void reserve_or_fail(std::vector<T>& values, std::size_t count) {
    try {
        values.reserve(count);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(count * sizeof(T));
    }
}

// A term with its phase i^popcount(x & z) folded into the coefficient: (Pψ)[k] is then
// weight · (-1)^popcount((k ^ x) & z) · ψ[k ^ x].
struct WeightedTerm {
    std::uint64_t x;
    std::uint64_t z;
    Complex weight;
};

std::vector<WeightedTerm> weighted(std::span<const PauliTerm> terms, double scale = 1.0) {
    static constexpr Complex phases[4] = {{1.0, 0.0}, {0.0, 1.0}, {-1.0, 0.0}, {0.0, -1.0}};
    std::vector<WeightedTerm> out;
    reserve_or_fail(out, terms.size());
    for (const PauliTerm& term : terms) {
        const Complex phase = phases[std::popcount(term.x & term.z) & 3];
        const double c = scale * term.coefficient;
        out.push_back({term.x, term.z, {c * phase.real, c * phase.imag}});
    }
    return out;
}

// (Σ_t P_t) ψ at index k, the terms added in their order.
Complex pauli_sum_at(std::span<const Complex> psi, std::span<const WeightedTerm> terms, std::uint64_t k) {
    Complex sum{0.0, 0.0};
    for (const WeightedTerm& term : terms) {
        const std::uint64_t source = k ^ term.x;
        Complex value = term.weight * psi[source];
        if ((std::popcount(source & term.z) & 1) != 0) value = {-value.real, -value.imag};
        sum = sum + value;
    }
    return sum;
}

// A grain for passes whose elements each read one amplitude per term.
std::uint64_t term_grain(std::size_t terms) { return serial_grain(1 + static_cast<std::uint64_t>(terms)); }

// out = (Σ_t P_t) psi, element by element.
void apply_pauli_sum(const Register& psi, std::span<const WeightedTerm> terms, Register& out) {
    out.state().locked([&](std::span<Complex> target) {
        psi.state().locked_read([&](std::span<const Complex> source) {
            parallel_for_ranges(0, target.size(), term_grain(terms.size()), [&](std::uint64_t first, std::uint64_t last) {
                for (std::uint64_t k = first; k < last; ++k) target[k] = pauli_sum_at(source, terms, k);
            });
        });
    });
}

void copy_state(const Register& from, Register& to) {
    to.state().locked([&](std::span<Complex> target) {
        from.state().locked_read([&](std::span<const Complex> source) {
            parallel_for_ranges(0, target.size(), serial_grain(1), [&](std::uint64_t first, std::uint64_t last) {
                std::memcpy(target.data() + first, source.data() + first, (last - first) * sizeof(Complex));
            });
        });
    });
}

// Re <a|b>, in pieces summed in the reduction's fixed order.
double real_inner(const Register& a, const Register& b) {
    return a.state().locked_read([&](std::span<const Complex> left) {
        return b.state().locked_read([&](std::span<const Complex> right) {
            return parallel_reduce_ranges(
                0, left.size(), serial_grain(2), 0.0,
                [&](std::uint64_t first, std::uint64_t last, double sum) {
                    for (std::uint64_t k = first; k < last; ++k) {
                        sum += left[k].real * right[k].real + left[k].imag * right[k].imag;
                    }
                    return sum;
                },
                [](double l, double r) { return l + r; });
        });
    });
}

// Im <bra| G |ket> for the Pauli sum G.
double imaginary_sandwich(const Register& bra, std::span<const WeightedTerm> generator, const Register& ket) {
    return bra.state().locked_read([&](std::span<const Complex> left) {
        return ket.state().locked_read([&](std::span<const Complex> right) {
            return parallel_reduce_ranges(
                0, left.size(), term_grain(generator.size()), 0.0,
                [&](std::uint64_t first, std::uint64_t last, double sum) {
                    for (std::uint64_t k = first; k < last; ++k) {
                        const Complex g = pauli_sum_at(right, generator, k);
                        sum += left[k].real * g.imag - left[k].imag * g.real;
                    }
                    return sum;
                },
                [](double l, double r) { return l + r; });
        });
    });
}

// The program's gates undone in reverse order, each as its conjugate transpose: inverse[r]
// undoes step N - 1 - r, so undoing steps [first, last) is the run from N - last to N - first.
class InverseGates {
public:
    explicit InverseGates(std::span<const Step> steps) {
        reserve_or_fail(gates_, steps.size());
        for (std::size_t r = steps.size(); r-- > 0;) {
            const Step& step = steps[r];
            if (step.wide) {
                gates_.push_back(SequenceGate{step.gate, step.target, step.controls, adjoint_of(*step.wide)});
                continue;
            }
            const QGate& m = step.gate;
            const QGate inverse = QGate::from_entries(conj(m.entry(0, 0)), conj(m.entry(1, 0)), conj(m.entry(0, 1)),
                                                      conj(m.entry(1, 1)));
            gates_.push_back(SequenceGate{inverse, step.target, step.controls});
        }
    }

    std::span<const SequenceGate> undoing(std::size_t first, std::size_t last) const {
        return std::span<const SequenceGate>(gates_).subspan(gates_.size() - last, last - first);
    }

private:
    // The conjugate transpose of a gate on several targets, kept alive beside the sequence.
    const WideGate* adjoint_of(const WideGate& gate) {
        const std::uint32_t d = gate.dimension();
        std::vector<Complex> matrix(std::size_t{d} * d);
        for (std::uint32_t row = 0; row < d; ++row) {
            for (std::uint32_t column = 0; column < d; ++column) matrix[std::size_t{row} * d + column] = conj(gate.entry(column, row));
        }
        std::array<std::uint32_t, max_wide_targets> targets{};
        for (std::uint32_t j = 0; j < gate.width(); ++j) targets[j] = gate.target(j);
        try {
            wide_.push_back(std::make_unique<const WideGate>(std::span(targets).first(gate.width()), matrix));
        } catch (const std::bad_alloc&) {
            throw AllocationFailure(matrix.size() * sizeof(Complex) * 3);
        }
        return wide_.back().get();
    }

    std::vector<SequenceGate> gates_;
    std::vector<std::unique_ptr<const WideGate>> wide_;
};

// The backward sweep: ket holds ψ and bra the bra state λ = B ψ on entry; out[j] receives
// 2 Im <λ_j|G_j|φ_j>. Both states are consumed.
void sweep(const AdjointProgram& program, const InverseGates& inverse,
           std::span<const std::vector<WeightedTerm>> generators, Register& ket, Register& bra,
           std::span<double> out) {
    std::size_t end = program.steps.size();
    for (std::size_t j = program.parametrised.size(); j-- > 0;) {
        const std::size_t position = program.parametrised[j];
        const auto undo = inverse.undoing(position + 1, end);
        if (!undo.empty()) {
            apply_gate_sequence(ket, undo);
            apply_gate_sequence(bra, undo);
        }
        out[j] = 2.0 * imaginary_sandwich(bra, generators[j], ket);
        end = position + 1;
    }
}

std::vector<std::vector<WeightedTerm>> weighted_generators(const AdjointProgram& program) {
    std::vector<std::vector<WeightedTerm>> out;
    reserve_or_fail(out, program.generators.count());
    for (std::size_t j = 0; j < program.generators.count(); ++j) out.push_back(weighted(program.generators.sum(j)));
    return out;
}

Register forward(const AdjointProgram& program) {
    Register psi = Register::create(program.qubits);
    run_gate_steps(psi, program.steps, 0);
    return psi;
}

}  // namespace

PauliSums decode_pauli_terms(std::span<const std::byte> bytes, const char* name, std::size_t groups,
                             std::uint32_t qubits) {
    const std::size_t count = bytes.size() / pauli_term_size;
    if (bytes.size() % pauli_term_size != 0) {
        throw InvalidInput(std::string(name) + "[" + std::to_string(count) + "]: incomplete record: " +
                           std::to_string(bytes.size()) + " bytes, not a multiple of the " +
                           std::to_string(pauli_term_size) + "-byte term size");
    }
    PauliSums sums;
    reserve_or_fail(sums.terms, count);
    reserve_or_fail(sums.offsets, groups + 1);
    std::uint64_t group = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::byte* record = bytes.data() + k * pauli_term_size;
        const std::string at = std::string(name) + "[" + std::to_string(k) + "]: ";
        const PauliTerm term{read_u64(record), read_u64(record + 8), std::bit_cast<double>(read_u64(record + 16))};
        const std::uint64_t term_group = read_u64(record + 24);
        for (const auto& [mask_name, mask] : {std::pair{"x", term.x}, std::pair{"z", term.z}}) {
            if (qubits < 64 && (mask >> qubits) != 0) {
                const auto qubit = qubits + static_cast<std::uint32_t>(std::countr_zero(mask >> qubits));
                throw InvalidInput(at + mask_name + " mask names qubit " + std::to_string(qubit) + ", out of range for " +
                                   qubit_phrase(qubits));
            }
        }
        if (!std::isfinite(term.coefficient)) {
            throw InvalidInput(at + "coefficient must be finite, got " +
                               (std::isnan(term.coefficient) ? std::string("nan")
                                                             : term.coefficient > 0 ? "inf" : "-inf"));
        }
        if (term_group >= groups) {
            throw InvalidInput(at + "group " + std::to_string(term_group) + " is out of range for " +
                               std::to_string(groups) + (groups == 1 ? " sum" : " sums"));
        }
        if (term_group < group) {
            throw InvalidInput(at + "group " + std::to_string(term_group) + " follows group " + std::to_string(group) +
                               ": terms must be grouped in ascending order");
        }
        while (group < term_group) {
            sums.offsets.push_back(sums.terms.size());
            ++group;
        }
        sums.terms.push_back(term);
    }
    while (sums.offsets.size() < groups + 1) sums.offsets.push_back(sums.terms.size());
    return sums;
}

void check_adjoint_program(const AdjointProgram& program) {
    const std::size_t steps = program.steps.size();
    for (std::size_t j = 0; j < program.parametrised.size(); ++j) {
        const std::uint64_t position = program.parametrised[j];
        if (position >= steps) {
            throw InvalidInput("parametrised_steps[" + std::to_string(j) + "] is " + std::to_string(position) +
                               ", out of range for a program of " + std::to_string(steps) +
                               (steps == 1 ? " step" : " steps"));
        }
        if (j > 0 && position <= program.parametrised[j - 1]) {
            throw InvalidInput("parametrised_steps[" + std::to_string(j) + "] is " + std::to_string(position) +
                               ": the positions must be strictly ascending");
        }
    }
    if (program.generators.count() != program.parametrised.size()) {
        throw InvalidInput("generators holds " + std::to_string(program.generators.count()) + " sums for " +
                           std::to_string(program.parametrised.size()) + " parametrised steps");
    }
    for (std::size_t j = 0; j < program.parametrised.size(); ++j) {
        const Step& step = program.steps[program.parametrised[j]];
        const std::uint64_t support = (step.wide ? step.wide->target_mask() : std::uint64_t{1} << step.target) | step.controls;
        for (std::size_t t = program.generators.offsets[j]; t < program.generators.offsets[j + 1]; ++t) {
            const PauliTerm& term = program.generators.terms[t];
            if (const std::uint64_t outside = (term.x | term.z) & ~support; outside != 0) {
                throw InvalidInput("generators[" + std::to_string(t) + "] acts on qubit " +
                                   std::to_string(std::countr_zero(outside)) + ", outside the target and controls of step " +
                                   std::to_string(program.parametrised[j]));
            }
        }
    }
}

void adjoint_jacobian(const AdjointProgram& program, const PauliSums& observables, std::span<double> values,
                      std::span<double> jacobian) {
    EngineWork work;
    const std::size_t count = observables.count();
    const std::size_t width = program.parametrised.size();
    if (count == 0) return;
    const auto generators = weighted_generators(program);
    const InverseGates inverse(program.steps);
    Register psi = forward(program);
    Register bra = Register::create(program.qubits);
    // The last observable sweeps ψ itself; the others sweep a copy of it.
    std::optional<Register> ket;
    if (count > 1) ket.emplace(Register::create(program.qubits));
    for (std::size_t o = 0; o < count; ++o) {
        apply_pauli_sum(psi, weighted(observables.sum(o)), bra);
        values[o] = real_inner(psi, bra);
        const bool last = o + 1 == count;
        if (!last) copy_state(psi, *ket);
        sweep(program, inverse, generators, last ? psi : *ket, bra, jacobian.subspan(o * width, width));
    }
}

void adjoint_vjp(const AdjointProgram& program, const PauliSums& observables, std::span<const double> cotangent,
                 std::span<double> out) {
    if (cotangent.size() != observables.count()) {
        throw InvalidInput("cotangent has " + std::to_string(cotangent.size()) + " elements for " +
                           std::to_string(observables.count()) + " observables");
    }
    for (std::size_t o = 0; o < cotangent.size(); ++o) {
        if (!std::isfinite(cotangent[o])) {
            throw InvalidInput("cotangent[" + std::to_string(o) + "] must be finite, got " +
                               (std::isnan(cotangent[o]) ? std::string("nan") : cotangent[o] > 0 ? "inf" : "-inf"));
        }
    }
    EngineWork work;
    std::vector<WeightedTerm> combined;
    reserve_or_fail(combined, observables.terms.size());
    for (std::size_t o = 0; o < observables.count(); ++o) {
        if (cotangent[o] == 0.0) continue;
        for (const WeightedTerm& term : weighted(observables.sum(o), cotangent[o])) combined.push_back(term);
    }
    if (combined.empty()) {
        for (double& value : out) value = 0.0;
        return;
    }
    const auto generators = weighted_generators(program);
    const InverseGates inverse(program.steps);
    Register psi = forward(program);
    Register bra = Register::create(program.qubits);
    apply_pauli_sum(psi, combined, bra);
    sweep(program, inverse, generators, psi, bra, out);
}

}  // namespace korvel::circuit
