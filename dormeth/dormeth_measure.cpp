#include "dormeth/dormeth_measure.hpp"

#include <stdexcept>

namespace korvane::dormeth {

// The measurement kernels and the outcome draw arrive with the next piece of work; the binding
// already checks its arguments and calls this entry.
std::string measure(DeviceDensityState&, const std::vector<std::int64_t>&, const std::string&, std::uint64_t) {
    throw std::logic_error("density measurement is not built yet");
}

}  // namespace korvane::dormeth
