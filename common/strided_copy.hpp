// Copies a strided view of complex elements (a tensor another library lends) into compact row-major
// device memory, on the device: the copy a state makes of a non-contiguous array.
#pragma once

#include <cstdint>

#include "common/complex.hpp"
#include "common/parse.hpp"

namespace korvane {

// A view of rows x columns elements (a vector is one row): element (r, c) lies r * row_stride +
// c * column_stride elements from its origin. Strides may be negative or zero.
struct StridedView {
    std::uint64_t rows = 1;
    std::uint64_t columns = 0;
    std::int64_t row_stride = 0;
    std::int64_t column_stride = 1;
};

// dst[r * columns + c] = element (r, c) of the view at src, on the default stream. src need only be
// aligned to the element's scalar (4 or 8 bytes): the parts are read one by one. Raises through
// check_launch when the launch fails.
void copy_strided(CuComplex<float>* dst, const float* src, const StridedView& view);
void copy_strided(CuComplex<double>* dst, const double* src, const StridedView& view);

}  // namespace korvane
