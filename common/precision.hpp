// Runs a body in the element precision of a state: T = float for complex64, double for complex128.
#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include "common/parse.hpp"

namespace korvane {

// body is a lambda of the form []<class T>() { ... }. A value that is neither precision (only a cast
// can make one) is refused with std::invalid_argument("unknown precision").
template <class Body>
decltype(auto) dispatch_precision(Precision precision, Body&& body) {
    switch (precision) {
        case Precision::Complex64: return body.template operator()<float>();
        case Precision::Complex128: return body.template operator()<double>();
    }
    throw std::invalid_argument("unknown precision");
}

// The dtype name of the precision T: "complex64" for float, "complex128" for double.
template <class T>
constexpr const char* precision_name() {
    return std::is_same_v<T, float> ? "complex64" : "complex128";
}

// Whether x stays finite once rounded to T. A double rounds to a finite float below the midpoint
// between FLT_MAX and 2^128 (which rounds to infinity); the test is made without the conversion,
// which is undefined for values beyond float's range.
template <class T>
constexpr bool finite_in(double x) {
    if constexpr (std::is_same_v<T, float>)
        return std::isfinite(x) && std::fabs(x) < 0x1.ffffffp127;
    else
        return std::isfinite(x);
}

}  // namespace korvane
