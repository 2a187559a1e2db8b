// Gate construction from arbitrary doubles: never a crash, and a matrix is accepted exactly when
// an independent reading of the unitarity rules says so.
//
// Input: 64 bytes = 8 doubles (M00.real, M00.imag, M01.real, ... M11.imag). An optional 65th
// byte reshapes the matrix (row count and row lengths); any shape but 2x2 must be refused.
//
// The check values are computed here with the same separately rounded IEEE operations in the same
// order as the rules prescribe (the build forbids contraction), since the rules define acceptance
// on those exact roundings. The decision on them is made differently from the engine: the
// diagonal window is found by stepping with nextafter, the off-diagonal bound is compared in long
// double.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/base/complex.hpp"
#include "engine/base/failure.hpp"
#include "engine/gates/gate.hpp"
#include "stderr_silencer.hpp"

namespace {

struct Entry {
    double re, im;
};

// The doubles within ten representable steps of 1.0, both ends included.
double diagonal_low = 1.0, diagonal_high = 1.0;

void init_diagonal_window() {
    for (int step = 0; step < 10; ++step) {
        diagonal_low = std::nextafter(diagonal_low, 0.0);
        diagonal_high = std::nextafter(diagonal_high, 2.0);
    }
}

bool diagonal_passes(double x) { return x >= diagonal_low && x <= diagonal_high; }

bool off_diagonal_passes(double x) {
    const long double bound = 10.0L / 4503599627370496.0L;  // 10 * 2^-52
    const long double wide = x;
    return wide <= bound && wide >= -bound;  // false for NaN
}

// M·M† entries, each product and sum rounded on its own, in the prescribed order.
bool expected_unitary(const Entry m[4]) {
    auto norm = [](Entry z) {
        volatile double a = z.re * z.re;
        volatile double b = z.im * z.im;
        return a + b;
    };
    // x · conj(y) = (x.re*y.re - x.im*(-y.im), x.re*(-y.im) + x.im*y.re)
    auto times_conj = [](Entry x, Entry y) {
        double yi = -y.im;
        volatile double rr = x.re * y.re, ii = x.im * yi, ri = x.re * yi, ir = x.im * y.re;
        return Entry{rr - ii, ri + ir};
    };
    auto sum = [](Entry x, Entry y) { return Entry{x.re + y.re, x.im + y.im}; };

    const double check1 = norm(m[0]) + norm(m[1]);
    const double check2 = norm(m[2]) + norm(m[3]);
    const Entry check3 = sum(times_conj(m[0], m[2]), times_conj(m[1], m[3]));
    const Entry check4 = sum(times_conj(m[2], m[0]), times_conj(m[3], m[1]));
    return diagonal_passes(check1) && diagonal_passes(check2) && off_diagonal_passes(check3.re) &&
           off_diagonal_passes(check3.im) && off_diagonal_passes(check4.re) &&
           off_diagonal_passes(check4.im);
}

[[noreturn]] void reject(const Entry m[4], bool expected, bool accepted) {
    dprintf(korvel_fuzz::report_fd, "matrix [[%a%+ai, %a%+ai], [%a%+ai, %a%+ai]]: expected %s, engine %s\n",
                 m[0].re, m[0].im, m[1].re, m[1].im, m[2].re, m[2].im, m[3].re, m[3].im,
                 expected ? "accept" : "refuse", accepted ? "accepted" : "refused");
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    korvel_fuzz::silence_engine_stderr(*argc, *argv);
    init_diagonal_window();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8 * sizeof(double)) return -1;
    Entry m[4];
    std::memcpy(m, data, sizeof m);

    std::vector<std::vector<korvel::Complex>> rows = {{{m[0].re, m[0].im}, {m[1].re, m[1].im}},
                                                      {{m[2].re, m[2].im}, {m[3].re, m[3].im}}};
    bool square = true;
    if (size > sizeof m) {
        // Low two bits: row count 0..3; next bits: lengths 0..3 of the first two rows.
        const std::uint8_t shape = data[sizeof m];
        const std::size_t row_count = shape & 3, len0 = (shape >> 2) & 3, len1 = (shape >> 4) & 3;
        rows.resize(row_count, {{m[0].re, m[0].im}, {m[3].re, m[3].im}});
        if (row_count > 0) rows[0].resize(len0, korvel::Complex{m[1].re, m[1].im});
        if (row_count > 1) rows[1].resize(len1, korvel::Complex{m[2].re, m[2].im});
        square = row_count == 2 && len0 == 2 && len1 == 2;
        if (square) {
            for (int i = 0; i < 4; ++i)
                m[i] = Entry{rows[i / 2][i % 2].real, rows[i / 2][i % 2].imag};
        }
    }

    const bool expected = square && expected_unitary(m);
    bool accepted;
    try {
        korvel::QGate gate = korvel::QGate::from_rows(rows);
        accepted = true;
        for (int i = 0; i < 4; ++i) {
            korvel::Complex e = gate.entry(i / 2, i % 2);
            if (std::memcmp(&e.real, &m[i].re, sizeof(double)) != 0 ||
                std::memcmp(&e.imag, &m[i].im, sizeof(double)) != 0) {
                dprintf(korvel_fuzz::report_fd, "accepted gate does not hold its entries unchanged\n");
                std::abort();
            }
        }
    } catch (const korvel::InternalFailure&) {
        accepted = false;
    }
    if (accepted != expected) reject(m, expected, accepted);
    return 0;
}
