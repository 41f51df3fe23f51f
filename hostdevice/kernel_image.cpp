// What the host device learns of a kernel from the symbol table of the module that holds it, as a
// driver learns it from the kernel's image: the kernel's symbols, which name it in the resource
// table of the cuda build (kernel_resources.cpp), and its static shared memory. Static shared arrays are function-local
// thread-locals of the kernel on the host (see __shared__), so their symbols are the kernel's
// symbol's local statics and their per-thread addresses follow from the module's threadIdx.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "hostdevice/fatal.hpp"
#include "hostdevice/kernel_image.hpp"

namespace hostdevice::internal {
namespace {

// One module's symbol table, mapped for the life of the process.
class ModuleSymbols {
  public:
    explicit ModuleSymbols(const std::string& path) : path_(path) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) fatal("cannot read the kernels' module " + path);
        size_ = static_cast<std::size_t>(st.st_size);
        void* data = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (data == MAP_FAILED) fatal("cannot map the kernels' module " + path);
        data_ = static_cast<const unsigned char*>(data);
        const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(data_);
        if (size_ < sizeof(ElfW(Ehdr)) || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
            header->e_shoff + std::size_t(header->e_shnum) * sizeof(ElfW(Shdr)) > size_)
            fatal("not an ELF file: " + path);
        const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(data_ + header->e_shoff);
        for (unsigned i = 0; i < header->e_shnum; ++i) {
            if (sections[i].sh_type != SHT_SYMTAB) continue;
            symbols_ = reinterpret_cast<const ElfW(Sym)*>(data_ + sections[i].sh_offset);
            symbol_count_ = sections[i].sh_size / sizeof(ElfW(Sym));
            names_ = reinterpret_cast<const char*>(data_ + sections[sections[i].sh_link].sh_offset);
        }
        // Without it neither static shared memory nor resources could be found: say so rather than
        // run kernels less faithfully than the tests believe.
        if (!symbols_)
            fatal("the kernels' module " + path + " has no symbol table (stripped?); the host device needs it");
        for (std::size_t i = 0; i < symbol_count_; ++i)
            if (ELF64_ST_TYPE(symbols_[i].st_info) == STT_TLS && std::strcmp(name(i), "threadIdx") == 0) {
                anchor_ = static_cast<std::int64_t>(symbols_[i].st_value);
                has_anchor_ = true;
            }
    }
    ~ModuleSymbols() { munmap(const_cast<unsigned char*>(data_), size_); }

    KernelImage image(std::uint64_t value) const {
        KernelImage out;
        for (std::size_t i = 0; i < symbol_count_; ++i) {
            const ElfW(Sym)& s = symbols_[i];
            if (ELF64_ST_TYPE(s.st_info) == STT_FUNC && s.st_value == value && s.st_shndx != SHN_UNDEF)
                out.symbols.emplace_back(name(i));
        }
        for (const std::string& symbol : out.symbols) {
            if (symbol.rfind("_Z", 0) != 0) continue;
            // A local static of function _Z<encoding> is _ZZ<encoding>E<name>.
            const std::string prefix = "_ZZ" + symbol.substr(2) + "E";
            for (std::size_t i = 0; i < symbol_count_; ++i) {
                const ElfW(Sym)& s = symbols_[i];
                if (ELF64_ST_TYPE(s.st_info) != STT_TLS || s.st_size == 0) continue;
                if (std::string_view(name(i)).substr(0, prefix.size()) != prefix) continue;
                if (!has_anchor_) fatal("no threadIdx in " + path_ + " for the static shared memory of " + symbol);
                out.static_shared.push_back(StaticSharedRange{static_cast<std::int64_t>(s.st_value) - anchor_,
                                                              static_cast<std::size_t>(s.st_size)});
                out.static_shared_bytes += s.st_size;
            }
        }
        return out;
    }

  private:
    const char* name(std::size_t i) const { return names_ + symbols_[i].st_name; }

    std::string path_;
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    const ElfW(Sym) * symbols_ = nullptr;
    std::size_t symbol_count_ = 0;
    const char* names_ = nullptr;
    std::int64_t anchor_ = 0;
    bool has_anchor_ = false;
};

struct Images {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<ModuleSymbols>> modules;
    std::map<const void*, std::unique_ptr<KernelImage>> kernels;
};

Images& images() {
    static Images* images = new Images();  // never destroyed: kernels may run during static teardown
    return *images;
}

}  // namespace

const KernelImage& kernel_image(const void* kernel_address) {
    Images& all = images();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto known = all.kernels.find(kernel_address);
    if (known != all.kernels.end()) return *known->second;
    Dl_info info{};
    link_map* module = nullptr;
    if (!dladdr1(kernel_address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) || !module)
        fatal("cannot find the module of a kernel");
    const std::string path = module->l_name && module->l_name[0] ? module->l_name : "/proc/self/exe";
    auto& symbols = all.modules[path];
    if (!symbols) symbols = std::make_unique<ModuleSymbols>(path);
    const std::uint64_t value = reinterpret_cast<std::uintptr_t>(kernel_address) - module->l_addr;
    auto image = std::make_unique<KernelImage>(symbols->image(value));
    return *all.kernels.emplace(kernel_address, std::move(image)).first->second;
}

}  // namespace hostdevice::internal
