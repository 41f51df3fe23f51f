// Y = [[0, -i], [i, 0]].
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct YUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> x0 = a0;
        a0 = CuComplex<T>{a1.im, -a1.re};  // -i a1
        a1 = CuComplex<T>{-x0.im, x0.re};  // i a0
    }
};

}  // namespace

VELQA_STANDARD_FIXED_GATE(y, YUpdate<T>{})

}  // namespace velqa
