// The DLPack ABI: the C structures through which array libraries hand each other a tensor without a
// copy (DLPack 1.1). Declared here with the standard's names and layout, in this system's namespace,
// so that they cannot clash with another library's declaration of the same structures; the layout
// checks below pin what every consumer reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::dlpack {

// A change in major version changes the layout of DLManagedTensorVersioned; a minor version only
// adds enumeration values.
struct DLPackVersion {
    std::uint32_t major;
    std::uint32_t minor;
};
inline constexpr DLPackVersion kVersion{1, 1};

enum DLDeviceType : std::int32_t {
    kDLCPU = 1,
    kDLCUDA = 2,
    kDLCUDAHost = 3,
    kDLOpenCL = 4,
    kDLVulkan = 7,
    kDLMetal = 8,
    kDLVPI = 9,
    kDLROCM = 10,
    kDLROCMHost = 11,
    kDLExtDev = 12,
    kDLCUDAManaged = 13,
    kDLOneAPI = 14,
};

struct DLDevice {
    DLDeviceType device_type;
    std::int32_t device_id;  // 0 for CPU memory
};

enum DLDataTypeCode : std::uint8_t {
    kDLInt = 0,
    kDLUInt = 1,
    kDLFloat = 2,
    kDLOpaqueHandle = 3,
    kDLBfloat = 4,
    kDLComplex = 5,  // a compact (real, imaginary) pair; bits counts both
    kDLBool = 6,
};

struct DLDataType {
    std::uint8_t code;
    std::uint8_t bits;
    std::uint16_t lanes;
};

// A view of memory: element i of dimension d lies strides[d] elements further on, from data plus
// byte_offset. strides may be null in producers of DLPack before 1.2: a compact row-major tensor.
struct DLTensor {
    void* data;
    DLDevice device;
    std::int32_t ndim;
    DLDataType dtype;
    std::int64_t* shape;
    std::int64_t* strides;
    std::uint64_t byte_offset;
};

// The pre-1.0 form, in capsules named "dltensor". The consumer calls deleter(self) when it no longer
// needs the tensor; a null deleter means there is nothing to release.
struct DLManagedTensor {
    DLTensor dl_tensor;
    void* manager_ctx;
    void (*deleter)(DLManagedTensor* self);
};

inline constexpr std::uint64_t DLPACK_FLAG_BITMASK_READ_ONLY = 1ULL << 0;
inline constexpr std::uint64_t DLPACK_FLAG_BITMASK_IS_COPIED = 1ULL << 1;
inline constexpr std::uint64_t DLPACK_FLAG_BITMASK_IS_SUBBYTE_TYPE_PADDED = 1ULL << 2;

// The 1.x form, in capsules named "dltensor_versioned". Everything up to flags keeps its place in
// every major version, so a consumer can always read the version and call the deleter.
struct DLManagedTensorVersioned {
    DLPackVersion version;
    void* manager_ctx;
    void (*deleter)(DLManagedTensorVersioned* self);
    std::uint64_t flags;
    DLTensor dl_tensor;
};

static_assert(sizeof(DLDevice) == 8 && sizeof(DLDataType) == 4, "DLPack scalar layout");
static_assert(offsetof(DLTensor, ndim) == 16 && offsetof(DLTensor, shape) == 24 &&
                  offsetof(DLTensor, byte_offset) == 40 && sizeof(DLTensor) == 48,
              "DLTensor layout");
static_assert(offsetof(DLManagedTensor, manager_ctx) == 48 && sizeof(DLManagedTensor) == 64, "DLManagedTensor layout");
static_assert(offsetof(DLManagedTensorVersioned, deleter) == 16 && offsetof(DLManagedTensorVersioned, flags) == 24 &&
                  offsetof(DLManagedTensorVersioned, dl_tensor) == 32,
              "DLManagedTensorVersioned layout");

}  // namespace korvane::dlpack
