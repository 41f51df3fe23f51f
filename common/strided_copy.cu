#include "common/strided_copy.hpp"

#include "common/cuda_check.hpp"
#include "common/gpu/device.hpp"
#include "common/gpu/launch.hpp"

namespace korvane {
namespace {

constexpr std::uint64_t kMaxCopyBlocks = 65536;

// One element of dst per step of a grid-stride loop over the view's rows * columns elements.
// Launch: capped_geometry(rows * columns, kLinearBlockThreads, kMaxCopyBlocks).
template <class T>
__global__ void __launch_bounds__(kLinearBlockThreads, 2)
    gather_strided_kernel(CuComplex<T>* dst, const T* src, StridedView view) {
    const std::uint64_t count = view.rows * view.columns;
    const std::uint64_t step = std::uint64_t(gridDim.x) * blockDim.x;
    for (std::uint64_t i = gpu::global_thread_index(); i < count; i += step) {
        const auto row = static_cast<std::int64_t>(i / view.columns);
        const auto column = static_cast<std::int64_t>(i % view.columns);
        const T* element = src + 2 * (row * view.row_stride + column * view.column_stride);
        dst[i] = CuComplex<T>{element[0], element[1]};
    }
}

template <class T>
void gather(CuComplex<T>* dst, const T* src, const StridedView& view) {
    const std::uint64_t count = view.rows * view.columns;
    if (count == 0) return;
    gpu::launch<gather_strided_kernel<T>>(capped_geometry(count, kLinearBlockThreads, kMaxCopyBlocks), nullptr, dst,
                                          src, view);
    check_launch("strided copy kernel launch failed: ");
}

}  // namespace

void copy_strided(CuComplex<float>* dst, const float* src, const StridedView& view) { gather(dst, src, view); }
void copy_strided(CuComplex<double>* dst, const double* src, const StridedView& view) { gather(dst, src, view); }

}  // namespace korvane
