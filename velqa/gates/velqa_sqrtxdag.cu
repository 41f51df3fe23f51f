// SqrtXdg = [[q, p], [p, q]] with p = 0.5 + 0.5i, q = 0.5 - 0.5i.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct SqrtXdgUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> p{T(0.5), T(0.5)};
        const CuComplex<T> q{T(0.5), T(-0.5)};
        const CuComplex<T> x0 = a0;
        a0 = q * x0 + p * a1;
        a1 = p * x0 + q * a1;
    }
};

}  // namespace

VELQA_STANDARD_FIXED_GATE(sqrtxdag, SqrtXdgUpdate<T>{})

}  // namespace velqa
