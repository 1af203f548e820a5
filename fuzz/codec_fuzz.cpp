// Differential: the motor protocol's encoders, decoder and both checksums against plain
// bit-at-a-time references written here from the frame layouts. Every input feeds every check:
// the whole input is the checksums' data, its first bytes the records' fields.
#include "crc16.hpp"
#include "motor/motor.h"
#include "require.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

// Byte i of the input, 0 past its end.
std::uint8_t at(std::span<const std::uint8_t> data, std::size_t i)
{
    return i < data.size() ? data[i] : 0;
}

std::uint32_t word_at(std::span<const std::uint8_t> data, std::size_t i)
{
    return static_cast<std::uint32_t>(at(data, i)) << 24U |
           static_cast<std::uint32_t>(at(data, i + 1)) << 16U |
           static_cast<std::uint32_t>(at(data, i + 2)) << 8U | at(data, i + 3);
}

// CRC-32/MPEG-2 over the words' bytes, most significant byte first, one bit at a time.
std::uint32_t crc32_reference(std::span<const std::uint32_t> words)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint32_t word : words) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            crc ^= ((word >> static_cast<unsigned>(shift)) & 0xFFU) << 24U;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x80000000U) != 0 ? (crc << 1U) ^ 0x04C11DB7U : crc << 1U;
            }
        }
    }
    return crc;
}

void check_checksums(std::span<const std::uint8_t> data)
{
    const auto start = static_cast<std::uint16_t>(at(data, 0) << 8U | at(data, 1));
    require(crc16_update(start, data) == sim::crc16_kermit(data, start),
            "crc16_update differs from the bitwise reference");
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
        words.push_back(word_at(data, i));
    }
    require(crc32_words(words) == crc32_reference(words),
            "crc32_words differs from the bitwise reference");
}

void check_control_frame(std::span<const std::uint8_t> data)
{
    const auto motor_id = static_cast<int>(word_at(data, 0));
    const auto mode = static_cast<int>(word_at(data, 4));
    ControlFrame expected{};
    expected[0] = 0xFE;
    expected[1] = 0xEE;
    const unsigned status = mode == 1 ? 1U : mode == 2 ? 7U : 0U;
    expected[2] =
        static_cast<std::uint8_t>((static_cast<unsigned>(motor_id) & 0x0FU) | status << 4U);
    const std::uint16_t crc = sim::crc16_kermit(std::span(expected).first(15));
    expected[15] = static_cast<std::uint8_t>(crc & 0xFFU);
    expected[16] = static_cast<std::uint8_t>(crc >> 8U);
    require(motor_control_frame(motor_id, mode) == expected, "motor_control_frame");
}

void check_encoder(std::span<const std::uint8_t> data)
{
    IdCommand record{.id = at(data, 0),
                     .target_id = at(data, 1),
                     .cmd = at(data, 2),
                     .aux = at(data, 3),
                     .error = at(data, 4),
                     .value = static_cast<std::uint16_t>(at(data, 5) << 8U | at(data, 6))};
    const IdCommand before = record;
    ShortFrame buffer{at(data, 7), at(data, 8), at(data, 9), at(data, 10)};
    ShortFrame expected{0xFB, before.cmd, buffer[2], 0xBB};
    bool keeps_record = false;
    switch (before.cmd) {
    case 1:
        expected[2] = static_cast<std::uint8_t>((before.target_id & 0x0FU) * 16U + before.id);
        break;
    case 3:
    case 4:
    case 9:
        expected[2] = before.id;
        break;
    case 6:
        expected[2] = static_cast<std::uint8_t>(before.value >> 8U);
        expected[3] = static_cast<std::uint8_t>(before.value & 0xFFU);
        keeps_record = true;
        break;
    default:
        break;
    }
    idcmd_encode(buffer, record);
    require(buffer == expected, "idcmd_encode frame");
    const IdCommand cleared{};
    const IdCommand& record_expected = keeps_record ? before : cleared;
    require(record.id == record_expected.id && record.target_id == record_expected.target_id &&
                record.cmd == record_expected.cmd && record.aux == record_expected.aux &&
                record.error == record_expected.error && record.value == record_expected.value,
            "idcmd_encode record");
}

void check_decoder(std::span<const std::uint8_t> data)
{
    const ShortFrame answer{at(data, 0), at(data, 1), at(data, 2), at(data, 3)};
    IdCommand expected{};
    std::int32_t expected_result = 0;
    if (answer[0] == 0xFC && answer[1] == 6) {
        expected.id = 15;
        expected.cmd = 6;
        expected.value = static_cast<std::uint16_t>(answer[2] * 256U + answer[3]);
    } else if (answer[0] == 0xFC || answer[3] == 0xBB) {
        expected.cmd = answer[1];
        expected.id = answer[2] & 0x0FU;
        expected.aux = static_cast<std::uint8_t>(answer[2] >> 4U);
    } else {
        expected.error = 1;
        expected_result = 1;
    }
    IdCommand record{
        .id = 0xFF, .target_id = 0xFF, .cmd = 0xFF, .aux = 0xFF, .error = 0xFF, .value = 0xFFFF};
    require(idcmd_decode(answer, record) == expected_result, "idcmd_decode result");
    require(record.id == expected.id && record.target_id == expected.target_id &&
                record.cmd == expected.cmd && record.aux == expected.aux &&
                record.error == expected.error && record.value == expected.value,
            "idcmd_decode record");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    check_checksums(input);
    check_control_frame(input);
    check_encoder(input);
    check_decoder(input);
    return 0;
}
