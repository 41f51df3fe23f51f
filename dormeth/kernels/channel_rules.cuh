// The element rules of the built-in channels, shared by the channel kernel and the combined
// unitary-channel kernel.
//
// For the target qubit, an element (r, c) with a = bit of r and b = bit of c is paired with
// (r ^ m, c ^ m). Every rule is written as the update of one such pair (x at a = 0, y at a = 1),
// computed from the old values of both, so one thread updates both elements of the pair.
#pragma once

#include <cmath>
#include <stdexcept>

#include "common/channel_kind.hpp"
#include "common/complex.hpp"

namespace korvane::dormeth {

__host__ __device__ __forceinline__ float real_sqrt(float x) {
#if defined(__CUDA_ARCH__)
    return sqrtf(x);
#else
    return std::sqrt(x);
#endif
}

__host__ __device__ __forceinline__ double real_sqrt(double x) {
#if defined(__CUDA_ARCH__)
    return ::sqrt(x);
#else
    return std::sqrt(x);
#endif
}

// diagonal: the pair has a = b (x at (0, 0), y at (1, 1) of the qubit), otherwise a != b.
template <density::ChannelKind K, class T>
__device__ __forceinline__ void channel_pair(CuComplex<T>& x, CuComplex<T>& y, bool diagonal, T p) {
    using density::ChannelKind;
    const CuComplex<T> x0 = x;
    const CuComplex<T> y0 = y;
    if constexpr (K == ChannelKind::BitFlip) {
        x = (T(1) - p) * x0 + p * y0;
        y = (T(1) - p) * y0 + p * x0;
    } else if constexpr (K == ChannelKind::PhaseFlip) {
        if (diagonal) return;
        x = (T(1) - T(2) * p) * x0;
        y = (T(1) - T(2) * p) * y0;
    } else if constexpr (K == ChannelKind::Depolarizing) {
        if (diagonal) {
            const T h = p * T(0.5);
            x = (T(1) - h) * x0 + h * y0;
            y = (T(1) - h) * y0 + h * x0;
        } else {
            x = (T(1) - p) * x0;
            y = (T(1) - p) * y0;
        }
    } else if constexpr (K == ChannelKind::AmplitudeDamping) {
        if (diagonal) {
            x = x0 + p * y0;
            y = (T(1) - p) * y0;
        } else {
            const T s = real_sqrt(T(1) - p);
            x = s * x0;
            y = s * y0;
        }
    } else {
        static_assert(K == ChannelKind::PhaseDamping, "one rule per channel kind");
        if (diagonal) return;
        x = (T(1) - p) * x0;
        y = (T(1) - p) * y0;
    }
}

// The rule of K on one 2 x 2 block of the target qubit (b[a][b'] at bit a of the row, bit b' of the
// column): the diagonal pair and the off-diagonal pair.
template <density::ChannelKind K, class T>
__device__ __forceinline__ void channel_block(CuComplex<T> (&b)[2][2], T p) {
    channel_pair<K>(b[0][0], b[1][1], true, p);
    channel_pair<K>(b[0][1], b[1][0], false, p);
}

}  // namespace korvane::dormeth

namespace korvane::dormeth {

// Channels that leave the a = b elements of the target qubit unchanged.
template <density::ChannelKind K>
constexpr bool keeps_diagonal() {
    return K == density::ChannelKind::PhaseFlip || K == density::ChannelKind::PhaseDamping;
}

// Runs body.template operator()<K>() for the runtime kind; a kind outside 1..5 raises
// "unknown noise channel kind". Host code of the launchers.
template <class Body>
void dispatch_channel_kind(density::ChannelKind kind, Body&& body) {
    using density::ChannelKind;
    switch (kind) {
        case ChannelKind::BitFlip: body.template operator()<ChannelKind::BitFlip>(); return;
        case ChannelKind::PhaseFlip: body.template operator()<ChannelKind::PhaseFlip>(); return;
        case ChannelKind::Depolarizing: body.template operator()<ChannelKind::Depolarizing>(); return;
        case ChannelKind::AmplitudeDamping: body.template operator()<ChannelKind::AmplitudeDamping>(); return;
        case ChannelKind::PhaseDamping: body.template operator()<ChannelKind::PhaseDamping>(); return;
    }
    throw std::runtime_error("unknown noise channel kind");
}

}  // namespace korvane::dormeth
