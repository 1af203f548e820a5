// Several motors answering the same frame at the same moment drive the RS-485 pair
// together: a 0 bit from any of them wins over the idle 1 level.
#pragma once

#include "bytes.hpp"

#include <vector>

namespace sim {

// Byte-wise AND over the longest answer's length; a shorter answer contributes 0xFF
// (idle line) where it has ended. One answer comes back unchanged.
Bytes collide(const std::vector<Bytes> &answers);

} // namespace sim
