// Devices, memory, copies, page-locking and errors of the host device.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "hostdevice/control.hpp"
#include "hostdevice/runtime.hpp"

namespace hostdevice {
namespace {

struct Device {
    std::size_t capacity = kDefaultCapacityBytes;
    std::size_t live_bytes = 0;
    std::size_t live_allocations = 0;
    int blas_handles = 0;
};

struct Allocation {
    std::size_t size;
    int device;
};

// Memory another owner allocated that the system uses as device memory (registered, not allocated).
struct ExternalRange {
    std::uintptr_t begin;
    std::size_t size;
    int device;
};

struct Registry {
    std::mutex mutex;
    int device_count = 1;
    // Never shrinks: a device that goes away keeps its accounting for the memory still on it.
    std::vector<Device> devices = std::vector<Device>(1);
    std::map<std::uintptr_t, Allocation> allocations;
    // Few at a time (one per state over a producer's memory) and free to overlap: a plain list.
    std::vector<ExternalRange> external_ranges;
    std::map<std::uintptr_t, std::size_t> host_ranges;
    std::set<const void*> events;  // live event handles
    bool host_register_fails = false;
    unsigned max_grid_y = kDefaultMaxGridY;
    std::uint64_t host_registrations = 0;
    std::atomic<std::uint64_t> synchronizations{0};
};

Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: kernels may run during static teardown
    return *r;
}

thread_local int t_current_device = 0;
thread_local cudaError_t t_last_error = cudaSuccess;

// Fresh device memory holds a pattern that reads as NaN in both precisions, so a kernel that
// reads memory nobody wrote produces visibly wrong results instead of convenient zeros.
constexpr unsigned char kUninitialisedByte = 0xFF;

// The live allocation holding address p, if any.
const Allocation* allocation_at(const std::map<std::uintptr_t, Allocation>& allocations, std::uintptr_t p) {
    auto it = allocations.upper_bound(p);
    if (it == allocations.begin()) return nullptr;
    --it;
    return p - it->first < it->second.size ? &it->second : nullptr;
}

bool range_inside_allocation(const std::map<std::uintptr_t, Allocation>& allocations, std::uintptr_t begin,
                             std::size_t bytes) {
    auto it = allocations.upper_bound(begin);
    if (it == allocations.begin()) return false;
    --it;
    const std::uintptr_t start = it->first;
    return begin >= start && bytes <= it->second.size && begin - start <= it->second.size - bytes;
}

bool range_inside(const ExternalRange& range, std::uintptr_t begin, std::size_t bytes) {
    return begin >= range.begin && bytes <= range.size && begin - range.begin <= range.size - bytes;
}

// The external range holding [begin, begin + bytes), if any.
const ExternalRange* external_range_at(const std::vector<ExternalRange>& ranges, std::uintptr_t begin,
                                       std::size_t bytes) {
    for (const ExternalRange& range : ranges)
        if (range_inside(range, begin, bytes)) return &range;
    return nullptr;
}

}  // namespace

namespace internal {

cudaError_t record(cudaError_t status) {
    if (status != cudaSuccess) t_last_error = status;
    return status;
}

cudaError_t current_device(int* device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.device_count == 0) return cudaErrorNoDevice;
    if (t_current_device < 0 || t_current_device >= r.device_count) return cudaErrorInvalidDevice;
    *device = t_current_device;
    return cudaSuccess;
}

bool is_device_range(const void* ptr, std::size_t bytes) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto begin = reinterpret_cast<std::uintptr_t>(ptr);
    return range_inside_allocation(r.allocations, begin, bytes) ||
           external_range_at(r.external_ranges, begin, bytes) != nullptr;
}

int allocation_device(const void* ptr) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto p = reinterpret_cast<std::uintptr_t>(ptr);
    if (const auto* a = allocation_at(r.allocations, p)) return a->device;
    const ExternalRange* external = external_range_at(r.external_ranges, p, 1);
    return external ? external->device : -1;
}

bool touches_device_memory(const void* ptr, std::size_t bytes) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto begin = reinterpret_cast<std::uintptr_t>(ptr);
    for (const ExternalRange& range : r.external_ranges)
        if (range.begin < begin + bytes && begin < range.begin + range.size) return true;
    auto it = r.allocations.lower_bound(begin);
    if (it != r.allocations.end() && it->first - begin < bytes) return true;  // one starts inside the range
    return allocation_at(r.allocations, begin) != nullptr;
}

void note_synchronize() { registry().synchronizations.fetch_add(1, std::memory_order_relaxed); }

void note_blas_handle(int device, int delta) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (device >= 0 && device < static_cast<int>(r.devices.size())) r.devices[device].blas_handles += delta;
}

}  // namespace internal

void configure_devices(int count, std::size_t capacity_bytes) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.device_count = std::max(count, 0);
    if (r.devices.size() < static_cast<std::size_t>(r.device_count)) r.devices.resize(r.device_count);
    for (auto& d : r.devices) d.capacity = capacity_bytes;
}

int configured_device_count() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.device_count;
}

std::size_t device_capacity(int device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return device >= 0 && device < r.device_count ? r.devices[device].capacity : 0;
}

void set_max_grid_y(unsigned extent) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.max_grid_y = std::clamp(extent, 1u, kDefaultMaxGridY);
}

unsigned max_grid_y() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.max_grid_y;
}

void set_host_register_fails(bool fails) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.host_register_fails = fails;
}

namespace {
template <class F>
std::size_t sum_allocations(int device, F field) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::size_t total = 0;
    for (const auto& entry : r.allocations)
        if (entry.second.device == device) total += field(entry.second);
    return total;
}
}  // namespace

std::size_t live_bytes(int device) {
    return sum_allocations(device, [](const Allocation& a) { return a.size; });
}

std::size_t live_allocations(int device) {
    return sum_allocations(device, [](const Allocation&) { return std::size_t(1); });
}

cudaError_t register_device_range(const void* ptr, std::size_t bytes, int device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (device < 0 || device >= r.device_count) return internal::record(cudaErrorInvalidDevice);
    if (!ptr || bytes == 0) return internal::record(cudaErrorInvalidValue);
    r.external_ranges.push_back({reinterpret_cast<std::uintptr_t>(ptr), bytes, device});
    return cudaSuccess;
}

cudaError_t unregister_device_range(const void* ptr, std::size_t bytes) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto begin = reinterpret_cast<std::uintptr_t>(ptr);
    const auto it = std::find_if(r.external_ranges.begin(), r.external_ranges.end(), [&](const ExternalRange& range) {
        return range.begin == begin && range.size == bytes;
    });
    if (it == r.external_ranges.end()) return internal::record(cudaErrorInvalidValue);
    r.external_ranges.erase(it);
    return cudaSuccess;
}

std::size_t registered_device_ranges() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.external_ranges.size();
}

std::size_t registered_host_ranges() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.host_ranges.size();
}

std::uint64_t host_register_count() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.host_registrations;
}

int live_blas_handles(int device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return device >= 0 && device < static_cast<int>(r.devices.size()) ? r.devices[device].blas_handles : 0;
}

std::uint64_t synchronize_count() { return registry().synchronizations.load(std::memory_order_relaxed); }

}  // namespace hostdevice

using hostdevice::internal::record;

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return record(cudaErrorInvalidValue);
    *count = hostdevice::configured_device_count();
    return *count == 0 ? record(cudaErrorNoDevice) : cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    const int count = hostdevice::configured_device_count();
    if (count == 0) return record(cudaErrorNoDevice);
    if (device < 0 || device >= count) return record(cudaErrorInvalidDevice);
    hostdevice::t_current_device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (!device) return record(cudaErrorInvalidValue);
    return record(hostdevice::internal::current_device(device));
}

cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total) {
    if (!free || !total) return record(cudaErrorInvalidValue);
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    hostdevice::Registry& r = hostdevice::registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const hostdevice::Device& d = r.devices[device];
    *total = d.capacity;
    *free = d.capacity - std::min(d.live_bytes, d.capacity);  // capacity lowered below what is live: none free
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** ptr, std::size_t size) {
    if (!ptr) return record(cudaErrorInvalidValue);
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    *ptr = nullptr;
    if (size == 0) return cudaSuccess;
    hostdevice::Registry& r = hostdevice::registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        hostdevice::Device& d = r.devices[device];
        if (size > d.capacity || d.live_bytes > d.capacity - size) return record(cudaErrorMemoryAllocation);
        d.live_bytes += size;  // reserved before the host allocation so concurrent callers see it
        d.live_allocations += 1;
    }
    void* memory = ::operator new(size, std::align_val_t(256), std::nothrow);
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!memory) {
        r.devices[device].live_bytes -= size;
        r.devices[device].live_allocations -= 1;
        return record(cudaErrorMemoryAllocation);
    }
    std::memset(memory, hostdevice::kUninitialisedByte, size);
    r.allocations.emplace(reinterpret_cast<std::uintptr_t>(memory), hostdevice::Allocation{size, device});
    *ptr = memory;
    return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
    if (!ptr) return cudaSuccess;
    hostdevice::Registry& r = hostdevice::registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.allocations.find(reinterpret_cast<std::uintptr_t>(ptr));
        if (it == r.allocations.end()) return record(cudaErrorInvalidValue);
        r.devices[it->second.device].live_bytes -= it->second.size;
        r.devices[it->second.device].live_allocations -= 1;
        r.allocations.erase(it);
    }
    ::operator delete(ptr, std::align_val_t(256));
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, std::size_t count) {
    hostdevice::hold_point();
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    if (count == 0) return cudaSuccess;
    if (!hostdevice::internal::is_device_range(ptr, count)) return record(cudaErrorInvalidValue);
    std::memset(ptr, value, count);
    return cudaSuccess;
}

namespace {
// A copy's side must lie where its kind says: inside one live device allocation, or in host memory
// that no device allocation overlaps (a device pointer named as the host side is a wrong direction).
bool side_ok(const void* ptr, std::size_t count, bool device_side) {
    if (device_side) return hostdevice::internal::is_device_range(ptr, count);
    return ptr != nullptr && !hostdevice::internal::touches_device_memory(ptr, count);
}
}  // namespace

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
    hostdevice::hold_point();
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    if (count == 0) return cudaSuccess;
    bool dst_device = false;
    bool src_device = false;
    switch (kind) {
        case cudaMemcpyHostToHost: break;
        case cudaMemcpyHostToDevice: dst_device = true; break;
        case cudaMemcpyDeviceToHost: src_device = true; break;
        case cudaMemcpyDeviceToDevice: dst_device = src_device = true; break;
        case cudaMemcpyDefault:
            dst_device = hostdevice::internal::is_device_range(dst, count);
            src_device = hostdevice::internal::is_device_range(src, count);
            break;
        default: return record(cudaErrorInvalidValue);
    }
    if (!side_ok(dst, count, dst_device) || !side_ok(src, count, src_device)) return record(cudaErrorInvalidValue);
    std::memmove(dst, src, count);
    return cudaSuccess;
}

// Rows of width bytes, height of them, pitch bytes apart on each side. Each side's whole extent must
// lie where the kind says, as for cudaMemcpy; a width above either pitch is refused as the runtime
// refuses it.
cudaError_t cudaMemcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width,
                         std::size_t height, cudaMemcpyKind kind) {
    hostdevice::hold_point();
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    if (width > dpitch || width > spitch) return record(cudaErrorInvalidPitchValue);
    if (width == 0 || height == 0) return cudaSuccess;
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToHost && kind != cudaMemcpyDeviceToDevice &&
        kind != cudaMemcpyHostToHost)
        return record(cudaErrorInvalidValue);
    const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    // A side spans (height - 1) pitches and one row; an extent beyond the address space is no range.
    std::size_t dst_extent = 0;
    std::size_t src_extent = 0;
    if (__builtin_mul_overflow(height - 1, dpitch, &dst_extent) ||
        __builtin_add_overflow(dst_extent, width, &dst_extent) ||
        __builtin_mul_overflow(height - 1, spitch, &src_extent) ||
        __builtin_add_overflow(src_extent, width, &src_extent))
        return record(cudaErrorInvalidValue);
    if (!side_ok(dst, dst_extent, dst_device) || !side_ok(src, src_extent, src_device))
        return record(cudaErrorInvalidValue);
    for (std::size_t row = 0; row < height; ++row)
        std::memmove(static_cast<char*>(dst) + row * dpitch, static_cast<const char*>(src) + row * spitch, width);
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    if (!value) return record(cudaErrorInvalidValue);
    if (device < 0 || device >= hostdevice::configured_device_count()) return record(cudaErrorInvalidDevice);
    switch (attr) {
        case cudaDevAttrMaxGridDimY: *value = static_cast<int>(hostdevice::max_grid_y()); return cudaSuccess;
    }
    return record(cudaErrorInvalidValue);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, cudaStream_t) {
    // Work on the host device completes in stream order as it is issued.
    return cudaMemcpy(dst, src, count, kind);
}

cudaError_t cudaStreamSynchronize(cudaStream_t) {
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    hostdevice::internal::note_synchronize();
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    hostdevice::internal::note_synchronize();
    return cudaSuccess;
}

// An event handle is the address of a byte the host device allocates for it; nothing is ever
// pending, so recording completes it at once and waiting for it returns at once.
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    if (!event || (flags & ~(cudaEventDefault | cudaEventDisableTiming)) != 0) return record(cudaErrorInvalidValue);
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    auto* handle = reinterpret_cast<cudaEvent_t>(new unsigned char(0));
    hostdevice::Registry& r = hostdevice::registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.events.insert(handle);
    *event = handle;
    return cudaSuccess;
}

namespace {
bool live_event(cudaEvent_t event) {
    hostdevice::Registry& r = hostdevice::registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.events.count(event) != 0;
}
}  // namespace

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
    int device = 0;
    if (cudaError_t status = hostdevice::internal::current_device(&device)) return record(status);
    return live_event(event) ? cudaSuccess : record(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaStreamWaitEvent(cudaStream_t, cudaEvent_t event, unsigned int flags) {
    if (flags != 0) return record(cudaErrorInvalidValue);
    return live_event(event) ? cudaSuccess : record(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    hostdevice::Registry& r = hostdevice::registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.events.erase(event) == 0) return record(cudaErrorInvalidResourceHandle);
    }
    delete reinterpret_cast<unsigned char*>(event);
    return cudaSuccess;
}

cudaError_t cudaHostRegister(void* ptr, std::size_t size, unsigned int) {
    hostdevice::Registry& r = hostdevice::registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.device_count == 0) return record(cudaErrorNoDevice);
    if (r.host_register_fails) return record(cudaErrorNotSupported);
    if (!ptr || size == 0) return record(cudaErrorInvalidValue);
    const auto begin = reinterpret_cast<std::uintptr_t>(ptr);
    auto next = r.host_ranges.lower_bound(begin);
    if (next != r.host_ranges.end() && next->first < begin + size) return record(cudaErrorHostMemoryAlreadyRegistered);
    if (next != r.host_ranges.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second > begin) return record(cudaErrorHostMemoryAlreadyRegistered);
    }
    r.host_ranges.emplace(begin, size);
    ++r.host_registrations;
    return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
    hostdevice::Registry& r = hostdevice::registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.host_ranges.erase(reinterpret_cast<std::uintptr_t>(ptr)) == 0)
        return record(cudaErrorHostMemoryNotRegistered);
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    const cudaError_t status = hostdevice::t_last_error;
    hostdevice::t_last_error = cudaSuccess;
    return status;
}

cudaError_t cudaPeekAtLastError() { return hostdevice::t_last_error; }

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidPitchValue: return "invalid pitch argument";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
        case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
        case cudaErrorHostMemoryAlreadyRegistered: return "part or all of the requested memory range is already mapped";
        case cudaErrorHostMemoryNotRegistered: return "pointer does not correspond to a registered memory region";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorNotSupported: return "operation not supported";
    }
    return "unrecognized error code";
}
