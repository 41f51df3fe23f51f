// Z = [[1, 0], [0, -1]]: only the amplitude with the target bit set changes.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct ZUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        (void)a0;
        a1 = -a1;
    }
};

}  // namespace

VELQA_STANDARD_FIXED_GATE(z, ZUpdate<T>{})

}  // namespace velqa
