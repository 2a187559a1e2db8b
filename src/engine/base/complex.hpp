#pragma once

// The number type of every amplitude and matrix entry. Each operation is a fixed sequence of
// separately rounded IEEE double operations; the build forbids contraction into fused
// multiply-adds, so results agree to the last bit with the reference arithmetic.
namespace korvel {

struct Complex {
    double real;
    double imag;
};

inline constexpr Complex operator+(Complex x, Complex y) {
    return {x.real + y.real, x.imag + y.imag};
}

inline constexpr Complex operator*(Complex x, Complex y) {
    return {x.real * y.real - x.imag * y.imag, x.real * y.imag + x.imag * y.real};
}

inline constexpr Complex conj(Complex x) { return {x.real, -x.imag}; }

// |x|^2, as real*real + imag*imag.
inline constexpr double norm_sqr(Complex x) { return x.real * x.real + x.imag * x.imag; }

}  // namespace korvel
