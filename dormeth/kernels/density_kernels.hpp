// Launchers of the density-matrix kernels, one instance per precision (T = float for complex64
// states, double for complex128). Each launcher checks its arguments, queues its kernel on the
// default stream and checks the launch with its own message prefix. The guards on targets and
// masks keep every index a kernel forms inside the dimension x dimension matrix whatever the
// caller passes.
#pragma once

#include <cstdint>

#include "common/channel_kind.hpp"
#include "common/complex.hpp"
#include "dormeth/device_targets.hpp"

namespace korvane::dormeth {

// rho <- V rho V^dagger for the matrix U (2^k x 2^k, device memory, row-major) on 1 to 6 targets,
// controlled by (control_mask, control_values). One merged pass for k = 1 and 2, a left and a
// right pass for k = 3 to 6.
template <class T>
void launch_unitary(CuComplex<T>* state, std::int64_t dimension, const DeviceTargets& targets,
                    std::uint64_t control_mask, std::uint64_t control_values, const CuComplex<T>* matrix);

// diag(d0, d1) without controls, given as w10 = d1 conj(d0) and w01 = d0 conj(d1).
template <class T>
void launch_diagonal_free(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask, CuComplex<T> w10,
                          CuComplex<T> w01);

template <class T>
void launch_diagonal_controlled(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask,
                                std::uint64_t control_mask, std::uint64_t control_values, CuComplex<T> d0,
                                CuComplex<T> d1);

// X (one bit in permutation_mask) or SWAP (two bits, is_swap), controlled.
template <class T>
void launch_permutation(CuComplex<T>* state, std::int64_t dimension, std::uint64_t permutation_mask,
                        std::uint64_t control_mask, std::uint64_t control_values, bool is_swap);

// A built-in channel with parameter p on the qubit of target_mask.
template <class T>
void launch_channel(CuComplex<T>* state, std::int64_t dimension, std::uint64_t target_mask, density::ChannelKind kind,
                    T p);

// rho <- sum_i K_i rho K_i^dagger for kraus_count operators of 2^k x 2^k on 1 to 3 targets.
template <class T>
void launch_kraus(CuComplex<T>* state, std::int64_t dimension, const DeviceTargets& targets, std::int64_t kraus_count,
                  const CuComplex<T>* matrices);

// The one-target unitary U (2 x 2, device memory) followed by a built-in channel on the same qubit.
template <class T>
void launch_unitary_channel(CuComplex<T>* state, std::int64_t dimension, const DeviceTargets& targets,
                            const CuComplex<T>* matrix, density::ChannelKind kind, T p);

}  // namespace korvane::dormeth
