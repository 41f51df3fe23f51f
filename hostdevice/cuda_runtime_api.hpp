// The subset of the CUDA runtime API this system uses, implemented on the host CPU.
// Names, error codes and error strings are the real runtime's, so code written against
// <cuda_runtime.h> compiles unchanged against this header.
#pragma once

#include <cstddef>
#include <cstdint>

enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidPitchValue = 12,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInsufficientDriver = 35,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorHostMemoryAlreadyRegistered = 712,
    cudaErrorHostMemoryNotRegistered = 713,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

// The device attributes the system reads.
enum cudaDeviceAttr {
    cudaDevAttrMaxGridDimY = 6,
};

struct CUstream_st;
typedef struct CUstream_st* cudaStream_t;
struct CUevent_st;
typedef struct CUevent_st* cudaEvent_t;

// The default streams by name: the legacy one (what stream 0 means here) and the per-thread one.
#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)
#define cudaEventDefault 0x00u
#define cudaEventDisableTiming 0x02u

#define cudaHostRegisterDefault 0x00u

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};

struct float2 {
    float x, y;
};
struct double2 {
    double x, y;
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaMalloc(void** ptr, std::size_t size);
// The current device's free bytes (its capacity less what is live) and its capacity.
cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemset(void* ptr, int value, std::size_t count);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width,
                         std::size_t height, cudaMemcpyKind kind);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();
// Events: work on the host device is complete when it is issued, so an event is complete once
// recorded and a stream never waits for one; handles are still checked as the runtime checks them.
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags = 0);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaHostRegister(void* ptr, std::size_t size, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);

template <class T>
inline cudaError_t cudaMalloc(T** ptr, std::size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(ptr), size);
}
