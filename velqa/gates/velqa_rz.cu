// RZ(theta) = [[e^(-i theta/2), 0], [0, e^(i theta/2)]], applied as [[a, 0], [0, b]].
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct RzUpdate {
    CuComplex<T> a;
    CuComplex<T> b;
    __host__ __device__ __forceinline__ static RzUpdate from_angle(T theta) {
        const T h = theta * T(0.5);
        return RzUpdate{korvane::unit_phase(-h), korvane::unit_phase(h)};
    }
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        a0 = a * a0;
        a1 = b * a1;
    }
};

}  // namespace

VELQA_STANDARD_AB_GATE(rz, RzUpdate)

}  // namespace velqa
