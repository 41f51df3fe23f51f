// Device, dtype and endian strings, parsed by the same rules in both modules.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane {

constexpr std::int32_t kComplex64 = 0;
constexpr std::int32_t kComplex128 = 1;

// "cuda" and "gpu" are device 0; "cuda:<id>" is device id (decimal, leading blanks and a sign
// allowed, parsing stops at the first non-digit). Raises std::invalid_argument("invalid stoi
// argument") when no digits follow, std::out_of_range("stoi argument out of range") beyond int32,
// and std::invalid_argument for any other string.
std::int32_t parse_device(const std::string& device);

// "complex64" is 0 and "complex128" is 1; anything else raises std::invalid_argument.
std::int32_t parse_dtype(const std::string& dtype);

const char* dtype_name(std::int32_t dtype);

// Outcome bit orders: "little" (target j is bit j) or "big"; anything else raises std::invalid_argument.
inline void check_endian(const std::string& endian) {
    if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
}

// Bytes of one element of the dtype: 8 or 16.
inline std::uint64_t element_bytes(std::int32_t dtype) { return dtype == kComplex128 ? 16 : 8; }

}  // namespace korvane
