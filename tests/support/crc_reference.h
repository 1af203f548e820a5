// CRC-16/KERMIT one bit at a time, as the catalogue of parametrised CRCs defines it: the
// reference the table-driven crc16_update is checked against, in tests and fuzzing alike.
#pragma once

#include <cstdint>
#include <span>

inline std::uint16_t crc16_bitwise(std::uint16_t crc, std::span<const std::uint8_t> bytes)
{
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1U) ^ 0x8408U)
                                  : static_cast<std::uint16_t>(crc >> 1U);
        }
    }
    return crc;
}
