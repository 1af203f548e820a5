// The frame checksum: CRC-16/KERMIT (polynomial 0x1021 reflected, i.e. 0x8408,
// initial value 0, no final XOR), computed bit by bit.
#pragma once

#include <cstdint>
#include <span>

namespace sim {

std::uint16_t crc16_kermit(std::span<const std::uint8_t> bytes);

} // namespace sim
