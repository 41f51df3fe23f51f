// How the host device stops on a fault a GPU would not report as an error (a broken barrier, a
// stripped module, a bad setting): a message on stderr, then abort.
#pragma once

#include <string>

namespace hostdevice::internal {

// "hostdevice: <what>"
[[noreturn]] void fatal(const std::string& what);
// "hostdevice: <what> (kernel <kernel>)", "?" for a null kernel.
[[noreturn]] void fatal(const std::string& what, const char* kernel);

}  // namespace hostdevice::internal
