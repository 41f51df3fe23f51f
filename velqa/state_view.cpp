#include "velqa/state_view.hpp"

#include "common/cuda_check.hpp"

namespace velqa {

std::uint64_t members_per_launch(std::int32_t device_id) {
    int extent = 0;
    korvane::cuda_check(cudaDeviceGetAttribute(&extent, cudaDevAttrMaxGridDimY, device_id));
    return extent < 1 ? 1 : static_cast<std::uint64_t>(extent);
}

}  // namespace velqa
