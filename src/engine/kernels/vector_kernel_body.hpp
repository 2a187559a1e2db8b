#pragma once

// The loops of the vectorised gate kernels, written once over an instruction set's operations
// (Ops). Included only by kernels/avx2.cpp and kernels/avx512.cpp, after they switch the compiler to that set; Ops
// lives in their anonymous namespace, so every instantiation stays inside its file.
//
// Exactness: (a0, a1) becomes (M00·a0 + M01·a1, M10·a0 + M11·a1) with the products of the
// scalar loop. For an entry x + iy and an amplitude u + iv, re·(u, v) + ims·(v, u) with
// re = (x, x) and ims = (−y, y) gives (x·u + (−y)·v, x·v + y·u): (−y)·v is exactly −(y·v) and
// adding it is exactly subtracting y·v, so each part is the same rounded operations in the
// same order, without fused multiply-adds. Where a lane holds the row-1 update of a pair inside
// one vector it adds M11·a1 to M10·a0 the other way round; IEEE addition is commutative.
// The kinds' shortcuts (gate_kind.hpp) leave out only products with an exact 0 and factors of
// an exact 1: a real entry x multiplies both parts of an amplitude, x·u and x·v, which are the
// general products less a product with the zero imaginary part.

#include <algorithm>

#include "engine/base/prefetch.hpp"
#include "engine/kernels/vector_kernel.hpp"

namespace korvel::vector_kernel {
// Unnamed: the including file compiles these for its own instruction set.
namespace {

template <class Ops>
struct Coefficient {
    typename Ops::V re;
    typename Ops::V ims;
};

// Lane l multiplies by entries[l].
template <class Ops>
Coefficient<Ops> coefficient(const Complex (&entries)[Ops::lanes]) {
    alignas(64) double re[2 * Ops::lanes];
    alignas(64) double ims[2 * Ops::lanes];
    for (unsigned l = 0; l < Ops::lanes; ++l) {
        re[2 * l] = re[2 * l + 1] = entries[l].real;
        ims[2 * l] = -entries[l].imag;
        ims[2 * l + 1] = entries[l].imag;
    }
    return {Ops::load(re), Ops::load(ims)};
}

template <class Ops>
Coefficient<Ops> uniform(Complex entry) {
    Complex entries[Ops::lanes];
    for (Complex& e : entries) e = entry;
    return coefficient<Ops>(entries);
}

template <class Ops>
typename Ops::V product(const Coefficient<Ops>& c, typename Ops::V a) {
    return Ops::add(Ops::mul(c.re, a), Ops::mul(c.ims, Ops::swap_parts(a)));
}

inline double* lanes_at(Complex* amplitudes, std::uint64_t vector, std::uint32_t lane_bits) {
    return reinterpret_cast<double*>(amplitudes + (vector << lane_bits));
}

// The hardware prefetcher alone left some passes up to 1.5 times slower than others at 26
// qubits: those whose streams lie one or two vectors apart (targets 2 and 3 with four lanes),
// and those whose runs end at every 4 or 8 KiB page (targets 7 to 9), where it starts each run
// cold. The vectors 1 KiB further along the walk are asked for explicitly; their address is
// computed as an integer, since at the end of a pass it lies past the amplitudes. A stream
// the kernel leaves alone (a diagonal entry of exactly 1) is not asked for.
template <class Ops>
class PrefetchAhead {
public:
    static constexpr std::uint64_t distance = 1024 / (sizeof(Complex) << Ops::lane_bits);

    PrefetchAhead(const Complex* amplitudes, const VectorShape& shape, std::uint64_t first,
                  bool first_stream = true, bool second_stream = true)
        : base_(amplitudes), shape_(shape),
          v_(shape.vectors.at(first + distance)), first_stream_(first_stream),
          second_stream_(second_stream && shape.partner != 0) {}

    void step() {
        if (first_stream_) fetch(v_);
        if (second_stream_) fetch(v_ | shape_.partner);
        v_ = shape_.vectors.next(v_);
    }

private:
    void fetch(std::uint64_t vector) const {
        prefetch<PrefetchFor::write>(base_, (vector << Ops::lane_bits) * sizeof(Complex));
    }

    const void* base_;
    const VectorShape& shape_;
    std::uint64_t v_;
    bool first_stream_;
    bool second_stream_;
};

// Calls body(v) with the (first) vector of each unit in [first, last), in order. A state
// larger than the caches is walked one unit at a time with the fetches ahead. A smaller one
// (a cache-sized block of a gate sequence) is walked run by run: within a run below the
// lowest fixed bit the vectors are consecutive, so the index is one increment, and the
// dependent steps of next() are paid once per run rather than once per unit.
template <class Ops, class Body>
void for_each_unit(const Complex* amplitudes, const VectorShape& shape, std::uint64_t first,
                   std::uint64_t last, bool first_stream, bool second_stream, Body&& body) {
    std::uint64_t v = shape.vectors.at(first);
    if (shape.prefetch) {
        PrefetchAhead<Ops> ahead(amplitudes, shape, first, first_stream, second_stream);
        for (std::uint64_t u = first; u < last; ++u, v = shape.vectors.next(v)) {
            ahead.step();
            body(v);
        }
        return;
    }
    const std::uint64_t run = shape.vectors.run_length();
    for (std::uint64_t u = first; u < last;) {
        const std::uint64_t n = std::min(run - (u & (run - 1)), last - u);
        for (std::uint64_t j = 0; j < n; ++j) body(v + j);
        u += n;
        v = shape.vectors.next(v + n - 1);
    }
}

// The non-diagonal updates; diagonal gates treat each half on its own (diagonal_streams).
enum class Form { general, real, anti_diagonal, flip };

template <class Ops, Form F, bool Masked>
void two_streams(Complex* amplitudes, const GateMatrix& m, const VectorShape& shape,
                 std::uint64_t first, std::uint64_t last) {
    const Coefficient<Ops> m00 = uniform<Ops>(m[0]), m01 = uniform<Ops>(m[1]);
    const Coefficient<Ops> m10 = uniform<Ops>(m[2]), m11 = uniform<Ops>(m[3]);
    const auto keep = Ops::lanes_with(shape.lane_controls);
    const std::uint64_t partner = shape.partner;
    for_each_unit<Ops>(amplitudes, shape, first, last, true, true, [&](std::uint64_t v) {
        double* p0 = lanes_at(amplitudes, v, Ops::lane_bits);
        double* p1 = lanes_at(amplitudes, v | partner, Ops::lane_bits);
        const typename Ops::V a0 = Ops::load(p0), a1 = Ops::load(p1);
        typename Ops::V n0, n1;
        if constexpr (F == Form::general) {
            n0 = Ops::add(product(m00, a0), product(m01, a1));
            n1 = Ops::add(product(m10, a0), product(m11, a1));
        } else if constexpr (F == Form::real) {
            n0 = Ops::add(Ops::mul(m00.re, a0), Ops::mul(m01.re, a1));
            n1 = Ops::add(Ops::mul(m10.re, a0), Ops::mul(m11.re, a1));
        } else if constexpr (F == Form::anti_diagonal) {
            n0 = product(m01, a1);
            n1 = product(m10, a0);
        } else {
            n0 = a1;
            n1 = a0;
        }
        if constexpr (Masked) {
            n0 = Ops::blend(keep, a0, n0);
            n1 = Ops::blend(keep, a1, n1);
        }
        Ops::store(p0, n0);
        Ops::store(p1, n1);
    });
}

// One vector of a diagonal gate's half, as half_action() says.
template <class Ops, HalfAction A, bool Masked, class Keep>
void scale_vector(double* p, const Coefficient<Ops>& c, const Keep& keep, bool stream) {
    if constexpr (A == HalfAction::keep) {
        return;
    } else if constexpr (A == HalfAction::zero && !Masked) {
        if (stream) return Ops::stream(p, Ops::zero());
        Ops::store(p, Ops::zero());
    } else {
        typename Ops::V n;
        if constexpr (A == HalfAction::zero) {
            n = Ops::blend(keep, Ops::load(p), Ops::zero());
        } else {
            const typename Ops::V a = Ops::load(p);
            if constexpr (A == HalfAction::real) n = Ops::mul(c.re, a);
            else n = product(c, a);
            if constexpr (Masked) n = Ops::blend(keep, a, n);
        }
        Ops::store(p, n);
    }
}

// A diagonal gate with the target at or above the lanes: each stream is scaled on its own, and
// a stream whose entry is exactly 1 is neither read nor written. A controlled phase with its
// target and control at or above the lanes so touches a quarter of the vectors. A stream of
// zeros is only written (streaming past the caches where shape.stream_zeros says so).
template <class Ops, HalfAction A0, HalfAction A1, bool Masked>
void diagonal_streams(Complex* amplitudes, const GateMatrix& m, const VectorShape& shape,
                      std::uint64_t first, std::uint64_t last) {
    const Coefficient<Ops> m00 = uniform<Ops>(m[0]), m11 = uniform<Ops>(m[3]);
    const auto keep = Ops::lanes_with(shape.lane_controls);
    // Streaming stores need vectors aligned to their size; the engine's blocks are aligned to
    // cache lines, other callers' may not be.
    const bool stream = shape.stream_zeros && reinterpret_cast<std::uintptr_t>(amplitudes) % 64 == 0;
    // A kept half in runs shorter than a page is fetched all the same: the hardware fetches
    // the lines beside those used anyway, and without asking for them the phase gates at
    // targets 2 to 7 cost 1.3 sweeps instead of 1.0.
    const bool short_runs = (shape.partner << Ops::lane_bits) * sizeof(Complex) < 4096;
    const auto fetched = [stream, short_runs](HalfAction a) {
        if (a == HalfAction::keep) return short_runs;
        return !(a == HalfAction::zero && stream);
    };
    const std::uint64_t partner = shape.partner;
    for_each_unit<Ops>(amplitudes, shape, first, last, fetched(A0), fetched(A1), [&](std::uint64_t v) {
        scale_vector<Ops, A0, Masked>(lanes_at(amplitudes, v, Ops::lane_bits), m00, keep, stream);
        scale_vector<Ops, A1, Masked>(lanes_at(amplitudes, v | partner, Ops::lane_bits), m11, keep, stream);
    });
    // Streaming stores are weakly ordered: they must be visible before the pass is reported done.
    if (stream && (A0 == HalfAction::zero || A1 == HalfAction::zero)) Ops::fence();
}

template <class Ops, HalfAction A0, bool Masked>
void diagonal_streams_for(HalfAction a1, Complex* amplitudes, const GateMatrix& m,
                          const VectorShape& shape, std::uint64_t first, std::uint64_t last) {
    switch (a1) {
        case HalfAction::keep: return diagonal_streams<Ops, A0, HalfAction::keep, Masked>(amplitudes, m, shape, first, last);
        case HalfAction::zero: return diagonal_streams<Ops, A0, HalfAction::zero, Masked>(amplitudes, m, shape, first, last);
        case HalfAction::real: return diagonal_streams<Ops, A0, HalfAction::real, Masked>(amplitudes, m, shape, first, last);
        case HalfAction::complex: return diagonal_streams<Ops, A0, HalfAction::complex, Masked>(amplitudes, m, shape, first, last);
    }
}

template <class Ops, bool Masked>
void diagonal_streams_for(HalfAction a0, HalfAction a1, Complex* amplitudes, const GateMatrix& m,
                          const VectorShape& shape, std::uint64_t first, std::uint64_t last) {
    switch (a0) {
        case HalfAction::keep: return diagonal_streams_for<Ops, HalfAction::keep, Masked>(a1, amplitudes, m, shape, first, last);
        case HalfAction::zero: return diagonal_streams_for<Ops, HalfAction::zero, Masked>(a1, amplitudes, m, shape, first, last);
        case HalfAction::real: return diagonal_streams_for<Ops, HalfAction::real, Masked>(a1, amplitudes, m, shape, first, last);
        case HalfAction::complex: return diagonal_streams_for<Ops, HalfAction::complex, Masked>(a1, amplitudes, m, shape, first, last);
    }
}

// Pairs inside one vector: lane l pairs with lane l ^ 2^Target. Every vector is read, since
// both halves share it; the kinds save arithmetic only.
template <class Ops, unsigned Target, GateKind Kind, bool Masked>
void in_vector(Complex* amplitudes, const GateMatrix& m, const VectorShape& shape,
               std::uint64_t first, std::uint64_t last) {
    Complex own[Ops::lanes], other[Ops::lanes];
    for (unsigned l = 0; l < Ops::lanes; ++l) {
        const bool row1 = ((l >> Target) & 1) != 0;
        own[l] = row1 ? m[3] : m[0];
        other[l] = row1 ? m[2] : m[1];
    }
    const Coefficient<Ops> own_c = coefficient<Ops>(own), other_c = coefficient<Ops>(other);
    const auto keep = Ops::lanes_with(shape.lane_controls);
    for_each_unit<Ops>(amplitudes, shape, first, last, true, true, [&](std::uint64_t v) {
        double* p = lanes_at(amplitudes, v, Ops::lane_bits);
        const typename Ops::V a = Ops::load(p);
        typename Ops::V n;
        if constexpr (Kind == GateKind::general) {
            n = Ops::add(product(own_c, a), product(other_c, Ops::template swap_pairs<Target>(a)));
        } else if constexpr (Kind == GateKind::real) {
            n = Ops::add(Ops::mul(own_c.re, a), Ops::mul(other_c.re, Ops::template swap_pairs<Target>(a)));
        } else if constexpr (Kind == GateKind::diagonal) {
            n = product(own_c, a);
        } else if constexpr (Kind == GateKind::anti_diagonal) {
            n = product(other_c, Ops::template swap_pairs<Target>(a));
        } else {
            n = Ops::template swap_pairs<Target>(a);
        }
        if constexpr (Masked) n = Ops::blend(keep, a, n);
        Ops::store(p, n);
    });
}

template <class Ops, GateKind Kind, bool Masked>
void in_vector_for(Complex* amplitudes, const GateMatrix& m, const VectorShape& shape,
                   std::uint64_t first, std::uint64_t last) {
    if constexpr (Ops::lane_bits > 1) {
        if (shape.target == 1) return in_vector<Ops, 1, Kind, Masked>(amplitudes, m, shape, first, last);
    }
    in_vector<Ops, 0, Kind, Masked>(amplitudes, m, shape, first, last);
}

template <class Ops, bool Masked>
void apply_units_shaped(Complex* amplitudes, const GateMatrix& m, GateKind kind,
                        const VectorShape& shape, std::uint64_t first, std::uint64_t last) {
    if (shape.partner != 0) {
        switch (kind) {
            case GateKind::general: return two_streams<Ops, Form::general, Masked>(amplitudes, m, shape, first, last);
            case GateKind::real: return two_streams<Ops, Form::real, Masked>(amplitudes, m, shape, first, last);
            case GateKind::anti_diagonal: return two_streams<Ops, Form::anti_diagonal, Masked>(amplitudes, m, shape, first, last);
            case GateKind::flip: return two_streams<Ops, Form::flip, Masked>(amplitudes, m, shape, first, last);
            case GateKind::diagonal:
            case GateKind::phase:
                return diagonal_streams_for<Ops, Masked>(half_action(m[0]), half_action(m[3]), amplitudes, m,
                                                         shape, first, last);
        }
    }
    switch (kind) {
        case GateKind::general: return in_vector_for<Ops, GateKind::general, Masked>(amplitudes, m, shape, first, last);
        case GateKind::real: return in_vector_for<Ops, GateKind::real, Masked>(amplitudes, m, shape, first, last);
        case GateKind::anti_diagonal: return in_vector_for<Ops, GateKind::anti_diagonal, Masked>(amplitudes, m, shape, first, last);
        case GateKind::flip: return in_vector_for<Ops, GateKind::flip, Masked>(amplitudes, m, shape, first, last);
        case GateKind::diagonal:
        case GateKind::phase:
            return in_vector_for<Ops, GateKind::diagonal, Masked>(amplitudes, m, shape, first, last);
    }
}

template <class Ops>
void apply_units(Complex* amplitudes, const GateMatrix& m, GateKind kind, const VectorShape& shape,
                 std::uint64_t first, std::uint64_t last) {
    if (first >= last) return;
    if ((kind == GateKind::diagonal || kind == GateKind::phase) &&
        half_action(m[0]) == HalfAction::keep && half_action(m[3]) == HalfAction::keep) {
        return;  // the identity
    }
    if (shape.lane_controls != 0) return apply_units_shaped<Ops, true>(amplitudes, m, kind, shape, first, last);
    apply_units_shaped<Ops, false>(amplitudes, m, kind, shape, first, last);
}

}  // namespace
}  // namespace korvel::vector_kernel
