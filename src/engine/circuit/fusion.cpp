// Grouping runs of gates by the qubits they act on, and the products of the groups' matrices.

#include "engine/circuit/fusion.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>

#include "engine/base/failure.hpp"
#include "engine/gates/gate_kind.hpp"

namespace korvel::circuit {

namespace {

constexpr std::uint32_t fused_dimension = 1u << max_fused_qubits;

std::uint64_t footprint(const Step& step) {
    return step.controls | (step.wide ? step.wide->target_mask() : std::uint64_t{1} << step.target);
}

// The sweeps a step costs in a block (see max_fused_qubits).
double cost(const Step& step) {
    if (step.wide) {
        if (step.wide->kind() == WideKind::dense) return step.wide->width() == 2 ? 0.9 : 1.8 * (step.wide->width() - 2);
        return 0.5;
    }
    const GateKind kind = step.gate.kind();
    return kind == GateKind::general || kind == GateKind::real || kind == GateKind::anti_diagonal ? 0.35 : 0.2;
}

// The fused gate's cost by the kind its matrix will have: diagonal products stay diagonal.
double fused_cost(bool diagonal, std::uint32_t width) {
    if (width == 1) return diagonal ? 0.2 : 0.35;
    return diagonal ? 0.5 : 0.9;
}

bool is_diagonal_step(const Step& step) {
    return step.wide ? step.wide->kind() == WideKind::diagonal : is_diagonal(step.gate.kind());
}

using Matrix = std::array<Complex, fused_dimension * fused_dimension>;

// The register bits of row or column `index` of a gate on `qubits`.
std::uint64_t register_bits(std::span<const std::uint32_t> qubits, std::uint32_t index) {
    std::uint64_t bits = 0;
    for (std::uint32_t j = 0; j < qubits.size(); ++j) bits |= std::uint64_t((index >> j) & 1) << qubits[j];
    return bits;
}

// Row r, column c of `step` as a gate on the group's `qubits` (ascending, bit j of an index is
// qubits[j]), controls included: the identity where a control is 0.
Complex expanded_entry(const Step& step, std::span<const std::uint32_t> qubits, std::uint32_t r, std::uint32_t c) {
    const std::uint64_t row = register_bits(qubits, r), column = register_bits(qubits, c);
    const std::uint64_t targets = step.wide ? step.wide->target_mask() : std::uint64_t{1} << step.target;
    if ((row & ~targets) != (column & ~targets)) return {0.0, 0.0};
    if ((column & step.controls) != step.controls) return {row == column ? 1.0 : 0.0, 0.0};
    if (!step.wide) {
        const auto bit = [&](std::uint64_t bits) { return static_cast<int>((bits >> step.target) & 1); };
        return step.gate.entry(bit(row), bit(column));
    }
    std::uint32_t wide_row = 0, wide_column = 0;
    for (std::uint32_t j = 0; j < step.wide->width(); ++j) {
        wide_row |= static_cast<std::uint32_t>((row >> step.wide->target(j)) & 1) << j;
        wide_column |= static_cast<std::uint32_t>((column >> step.wide->target(j)) & 1) << j;
    }
    return step.wide->entry(wide_row, wide_column);
}

// The step that replaces a group: on its lowest qubit for one qubit, else a wide gate.
Step replacing_step(const Step& first, std::span<const std::uint32_t> qubits, std::span<const Complex> matrix) {
    Step out = first;
    out.controls = 0;
    out.target = qubits[0];
    out.wide.reset();
    if (qubits.size() == 1) {
        out.gate = QGate::from_entries(matrix[0], matrix[1], matrix[2], matrix[3]);
        return out;
    }
    try {
        out.wide = std::make_shared<const WideGate>(qubits, matrix);
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(sizeof(WideGate) + 3 * matrix.size() * sizeof(Complex));
    }
    return out;
}

// The product of diagonal members, entry by entry in program order: e = d_last ⋯ d_first.
Step fused_diagonal_step(const std::vector<Step>& steps, const std::vector<std::size_t>& members,
                         std::span<const std::uint32_t> qubits) {
    const std::uint32_t d = 1u << qubits.size();
    std::array<Complex, (std::size_t{1} << max_fused_diagonal_qubits) * (std::size_t{1} << max_fused_diagonal_qubits)>
        matrix{};
    for (std::uint32_t r = 0; r < d; ++r) {
        Complex product{1.0, 0.0};
        for (const std::size_t m : members) product = expanded_entry(steps[m], qubits, r, r) * product;
        matrix[std::size_t{r} * d + r] = product;
    }
    return replacing_step(steps[members.front()], qubits, std::span<const Complex>(matrix.data(), std::size_t{d} * d));
}

// The product of the members' matrices in program order, M = U_last ⋯ U_first, each entry a
// sum over k ascending of the engine's own products.
Step fused_step(const std::vector<Step>& steps, const std::vector<std::size_t>& members, std::uint64_t qubit_mask,
                bool diagonal) {
    std::array<std::uint32_t, max_fused_diagonal_qubits> qubits{};
    std::uint32_t width = 0;
    for (std::uint64_t rest = qubit_mask; rest != 0; rest &= rest - 1) qubits[width++] = std::countr_zero(rest);
    const auto held = std::span<const std::uint32_t>(qubits).first(width);
    if (diagonal) return fused_diagonal_step(steps, members, held);
    const std::uint32_t d = 1u << width;
    Matrix product{};
    for (std::uint32_t i = 0; i < d; ++i) product[i * d + i] = {1.0, 0.0};
    for (const std::size_t m : members) {
        Matrix next{};
        for (std::uint32_t r = 0; r < d; ++r) {
            for (std::uint32_t c = 0; c < d; ++c) {
                Complex sum{0.0, 0.0};
                for (std::uint32_t k = 0; k < d; ++k) sum = sum + expanded_entry(steps[m], held, r, k) * product[k * d + c];
                next[r * d + c] = sum;
            }
        }
        product = next;
    }
    return replacing_step(steps[members.front()], held, std::span<const Complex>(product.data(), std::size_t{d} * d));
}

struct Group {
    std::uint64_t qubits;
    std::vector<std::size_t> members;  // ascending step indices
    bool diagonal;                     // every member diagonal
};

class Fuser {
public:
    Fuser(const std::vector<Step>& steps, std::vector<Step>& out) : steps_(steps), out_(out) {}

    void add(std::size_t index) {
        const std::uint64_t on = footprint(steps_[index]);
        const bool step_diagonal = is_diagonal_step(steps_[index]);
        std::uint64_t merged = on;
        bool diagonal = step_diagonal;
        for (const Group& group : open_) {
            if (group.qubits & on) {
                merged |= group.qubits;
                diagonal = diagonal && group.diagonal;
            }
        }
        const std::uint32_t most = diagonal ? max_fused_diagonal_qubits : max_fused_qubits;
        if (std::popcount(merged) > static_cast<int>(most)) {
            if (step_diagonal) {
                // The gates before it on its qubits that compute go first; it may still join
                // the diagonal runs it touches.
                close_touching(on, /*keep_diagonal=*/true);
                merged = on;
                for (const Group& group : open_) {
                    if (group.qubits & on) merged |= group.qubits;
                }
                diagonal = true;
            }
            if (!step_diagonal || std::popcount(merged) > static_cast<int>(max_fused_diagonal_qubits)) {
                close_touching(on);
                open_.push_back(Group{on, {index}, step_diagonal});
                return;
            }
        }
        Group joined{merged, {}, diagonal};
        std::vector<Group> kept;
        for (Group& group : open_) {
            if (group.qubits & on) {
                joined.members.insert(joined.members.end(), group.members.begin(), group.members.end());
            } else {
                kept.push_back(std::move(group));
            }
        }
        std::sort(joined.members.begin(), joined.members.end());
        joined.members.push_back(index);
        kept.push_back(std::move(joined));
        open_ = std::move(kept);
    }

    void close_all() { close_touching(~std::uint64_t{0}); }

private:
    // Emits the open groups that share a qubit with `on` (all but the diagonal ones with
    // `keep_diagonal`), ordered by their first member. The groups left open share no qubit with
    // them, so every gate commutes with the ones it passes.
    void close_touching(std::uint64_t on, bool keep_diagonal = false) {
        std::vector<Group> closing, kept;
        for (Group& group : open_) {
            const bool closes = (group.qubits & on) != 0 && !(keep_diagonal && group.diagonal);
            (closes ? closing : kept).push_back(std::move(group));
        }
        std::sort(closing.begin(), closing.end(),
                  [](const Group& a, const Group& b) { return a.members.front() < b.members.front(); });
        for (const Group& group : closing) emit(group);
        open_ = std::move(kept);
    }

    void emit(const Group& group) {
        double separate = 0.0;
        for (const std::size_t m : group.members) separate += cost(steps_[m]);
        const auto width = static_cast<std::uint32_t>(std::popcount(group.qubits));
        if (group.members.size() == 1 || fused_cost(group.diagonal, width) >= separate) {
            for (const std::size_t m : group.members) out_.push_back(steps_[m]);
            return;
        }
        out_.push_back(fused_step(steps_, group.members, group.qubits, group.diagonal));
    }

    const std::vector<Step>& steps_;
    std::vector<Step>& out_;
    std::vector<Group> open_;
};

}  // namespace

std::vector<Step> fuse_steps(const std::vector<Step>& steps) {
    try {
        // A jump's target starts a run of its own, so no fused step reaches across it; `moved`
        // gives each target's place in the fused program.
        std::vector<bool> target(steps.size() + 1, false);
        for (const Step& step : steps) {
            if (step.kind == StepKind::jump) target[step.jump_to] = true;
        }
        std::vector<std::size_t> moved(steps.size() + 1, 0);
        std::vector<Step> out;
        out.reserve(steps.size());
        Fuser fuser(steps, out);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            if (target[i]) {
                fuser.close_all();
                moved[i] = out.size();
            }
            if (step.kind == StepKind::gate && !step.conditional()) {
                fuser.add(i);
                continue;
            }
            // A measurement, a reset, a jump, a set step or a condition ends the run: what came before it goes first.
            fuser.close_all();
            out.push_back(step);
        }
        fuser.close_all();
        moved[steps.size()] = out.size();
        for (Step& step : out) {
            if (step.kind == StepKind::jump) step.jump_to = moved[step.jump_to];
        }
        return out;
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(steps.size() * sizeof(Step));
    }
}

}  // namespace korvel::circuit
