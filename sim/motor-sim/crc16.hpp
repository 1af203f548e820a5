// The frame checksum: CRC-16/KERMIT (polynomial 0x1021 reflected, i.e. 0x8408,
// initial value 0, no final XOR), computed bit by bit. motor-sim's own, never src/'s: it is
// also the reference the tests and fuzzers hold renumber's table-driven checksum to.
#pragma once

#include <cstdint>
#include <span>

namespace sim {

/// crc carries on a checksum over earlier bytes; 0 starts one.
inline std::uint16_t crc16_kermit(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0)
{
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1U) ^ 0x8408U)
                                  : static_cast<std::uint16_t>(crc >> 1U);
        }
    }
    return crc;
}

} // namespace sim
