// The fixture of every C++ test that uses the host device: a freshly reset device 0, and a failure
// when a test leaves device memory allocated or an error pending.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/complex.hpp"
#include "common/cuda_check.hpp"
#include "common/gpu/runtime.hpp"
#include "hostdevice/control.hpp"

// The message of the E that call() throws, "(no error)" when it returns.
template <class E = std::runtime_error, class F>
std::string message_of(F&& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("(other exception) ") + e.what();
    }
    return "(no error)";
}

// A device copy of a host vector, freed at the end of the test, that reads back.
template <class E>
class DeviceArray {
  public:
    explicit DeviceArray(const std::vector<E>& host) : size_(host.size()) {
        korvane::cuda_check(cudaMalloc(reinterpret_cast<void**>(&data_), size_ * sizeof(E)));
        korvane::cuda_check(cudaMemcpy(data_, host.data(), size_ * sizeof(E), cudaMemcpyHostToDevice));
    }
    ~DeviceArray() { cudaFree(data_); }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    E* get() const { return data_; }
    std::vector<E> read() const {
        std::vector<E> host(size_);
        korvane::cuda_check(cudaMemcpy(host.data(), data_, size_ * sizeof(E), cudaMemcpyDeviceToHost));
        return host;
    }

  private:
    std::size_t size_;
    E* data_ = nullptr;
};

// count complex numbers with normally distributed parts, reproducible from the seed.
template <class T>
std::vector<korvane::CuComplex<T>> random_elements(std::size_t count, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<korvane::CuComplex<T>> out(count);
    for (auto& z : out) z = korvane::CuComplex<T>{static_cast<T>(normal(gen)), static_cast<T>(normal(gen))};
    return out;
}

class HostDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hostdevice::reset();
        (void)cudaGetLastError();
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        live_at_start_ = hostdevice::live_bytes(0);
    }
    void TearDown() override {
        EXPECT_EQ(hostdevice::live_bytes(0), live_at_start_) << "device memory leaked";
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "an error was left pending";
        hostdevice::reset();
    }
    template <class T>
    T* device_alloc(std::size_t count) {
        T* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, count * sizeof(T)), cudaSuccess);
        return p;
    }

    std::size_t live_at_start_ = 0;
};
