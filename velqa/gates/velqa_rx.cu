// RX(theta) = [[c, -i s], [-i s, c]], c = cos(theta/2), s = sin(theta/2), applied as [[a, b], [b, a]].
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct RxUpdate {
    CuComplex<T> a;
    CuComplex<T> b;
    __host__ __device__ __forceinline__ static RxUpdate from_angle(T theta) {
        T s, c;
        korvane::sin_cos(theta * T(0.5), &s, &c);
        return RxUpdate{{c, T(0)}, {T(0), -s}};
    }
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> x0 = a0;
        a0 = a * x0 + b * a1;
        a1 = b * x0 + a * a1;
    }
};

}  // namespace

VELQA_STANDARD_AB_GATE(rx, RxUpdate)

}  // namespace velqa
