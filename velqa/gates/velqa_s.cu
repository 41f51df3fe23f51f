// S = [[1, 0], [0, i]].
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct SUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        (void)a0;
        a1 = CuComplex<T>{-a1.im, a1.re};  // i a1
    }
};

}  // namespace

VELQA_STANDARD_FIXED_GATE(s, SUpdate<T>{})

}  // namespace velqa
