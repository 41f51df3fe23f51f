// The fixture of every C++ test that uses the host device: a freshly reset device 0, and a failure
// when a test leaves device memory allocated or an error pending.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

#include "common/gpu/runtime.hpp"
#include "hostdevice/control.hpp"

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
