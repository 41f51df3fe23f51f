// The checks of a NumPy state array handed to the velqa module, with the GIL held.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>

#include "common/parse.hpp"

namespace velqa {

namespace py = pybind11;

// The layout checks of a state array, in order: writability (when the array is written to),
// one dimension, C order, n in [1, 62], size 2^n.
void check_state_layout(std::int64_t n, const py::array& state, bool written);

// The precision of a state array, by parse_dtype on the string form of its dtype.
korvane::Precision array_dtype(const py::array& state);

// check_state_layout followed by array_dtype.
korvane::Precision check_state_array(std::int64_t n, const py::array& state, bool written);

// The checks of a batch's (batch, 2^n) array, in order: writability (when written to), two
// dimensions, n in [1, 62], 2^n columns, at least one row; and, for a destination (written), C order
// and batch rows. Returns its precision (array_dtype). A source in another memory layout is copied by
// the caller.
korvane::Precision check_batch_array(std::int64_t n, const py::array& states, bool written, std::uint64_t batch = 0);

}  // namespace velqa
