#include "motor/motor.h"

namespace {

constexpr std::uint16_t CRC16_POLY_REFLECTED = 0x8408;
constexpr std::uint32_t CRC32_POLY = 0x04C11DB7;

constexpr std::array<std::uint16_t, 256> make_crc16_table()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned index = 0; index < table.size(); ++index) {
        auto remainder = static_cast<std::uint16_t>(index);
        for (int step = 0; step < 8; ++step) {
            const bool low_bit = (remainder & 1U) != 0;
            remainder = static_cast<std::uint16_t>(remainder >> 1U);
            if (low_bit) {
                remainder ^= CRC16_POLY_REFLECTED;
            }
        }
        table[index] = remainder;
    }
    return table;
}

constexpr auto CRC16_TABLE = make_crc16_table();
static_assert(CRC16_TABLE[1] == 0x1189 && CRC16_TABLE[2] == 0x2312 && CRC16_TABLE[3] == 0x329B);

} // namespace

std::uint16_t crc16_update(std::uint16_t crc, std::span<const std::uint8_t> bytes)
{
    for (const std::uint8_t byte : bytes) {
        crc = static_cast<std::uint16_t>(CRC16_TABLE[(crc ^ byte) & 0xFFU] ^ (crc >> 8U));
    }
    return crc;
}

std::uint32_t crc32_words(std::span<const std::uint32_t> words)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint32_t word : words) {
        for (int bit = 31; bit >= 0; --bit) {
            const bool top = (crc & 0x80000000U) != 0;
            crc <<= 1U;
            if (top) {
                crc ^= CRC32_POLY;
            }
            if (((word >> static_cast<unsigned>(bit)) & 1U) != 0) {
                crc ^= CRC32_POLY;
            }
        }
    }
    return crc;
}
