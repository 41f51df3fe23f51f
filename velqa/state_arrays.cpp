#include "velqa/state_arrays.hpp"

#include <stdexcept>
#include <string>

namespace velqa {

void check_state_layout(std::int64_t n, const py::array& state, bool written) {
    if (written && !state.writeable()) throw std::invalid_argument("state array must be writable");
    if (state.ndim() != 1) throw std::invalid_argument("state must be a 1-D contiguous numpy array");
    if (!(state.flags() & py::array::c_style)) throw std::invalid_argument("state must be C-contiguous");
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (static_cast<std::uint64_t>(state.size()) != (std::uint64_t(1) << n))
        throw std::invalid_argument("state.size must equal 2**n");
}

korvane::Precision array_dtype(const py::array& state) {
    return korvane::parse_dtype(py::str(state.dtype()).cast<std::string>());
}

korvane::Precision check_batch_array(std::int64_t n, const py::array& states, bool written, std::uint64_t batch) {
    if (written && !states.writeable()) throw std::invalid_argument("states array must be writable");
    if (states.ndim() != 2) throw std::invalid_argument("states must be a 2-D numpy array of shape (batch, 2**n)");
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (static_cast<std::uint64_t>(states.shape(1)) != (std::uint64_t(1) << n))
        throw std::invalid_argument("states.shape[1] must equal 2**n");
    if (states.shape(0) < 1) throw std::invalid_argument("batch must be at least 1");
    if (written) {
        if (!(states.flags() & py::array::c_style)) throw std::invalid_argument("states must be C-contiguous");
        if (static_cast<std::uint64_t>(states.shape(0)) != batch)
            throw std::invalid_argument("states.shape[0] must equal the batch");
    }
    return array_dtype(states);
}

korvane::Precision check_state_array(std::int64_t n, const py::array& state, bool written) {
    check_state_layout(n, state, written);
    return array_dtype(state);
}

}  // namespace velqa
