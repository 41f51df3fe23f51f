// Runs a body in the element precision of a dtype code: T = float for complex64, double for complex128.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "common/parse.hpp"

namespace korvane {

// body is a lambda of the form []<class T>() { ... }.
template <class Body>
decltype(auto) dispatch_precision(std::int32_t dtype, Body&& body) {
    if (dtype == kComplex128) return body.template operator()<double>();
    return body.template operator()<float>();
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
