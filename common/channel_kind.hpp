// The five built-in one-qubit noise channels. The values are fixed: records and fused gate records
// carry them as plain integers.
#pragma once

#include <cstdint>

namespace korvane::density {

enum class ChannelKind : std::int32_t {
    BitFlip = 1,           // (1 - p) rho + p X rho X
    PhaseFlip = 2,         // (1 - p) rho + p Z rho Z
    Depolarizing = 3,      // (1 - 3p/4) rho + (p/4)(X rho X + Y rho Y + Z rho Z)
    AmplitudeDamping = 4,  // K0 = [1, 0; 0, sqrt(1-p)], K1 = [0, sqrt(p); 0, 0]
    PhaseDamping = 5,      // K0 = sqrt(1-p) I, K1 = sqrt(p) |0><0|, K2 = sqrt(p) |1><1|
};

}  // namespace korvane::density
