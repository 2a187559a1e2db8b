#pragma once

#include <array>
#include <string>
#include <vector>

#include "engine/base/complex.hpp"
#include "engine/gates/gate_kind.hpp"

namespace korvel {

// The four entries of M·M† that the unitarity test examines.
struct UnitarityChecks {
    double check1;  // |M00|^2 + |M01|^2
    double check2;  // |M10|^2 + |M11|^2
    Complex check3; // M00·conj(M10) + M01·conj(M11)
    Complex check4; // M10·conj(M00) + M11·conj(M01)
};

UnitarityChecks unitarity_checks(const std::array<Complex, 4>& m);

// x ≈ y: IEEE equality, or at most 10 steps apart as two's-complement bit patterns.
bool approx_equal_ulps(double x, double y);

// The off-diagonal rule actually applied: magnitude at most 10 × 2^-52.
bool approx_zero_offdiagonal(double x);

bool is_unitary(const UnitarityChecks& checks);

// The bytes written to standard error when a matrix fails the unitarity test.
std::string unitarity_diagnostic(const UnitarityChecks& checks);

// An immutable single-qubit gate, entries row-major: M00, M01, M10, M11.
class QGate {
public:
    // Shape test, then unitarity test; on failure writes what is due and raises an internal
    // failure ("Only support single gate. Matrix size must be 2 by 2", "Matrix is not unitary").
    static QGate from_rows(const std::vector<std::vector<Complex>>& rows);

    // The engine's own matrices (measurement collapse): no checks.
    static constexpr QGate from_entries(Complex m00, Complex m01, Complex m10, Complex m11) {
        return QGate({m00, m01, m10, m11});
    }

    constexpr Complex entry(int row, int column) const { return m_[row * 2 + column]; }
    constexpr const std::array<Complex, 4>& entries() const { return m_; }
    // Which kernel the entries allow, decided here once rather than on every pass.
    constexpr GateKind kind() const { return kind_; }

private:
    constexpr explicit QGate(std::array<Complex, 4> m) : m_(m), kind_(classify(m)) {}
    std::array<Complex, 4> m_;
    GateKind kind_;
};

}  // namespace korvel
