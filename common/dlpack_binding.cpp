#include "common/dlpack_binding.hpp"

#include <bit>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "common/cuda_check.hpp"
#include "common/dlpack.hpp"
#include "common/precision.hpp"
#include "common/python_args.hpp"
#include "common/python_gil.hpp"
#include "common/strided_copy.hpp"

namespace korvane {
namespace {

namespace py = pybind11;
using namespace dlpack;

constexpr const char* kLegacyName = "dltensor";
constexpr const char* kVersionedName = "dltensor_versioned";
constexpr const char* kUsedLegacyName = "used_dltensor";
constexpr const char* kUsedVersionedName = "used_dltensor_versioned";

// The memory a state lives in: CUDA device memory on a GPU; on the host backend the host device's
// memory, which is host memory, so CPU memory to every consumer.
#if defined(KORVANE_GPU_CUDA)
constexpr DLDeviceType kStateMemory = kDLCUDA;
#else
constexpr DLDeviceType kStateMemory = kDLCPU;
#endif

DLDevice state_device(const StateBuffer& buffer) {
    return kStateMemory == kDLCPU ? DLDevice{kDLCPU, 0} : DLDevice{kStateMemory, buffer.device_id()};
}

bool operator==(DLDevice a, DLDevice b) { return a.device_type == b.device_type && a.device_id == b.device_id; }

std::string memory_name(std::int32_t device_type) {
    switch (device_type) {
        case kDLCPU: return "CPU";
        case kDLCUDA: return "CUDA";
        case kDLCUDAHost: return "CUDA host";
        case kDLCUDAManaged: return "CUDA managed";
        case kDLROCM: return "ROCm";
        default: return "device type " + std::to_string(device_type);
    }
}

std::string device_text(DLDevice device) {
    return memory_name(device.device_type) + " memory (device " + std::to_string(device.device_id) + ")";
}

std::string dtype_text(DLDataType dtype) {
    std::string name;
    switch (dtype.code) {
        case kDLInt: name = "int"; break;
        case kDLUInt: name = "uint"; break;
        case kDLFloat: name = "float"; break;
        case kDLBfloat: name = "bfloat"; break;
        case kDLComplex: name = "complex"; break;
        case kDLBool: return "bool";
        default:
            return "DLPack type code " + std::to_string(dtype.code) + " of " + std::to_string(dtype.bits) + " bits";
    }
    name += std::to_string(dtype.bits);
    return dtype.lanes == 1 ? name : name + " in " + std::to_string(dtype.lanes) + " lanes";
}

std::string shape_text(const std::vector<std::int64_t>& shape) {
    std::string text = "(";
    for (std::size_t d = 0; d < shape.size(); ++d) text += (d ? ", " : "") + std::to_string(shape[d]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

// ---------------------------------------------------------------- arguments, strictly typed

std::optional<std::int64_t> optional_integer(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    if (!detail::integer_like(value))
        throw py::type_error(std::string(name) + " must be None or an integer, not " + detail::type_name(value));
    const std::optional<std::int64_t> v = detail::int_value<std::int64_t>(detail::as_int(value));
    if (!v) throw std::invalid_argument(std::string(name) + " is out of range");
    return v;
}

std::optional<bool> optional_bool(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return bool_value(value, name);
}

// None or a tuple of two integers within int32 (a DLPack version or device).
std::optional<std::pair<std::int32_t, std::int32_t>> optional_pair(py::handle value, const char* name,
                                                                   const char* form) {
    if (value.is_none()) return std::nullopt;
    const auto refuse = [&] {
        return py::type_error(std::string(name) + " must be None or a tuple " + form + " of integers, not " +
                              detail::type_name(value));
    };
    if (!PyTuple_Check(value.ptr()) || PyTuple_GET_SIZE(value.ptr()) != 2) throw refuse();
    std::int32_t parts[2];
    for (int i = 0; i < 2; ++i) {
        const py::handle item = PyTuple_GET_ITEM(value.ptr(), i);
        if (!detail::integer_like(item)) throw refuse();
        const std::optional<std::int32_t> v = detail::int_value<std::int32_t>(detail::as_int(item));
        if (!v) throw std::invalid_argument(std::string(name) + " is out of range");
        parts[i] = *v;
    }
    return std::make_pair(parts[0], parts[1]);
}

// ---------------------------------------------------------------- export

// A managed tensor with what it points to: its shape and strides, and the owner of its memory (the
// state, or the copy made for the consumer). The managed struct comes first, so the consumer's
// pointer is the context's.
template <class Managed>
struct Exported {
    Managed managed{};
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;
    std::shared_ptr<const void> owner;
};

// Needs no Python: releasing the owner may release a state, whose borrowed memory's keeper takes
// the GIL itself.
template <class Managed>
void delete_exported(Managed* self) {
    delete static_cast<Exported<Managed>*>(self->manager_ctx);
}

template <class Managed>
constexpr const char* capsule_name() {
    return std::is_same_v<Managed, DLManagedTensorVersioned> ? kVersionedName : kLegacyName;
}

// Calls the tensor's deleter when nobody consumed the capsule (a consumer renames it "used_...").
template <class Managed>
void capsule_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, capsule_name<Managed>())) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);  // an exception may be in flight
    auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, capsule_name<Managed>()));
    if (managed && managed->deleter) managed->deleter(managed);
    PyErr_Restore(type, value, traceback);
}

template <class Managed>
py::capsule make_capsule(void* data, DLDevice device, Precision precision, const std::vector<std::int64_t>& shape,
                         std::shared_ptr<const void>&& owner, std::uint64_t flags) {
    auto exported = std::make_unique<Exported<Managed>>();
    exported->shape = shape;
    exported->strides.assign(shape.size(), 1);
    for (std::size_t d = shape.size(); d-- > 1;) exported->strides[d - 1] = exported->strides[d] * shape[d];
    exported->owner = std::move(owner);
    Managed& managed = exported->managed;
    managed.dl_tensor = DLTensor{data,
                                 device,
                                 static_cast<std::int32_t>(shape.size()),
                                 DLDataType{kDLComplex, static_cast<std::uint8_t>(8 * element_bytes(precision)), 1},
                                 exported->shape.data(),
                                 exported->strides.data(),
                                 0};
    managed.manager_ctx = exported.get();
    managed.deleter = &delete_exported<Managed>;
    if constexpr (std::is_same_v<Managed, DLManagedTensorVersioned>) {
        managed.version = kVersion;
        managed.flags = flags;
    }
    PyObject* capsule = PyCapsule_New(&managed, capsule_name<Managed>(), &capsule_destructor<Managed>);
    if (!capsule) throw py::error_already_set();
    (void)exported.release();  // the capsule, then its consumer, owns it now
    return py::reinterpret_steal<py::capsule>(capsule);
}

// The consumer's stream as the standard numbers CUDA streams: None and 1 the legacy default stream,
// 2 the per-thread default stream, -1 "do not synchronise", above 2 a stream handle. Returns the
// stream that must wait for the state's work, or nothing when none must.
std::optional<cudaStream_t> consumer_stream(std::optional<std::int64_t> stream, DLDevice target) {
    if (target.device_type == kDLCPU) {
        if (stream) throw std::invalid_argument("stream must be None for CPU memory, not " + std::to_string(*stream));
        return std::nullopt;
    }
    if (!stream || *stream == 1 || *stream == -1) return std::nullopt;  // the state's own stream, or no wait
    if (*stream == 0)
        throw std::invalid_argument(
            "stream 0 is ambiguous: None or 1 is the legacy default stream, 2 the per-thread default stream");
    if (*stream < 0)
        throw std::invalid_argument("stream must be None, -1, 1, 2 or a CUDA stream handle, not " +
                                    std::to_string(*stream));
    if (*stream == 2) return cudaStreamPerThread;
    return std::bit_cast<cudaStream_t>(static_cast<std::intptr_t>(*stream));  // the handle's bits, as given
}

// ---------------------------------------------------------------- import

// A managed tensor taken from a capsule: released through its producer's deleter, with the GIL
// (the producer's deleter should take it itself; not every producer's does).
template <class Managed>
std::shared_ptr<void> keeper_of(Managed* managed) {
    return std::shared_ptr<void>(managed, [](void* p) {
        auto* m = static_cast<Managed*>(p);
        if (m->deleter) with_gil([m] { m->deleter(m); });
    });
}

// What a capsule holds, read before it is consumed.
struct CapsuleTensor {
    DLTensor tensor{};
    bool read_only = false;
    void* managed = nullptr;
    bool versioned = false;
};

CapsuleTensor read_capsule(py::handle capsule) {
    if (!PyCapsule_CheckExact(capsule.ptr()))
        throw py::type_error("__dlpack__ must return a DLPack capsule, not " + detail::type_name(capsule));
    const char* name = PyCapsule_GetName(capsule.ptr());
    const std::string text = name ? name : "";
    if (text == kUsedLegacyName || text == kUsedVersionedName)
        throw std::invalid_argument("DLPack capsule was already consumed");
    CapsuleTensor read;
    read.versioned = text == kVersionedName;
    if (!read.versioned && text != kLegacyName)
        throw py::type_error("a capsule named '" + text + "' is no DLPack capsule");
    read.managed = PyCapsule_GetPointer(capsule.ptr(), name);
    if (!read.managed) throw py::error_already_set();
    if (read.versioned) {
        const auto* managed = static_cast<const DLManagedTensorVersioned*>(read.managed);
        if (managed->version.major != kVersion.major)
            throw std::invalid_argument("DLPack " + std::to_string(managed->version.major) + "." +
                                        std::to_string(managed->version.minor) +
                                        " tensor: this build reads DLPack 1.x");
        read.tensor = managed->dl_tensor;
        read.read_only = (managed->flags & DLPACK_FLAG_BITMASK_READ_ONLY) != 0;
    } else {
        read.tensor = static_cast<const DLManagedTensor*>(read.managed)->dl_tensor;
    }
    return read;
}

// Marks the capsule consumed and takes its tensor over.
std::shared_ptr<void> consume(py::handle capsule, const CapsuleTensor& read) {
    if (PyCapsule_SetName(capsule.ptr(), read.versioned ? kUsedVersionedName : kUsedLegacyName) != 0)
        throw py::error_already_set();
    return read.versioned ? keeper_of(static_cast<DLManagedTensorVersioned*>(read.managed))
                          : keeper_of(static_cast<DLManagedTensor*>(read.managed));
}

void check_device(std::int32_t device_type, std::int32_t device_id) {
    if (device_type != kStateMemory)
        throw std::invalid_argument("DLPack tensor is in " + device_text({DLDeviceType(device_type), device_id}) +
                                    "; this build's states take " + memory_name(kStateMemory) + " memory");
}

// The capsule of a producer: asked for DLPack 1.x first, as the standard's consumers do, then in
// the form producers before max_version know. The producer's device comes first: it decides the
// stream argument, and a tensor elsewhere is refused before the producer does any work for it.
py::object capsule_of(py::handle source) {
    if (PyCapsule_CheckExact(source.ptr())) return py::reinterpret_borrow<py::object>(source);
    if (!py::hasattr(source, "__dlpack__"))
        throw py::type_error("from_dlpack takes an object with __dlpack__ or a DLPack capsule, not " +
                             detail::type_name(source));
    if (py::hasattr(source, "__dlpack_device__")) {
        const auto device =
            optional_pair(source.attr("__dlpack_device__")(), "__dlpack_device__()", "(device_type, device_id)");
        if (device) check_device(device->first, device->second);
    }
    // The state's work runs on the legacy default stream: the producer orders its work before it.
    const auto arguments = [](bool versioned) {
        py::dict kwargs;
        if (kStateMemory == kDLCUDA) kwargs["stream"] = 1;
        if (versioned) kwargs["max_version"] = py::make_tuple(kVersion.major, kVersion.minor);
        return kwargs;
    };
    const py::object dlpack = source.attr("__dlpack__");
    try {
        return dlpack(**arguments(true));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
    }
    return dlpack(**arguments(false));
}

bool c_contiguous(const DLTensor& t) {
    if (!t.strides) return true;
    std::int64_t expected = 1;
    for (std::int32_t d = t.ndim; d-- > 0;) {
        if (t.shape[d] != 1 && t.strides[d] != expected) return false;
        expected *= t.shape[d];
    }
    return true;
}

// The lowest and one past the highest byte offset the tensor's elements reach from its origin;
// nothing when that does not fit in 64 bits.
std::optional<std::pair<std::int64_t, std::int64_t>> byte_extent(const DLTensor& t, std::int64_t element) {
    std::int64_t low = 0;
    std::int64_t high = element;
    for (std::int32_t d = 0; d < t.ndim; ++d) {
        std::int64_t reach = 0;
        if (__builtin_mul_overflow(t.shape[d] - 1, t.strides[d], &reach) ||
            __builtin_mul_overflow(reach, element, &reach))
            return std::nullopt;
        if ((reach < 0 ? __builtin_add_overflow(low, reach, &low) : __builtin_add_overflow(high, reach, &high)))
            return std::nullopt;
    }
    return std::make_pair(low, high);
}

StridedView view_of(const DLTensor& t) {
    StridedView view;
    if (t.ndim == 1) {
        view.columns = static_cast<std::uint64_t>(t.shape[0]);
        view.column_stride = t.strides[0];
    } else {
        view.rows = static_cast<std::uint64_t>(t.shape[0]);
        view.columns = static_cast<std::uint64_t>(t.shape[1]);
        view.row_stride = t.strides[0];
        view.column_stride = t.strides[1];
    }
    return view;
}

}  // namespace

// ---------------------------------------------------------------- export

py::capsule dlpack_export(const StateTensor& tensor, py::handle stream, py::handle max_version, py::handle dl_device,
                          py::handle copy) {
    const std::optional<std::int64_t> stream_number = optional_integer(stream, "stream");
    const auto version = optional_pair(max_version, "max_version", "(major, minor)");
    const auto device = optional_pair(dl_device, "dl_device", "(device_type, device_id)");
    const std::optional<bool> copy_asked = optional_bool(copy, "copy");
    const StateBuffer& buffer = *tensor.buffer;
    const DLDevice own = state_device(buffer);
    const DLDevice target = device ? DLDevice{DLDeviceType(device->first), device->second} : own;
    // Another device is reachable only by a copy, and the one other the standard asks for is CPU memory.
    const bool to_host = !(target == own) && target == DLDevice{kDLCPU, 0};
    if (!(target == own) && !to_host)
        throw py::buffer_error("cannot export a state in " + device_text(own) + " to " + device_text(target));
    if (to_host && copy_asked == false)
        throw py::buffer_error("copy=False, but an export to " + device_text(target) + " copies the state's " +
                               device_text(own));
    const std::optional<cudaStream_t> waits = consumer_stream(stream_number, target);
    const bool copies = to_host || copy_asked == true;

    std::shared_ptr<const void> owner = tensor.buffer;
    void* data = buffer.data();
    {
        GilRelease release;
        if (to_host) {
            auto host = std::shared_ptr<unsigned char[]>(new unsigned char[buffer.bytes()]);
            buffer.copy_to_host(host.get());
            data = host.get();
            owner = std::move(host);
        } else if (copies) {
            auto copied = std::make_shared<StateBuffer>(buffer.elements(), buffer.dtype(), buffer.device_id());
            copied->copy_from(buffer);
            data = copied->data();
            owner = std::move(copied);
        }
        if (waits) buffer.order_before(*waits);
    }
    const std::uint64_t flags = copies ? DLPACK_FLAG_BITMASK_IS_COPIED : 0;
    if (version && version->first >= 1)
        return make_capsule<DLManagedTensorVersioned>(data, target, buffer.dtype(), tensor.shape, std::move(owner),
                                                      flags);
    return make_capsule<DLManagedTensor>(data, target, buffer.dtype(), tensor.shape, std::move(owner), flags);
}

py::typing::Tuple<py::int_, py::int_> dlpack_device(const StateBuffer& buffer) {
    const DLDevice device = state_device(buffer);
    return py::make_tuple(static_cast<int>(device.device_type), device.device_id);
}

py::typing::Dict<py::str, py::object> cuda_array_interface(const StateTensor& tensor) {
    py::tuple shape(tensor.shape.size());
    for (std::size_t d = 0; d < tensor.shape.size(); ++d) shape[d] = tensor.shape[d];
    py::dict interface;
    interface["shape"] = shape;
    interface["typestr"] = tensor.buffer->dtype() == Precision::Complex128 ? "<c16" : "<c8";
    interface["data"] = py::make_tuple(reinterpret_cast<std::uintptr_t>(tensor.buffer->data()), false);
    interface["version"] = 3;
    interface["strides"] = py::none();
    interface["stream"] = 1;  // the legacy default stream, where the state's work runs
    return interface;
}

// ---------------------------------------------------------------- import

ImportedTensor dlpack_import(py::handle source, py::handle copy, const ShapeRule& rule) {
    const std::optional<bool> copy_asked = optional_bool(copy, "copy");
    const py::object capsule = capsule_of(source);
    const CapsuleTensor read = read_capsule(capsule);
    const DLTensor& t = read.tensor;
    check_device(t.device.device_type, t.device.device_id);
    if (t.dtype.code != kDLComplex || t.dtype.lanes != 1 || (t.dtype.bits != 64 && t.dtype.bits != 128))
        throw py::type_error(std::string("a ") + rule.kind + " takes a complex64 or complex128 tensor, not " +
                             dtype_text(t.dtype));
    const Precision precision = t.dtype.bits == 128 ? Precision::Complex128 : Precision::Complex64;
    if (t.ndim < 0 || t.ndim > 64)
        throw std::invalid_argument("DLPack tensor has " + std::to_string(t.ndim) + " dimensions");
    const std::vector<std::int64_t> shape(t.shape, t.shape + t.ndim);
    if (!rule.accepts(shape))
        throw std::invalid_argument(std::string("a ") + rule.kind + " takes a tensor of shape " + rule.form + ", not " +
                                    shape_text(shape));
    if (read.read_only && copy_asked != true)
        throw std::invalid_argument(
            "DLPack tensor is read-only, and a state writes to its memory (copy=True copies it)");
    const auto element = static_cast<std::int64_t>(element_bytes(precision));
    const auto origin = reinterpret_cast<std::uintptr_t>(t.data) + t.byte_offset;
    const bool aligned = origin % static_cast<std::uint64_t>(element) == 0;
    const bool borrows = copy_asked != true && c_contiguous(t) && aligned;
    if (!borrows && copy_asked == false)
        throw std::invalid_argument(
            std::string("DLPack tensor is ") +
            (aligned ? "not C-contiguous (strides " +
                           shape_text(std::vector<std::int64_t>(t.strides, t.strides + t.ndim)) + " in elements)"
                     : "not aligned to its " + std::to_string(element) + "-byte elements") +
            ", and copy=False");
    std::uint64_t elements = 1;
    for (const std::int64_t extent : shape) elements *= static_cast<std::uint64_t>(extent);
    const std::int32_t device_id = kStateMemory == kDLCPU ? 0 : t.device.device_id;
    const bool strided = !c_contiguous(t);
    std::optional<std::pair<std::int64_t, std::int64_t>> extent;
    if (strided) {
        extent = byte_extent(t, element);
        if (!extent) throw std::invalid_argument("DLPack tensor's strides reach beyond 64-bit addresses");
        if (origin % static_cast<std::uint64_t>(element / 2) != 0)
            throw std::invalid_argument("DLPack tensor is not aligned to its " + std::to_string(element / 2) +
                                        "-byte parts");
    }
    void* data = static_cast<char*>(t.data) + t.byte_offset;

    std::shared_ptr<void> keeper = consume(capsule, read);
    if (borrows) return {shape, StateBuffer(BorrowedMemory{data, elements, precision, device_id, std::move(keeper)})};
    // A copy the state owns; the producer is let go (with the GIL) once it is made.
    std::optional<StateBuffer> owned;
    {
        GilRelease release;
        cuda_check(cudaSetDevice(device_id));
        owned.emplace(elements, precision, device_id);
        if (!strided) {
            const DeviceRangeRegistration lent(data, owned->bytes(), device_id);
            owned->copy_from_device(data);
        } else {
            const DeviceRangeRegistration lent(static_cast<char*>(data) + extent->first,
                                               static_cast<std::uint64_t>(extent->second - extent->first), device_id);
            dispatch_precision(precision, [&]<class T>() {
                copy_strided(owned->data_as<T>(), static_cast<const T*>(data), view_of(t));
            });
        }
    }
    return {shape, std::move(*owned)};
}

int power_of_two_exponent(std::int64_t length, int min_exponent, int max_exponent) {
    if (length <= 0 || (length & (length - 1)) != 0) return -1;
    const int exponent = std::countr_zero(static_cast<std::uint64_t>(length));
    return exponent >= min_exponent && exponent <= max_exponent ? exponent : -1;
}

// ---------------------------------------------------------------- docstrings

std::string dlpack_doc(const ShapeRule& rule) {
    return std::string(
               "Export the state as a DLPack capsule, without a copy (the Python array API standard's "
               "protocol):\nthe consumer sees its memory, of shape ") +
           rule.form +
           " (row-major), and changes to it are the state's.\nThe capsule keeps the memory alive until the consumer "
           "releases it, even after the state is deleted.\n\n"
           "stream: the consumer's CUDA stream. The state's work runs on the legacy default stream: for None\n"
           "or 1 (that stream) and -1 (no synchronisation) nothing waits; for 2 (the per-thread default\n"
           "stream) or a stream handle, that stream waits for the state's pending work (an event recorded on\n"
           "the legacy default stream) before the call returns. CPU memory takes only None.\n"
           "max_version: the consumer's highest DLPack version (major, minor). A major of 1 or more gives a\n"
           "'dltensor_versioned' capsule (DLPack 1.1, with flags), None or a major of 0 the legacy 'dltensor' one.\n"
           "dl_device: (device_type, device_id), the state's own device (__dlpack_device__) when None; on a GPU,\n"
           "(1, 0) exports a copy in CPU memory. Another device raises BufferError.\n"
           "copy: True exports a copy, flagged as one, that the consumer alone owns; False refuses (BufferError)\n"
           "an export that needs a copy; None copies only then.";
}

std::string dlpack_device_doc() {
    return "(device_type, device_id) of the state's memory in DLPack's numbering: (2, device id) for CUDA "
           "memory on\nthe cuda backend, (1, 0) for CPU memory on the host backend, whose device memory is host "
           "memory.";
}

std::string from_dlpack_doc(const ShapeRule& rule) {
    return std::string("A ") + rule.kind +
           " over a DLPack tensor's memory, without a copy: obj is any object with __dlpack__\n(NumPy arrays on the "
           "host backend; CuPy, PyTorch or JAX arrays on the GPU) or a DLPack capsule, which is\nconsumed. The state "
           "borrows the memory: it keeps the producer alive, works on the memory in place (its\ngates and collapses "
           "are the producer's to see) and never frees it. The tensor must be in the backend's\nmemory (CUDA, or "
           "CPU on the host backend), complex64 or complex128, of shape " +
           rule.form +
           ",\nin C order.\n\ncopy: True copies the tensor into memory the state owns; None copies a tensor that is "
           "not C-contiguous\n(or not aligned to its elements) and borrows any other; False never copies. A "
           "read-only tensor is\ntaken only as a copy. Every refusal (ValueError or TypeError naming the problem) "
           "comes before any\nallocation and leaves a capsule unconsumed; a consumed capsule is refused.";
}

std::string cuda_array_interface_doc() {
    return "The state's CUDA memory in the CUDA array interface (version 3), for CuPy, Numba and others: shape, "
           "typestr\n'<c8' or '<c16', data (pointer, False), strides None (C order) and stream 1, the legacy default "
           "stream\non which the state's work runs. Absent on the host backend, whose consumers use DLPack.";
}

}  // namespace korvane
