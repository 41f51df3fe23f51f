// What the host device learns of a kernel from its module's symbol table; not seen by the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostdevice::internal {

// One static shared array: its distance from the module's threadIdx on any host thread, and size.
struct StaticSharedRange {
    std::int64_t from_anchor;
    std::size_t bytes;
};

struct KernelImage {
    // The kernel's symbols (mangled), the cuda build's names for it; more than one when the host
    // compiler folded identical kernels into one body.
    std::vector<std::string> symbols;
    std::vector<StaticSharedRange> static_shared;
    std::size_t static_shared_bytes = 0;
};

// Looked up once per kernel, from the symbol table of the module that holds the kernel, and kept.
// Aborts with a message when the module cannot be read or has no symbol table.
const KernelImage& kernel_image(const void* kernel_address);

}  // namespace hostdevice::internal
