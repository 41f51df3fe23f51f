#include "hostdevice/fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace hostdevice::internal {

void fatal(const std::string& what) {
    std::fprintf(stderr, "hostdevice: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void fatal(const std::string& what, const char* kernel) { fatal(what + " (kernel " + (kernel ? kernel : "?") + ")"); }

}  // namespace hostdevice::internal
