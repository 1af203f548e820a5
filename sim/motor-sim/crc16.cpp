#include "crc16.hpp"

namespace sim {

std::uint16_t crc16_kermit(std::span<const std::uint8_t> bytes)
{
    std::uint16_t crc = 0;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408U)
                                  : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

} // namespace sim
