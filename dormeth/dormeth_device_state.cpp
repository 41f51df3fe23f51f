#include "dormeth/dormeth_device_state.hpp"

#include <stdexcept>

#include "common/cuda_check.hpp"
#include "dormeth/device_targets.hpp"

namespace korvane::dormeth {

DeviceDensityState::DeviceDensityState(std::uint64_t n, std::int32_t dtype, std::int32_t device_id)
    : num_qubits_(static_cast<std::int64_t>(n)), dtype_(dtype), device_id_(device_id) {
    if (n > static_cast<std::uint64_t>(kMaxDensityQubits))
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    dimension_ = std::int64_t(1) << n;
    num_elements_ = dimension_ * dimension_;
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMalloc(&data_, bytes()));
}

DeviceDensityState::~DeviceDensityState() {
    if (!data_) return;
    (void)cudaSetDevice(device_id_);
    (void)cudaFree(data_);
    data_ = nullptr;
    (void)cudaGetLastError();  // an ignored failure must not surface at someone else's launch check
}

void DeviceDensityState::upload(const void* host, std::uint64_t count) {
    if (count != static_cast<std::uint64_t>(num_elements_))
        throw std::invalid_argument("state size does not match DeviceDensityState size");
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemcpy(data_, host, bytes(), cudaMemcpyHostToDevice));
}

void DeviceDensityState::download(void* host, std::uint64_t count) const {
    if (count != static_cast<std::uint64_t>(num_elements_))
        throw std::invalid_argument("state size does not match DeviceDensityState size");
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemcpy(host, data_, bytes(), cudaMemcpyDeviceToHost));
}

void DeviceDensityState::set_zero_state() {
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemset(data_, 0, bytes()));
    if (dtype_ == kComplex128) {
        const CuComplex<double> one{1.0, 0.0};
        cuda_check(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
    } else {
        const CuComplex<float> one{1.0f, 0.0f};
        cuda_check(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
    }
}

std::unique_ptr<DeviceDensityState> DeviceDensityState::copy() const {
    // A failure below releases the new state through its owner.
    auto result = std::make_unique<DeviceDensityState>(static_cast<std::uint64_t>(num_qubits_), dtype_, device_id_);
    cuda_check(cudaSetDevice(device_id_));
    cuda_check(cudaMemcpy(result->data_, data_, bytes(), cudaMemcpyDeviceToDevice));
    return result;
}

}  // namespace korvane::dormeth
