#include "common/parse.hpp"

#include <cctype>
#include <limits>
#include <stdexcept>

#include "common/text_error.hpp"

namespace korvane {
namespace {

// std::stoi's rules with fixed messages: the standard library's own texts differ between
// implementations, and these are the system's.
std::int32_t parse_int(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t first_digit = i;
    long long value = 0;
    bool overflow = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (!overflow) {
            value = value * 10 + (text[i] - '0');
            if (value > static_cast<long long>(std::numeric_limits<std::int32_t>::max()) + 1) overflow = true;
        }
    }
    if (i == first_digit) throw std::invalid_argument("invalid stoi argument");
    if (negative) value = -value;
    if (overflow || value > std::numeric_limits<std::int32_t>::max() ||
        value < std::numeric_limits<std::int32_t>::min())
        throw std::out_of_range("stoi argument out of range");
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::int32_t parse_device(const std::string& device) {
    if (device == "cuda" || device == "gpu") return 0;
    if (device.size() > 4 && device.compare(0, 5, "cuda:") == 0) return parse_int(device.substr(5));
    throw InvalidArgumentText("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + device);
}

Precision parse_dtype(const std::string& dtype) {
    if (dtype == "complex64") return Precision::Complex64;
    if (dtype == "complex128") return Precision::Complex128;
    throw InvalidArgumentText("dtype must be 'complex64' or 'complex128', got: " + dtype);
}

const char* dtype_name(Precision precision) { return precision == Precision::Complex128 ? "complex128" : "complex64"; }

}  // namespace korvane
