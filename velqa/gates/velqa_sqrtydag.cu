// SqrtYdg = q [[1, 1], [-1, 1]] with q = 0.5 - 0.5i.
#include "velqa/gates/gate_scheme.cuh"

namespace velqa {
namespace {

template <class T>
struct SqrtYdgUpdate {
    __host__ __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
        const CuComplex<T> q{T(0.5), T(-0.5)};
        const CuComplex<T> x0 = a0;
        a0 = q * (x0 + a1);
        a1 = q * (a1 - x0);
    }
};

}  // namespace

VELQA_STANDARD_FIXED_GATE(sqrtydag, SqrtYdgUpdate<T>{})

}  // namespace velqa
