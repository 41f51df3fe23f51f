// Runs a body in the element precision of a dtype code: T = float for complex64, double for complex128.
#pragma once

#include <cstdint>

#include "common/parse.hpp"

namespace korvane {

// body is a lambda of the form []<class T>() { ... }.
template <class Body>
decltype(auto) dispatch_precision(std::int32_t dtype, Body&& body) {
    if (dtype == kComplex128) return body.template operator()<double>();
    return body.template operator()<float>();
}

}  // namespace korvane
