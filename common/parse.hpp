// Device, dtype and endian strings, parsed by the same rules in both modules.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane {

// The element precision of a state, its dtype: complex64 (two floats) or complex128 (two doubles).
// Nothing but these two exists: dispatch_precision refuses any other value.
enum class Precision : std::int32_t { Complex64, Complex128 };

// "cuda" and "gpu" are device 0; "cuda:<id>" is device id (decimal, leading blanks and a sign
// allowed, parsing stops at the first non-digit). Raises std::invalid_argument("invalid stoi
// argument") when no digits follow, std::out_of_range("stoi argument out of range") beyond int32,
// and std::invalid_argument for any other string.
std::int32_t parse_device(const std::string& device);

// "complex64" or "complex128"; anything else raises std::invalid_argument.
Precision parse_dtype(const std::string& dtype);

const char* dtype_name(Precision precision);

// Outcome bit orders: "little" (target j is bit j) or "big"; anything else raises std::invalid_argument.
inline void check_endian(const std::string& endian) {
    if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
}

// Bytes of one element: 8 or 16.
inline std::uint64_t element_bytes(Precision precision) { return precision == Precision::Complex128 ? 16 : 8; }

}  // namespace korvane
