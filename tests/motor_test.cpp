// Checksums against published check values and bitwise references (motor-sim's CRC-16 is one),
// frames against the bytes the motor expects, and the short-command encoder and decoder.
#include "crc16.hpp"
#include "motor/motor.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ascii(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// CRC-32/MPEG-2 over bytes, one bit at a time.
std::uint32_t mpeg2_bitwise(const Bytes& bytes)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint8_t byte : bytes) {
        crc ^= static_cast<std::uint32_t>(byte) << 24U;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000U) != 0 ? (crc << 1U) ^ 0x04C11DB7U : crc << 1U;
        }
    }
    return crc;
}

TEST(Crc16, KnownAnswers)
{
    EXPECT_EQ(crc16_update(0, ascii("123456789")), 0x2189);
    EXPECT_EQ(crc16_update(0, Bytes(15, 0)), 0x0000);
    EXPECT_EQ(crc16_update(0xBEEF, Bytes{}), 0xBEEF);
}

TEST(Crc16, MatchesBitwiseReferenceForEveryByteAndInChunks)
{
    Bytes all(256);
    for (unsigned i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
        EXPECT_EQ(crc16_update(0, Bytes{all[i]}), sim::crc16_kermit(Bytes{all[i]})) << i;
    }
    const std::span<const std::uint8_t> whole(all);
    const std::uint16_t first = crc16_update(0, whole.first(100));
    EXPECT_EQ(crc16_update(first, whole.subspan(100)), sim::crc16_kermit(all));
}

TEST(Crc32Words, KnownAnswers)
{
    EXPECT_EQ(crc32_words({}), 0xFFFFFFFFU);
    EXPECT_EQ(crc32_words(std::vector<std::uint32_t>{0x12345678}), 0xDF8A8A2BU);
    EXPECT_EQ(crc32_words(std::vector<std::uint32_t>{0x31323334, 0x35363738}), 0x49E3C2FBU);
    EXPECT_EQ(mpeg2_bitwise(ascii("12345678")), 0x49E3C2FBU);
}

TEST(Crc32Words, EqualsMpeg2OverBigEndianBytes)
{
    const std::vector<std::uint32_t> words{0x00000000, 0xFFFFFFFF, 0xDEADBEEF, 0x80000001};
    Bytes bytes;
    for (const std::uint32_t word : words) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(word >> static_cast<unsigned>(shift)));
        }
    }
    EXPECT_EQ(crc32_words(words), mpeg2_bitwise(bytes));
}

struct ControlCase {
    int motor_id;
    int requested_mode;
    std::uint8_t mode_byte;
    std::uint16_t crc; // as the motor reads it: byte 15 low, byte 16 high
};

TEST(ControlFrame, BytesOnTheWire)
{
    const ControlCase cases[] = {
        {0, 0, 0x00, 0x2365}, {0, 2, 0x70, 0xAF44}, {15, 0, 0x0F, 0x164E}, {15, 2, 0x7F, 0x9A6F},
        {1, 1, 0x11, 0x7C18}, {0x13, 0, 0x03, 0}, // only the low nibble addresses the motor
        {5, 9, 0x05, 0},                          // unknown modes send status 0
    };
    for (const ControlCase& c : cases) {
        const ControlFrame frame = motor_control_frame(c.motor_id, c.requested_mode);
        Bytes expected{0xFE, 0xEE, c.mode_byte};
        expected.resize(15, 0);
        const std::uint16_t crc = c.crc != 0 ? c.crc : sim::crc16_kermit(expected);
        expected.push_back(static_cast<std::uint8_t>(crc & 0xFFU));
        expected.push_back(static_cast<std::uint8_t>(crc >> 8U));
        EXPECT_EQ(Bytes(frame.begin(), frame.end()), expected)
            << "motor " << c.motor_id << " mode " << c.requested_mode;
    }
}

TEST(ControlFrame, OtherModelSendsNothing)
{
    // A null port would make any exchange print the write error.
    testing::internal::CaptureStdout();
    motor_send_control(1, nullptr, 0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    motor_send_control(0, nullptr, 0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[Error] Error occurred during serial port write.\n");
}

struct EncodeCase {
    IdCommand record;
    ShortFrame prefilled;
    ShortFrame expected;
    bool record_kept;
};

TEST(IdCommandEncode, Frames)
{
    const ShortFrame prefill{0xFB, 0x01, 0x00, 0xBB};
    const EncodeCase cases[] = {
        {{.id = 0, .target_id = 1, .cmd = 1}, prefill, {0xFB, 0x01, 0x10, 0xBB}, false},
        {{.id = 15, .target_id = 1, .cmd = 1}, prefill, {0xFB, 0x01, 0x1F, 0xBB}, false},
        {{.id = 0x30, .target_id = 14, .cmd = 1}, prefill, {0xFB, 0x01, 0x10, 0xBB}, false},
        {{.id = 2, .target_id = 0x21, .cmd = 1}, prefill, {0xFB, 0x01, 0x12, 0xBB}, false},
        {{.id = 7, .cmd = 3}, prefill, {0xFB, 0x03, 0x07, 0xBB}, false},
        {{.id = 7, .cmd = 4}, prefill, {0xFB, 0x04, 0x07, 0xBB}, false},
        {{.id = 7, .cmd = 9}, prefill, {0xFB, 0x09, 0x07, 0xBB}, false},
        {{.id = 7, .cmd = 6, .value = 0x1234}, prefill, {0xFB, 0x06, 0x12, 0x34}, true},
        {{.id = 7, .cmd = 2}, {0, 0, 0x5A, 0}, {0xFB, 0x02, 0x5A, 0xBB}, false},
    };
    for (const EncodeCase& c : cases) {
        IdCommand record = c.record;
        ShortFrame buffer = c.prefilled;
        idcmd_encode(buffer, record);
        EXPECT_EQ(buffer, c.expected) << "cmd " << int(c.record.cmd);
        const IdCommand expected_record = c.record_kept ? c.record : IdCommand{};
        EXPECT_EQ(record.id, expected_record.id);
        EXPECT_EQ(record.target_id, expected_record.target_id);
        EXPECT_EQ(record.cmd, expected_record.cmd);
        EXPECT_EQ(record.value, expected_record.value);
    }
}

struct DecodeCase {
    ShortFrame answer;
    std::int32_t result;
    IdCommand expected;
};

TEST(IdCommandDecode, Answers)
{
    const DecodeCase cases[] = {
        {{0xFC, 0x01, 0x01, 0xBB}, 0, {.id = 1, .cmd = 1}},
        {{0xFC, 0x01, 0xA3, 0x00}, 0, {.id = 3, .cmd = 1, .aux = 10}},
        {{0x00, 0x01, 0x05, 0xBB}, 0, {.id = 5, .cmd = 1}},
        {{0xFC, 0x06, 0x01, 0x02}, 0, {.id = 15, .cmd = 6, .value = 258}},
        {{0xFC, 0x06, 0x01, 0xBB}, 0, {.id = 15, .cmd = 6, .value = 443}},
        {{0x00, 0x06, 0x12, 0xBB}, 0, {.id = 2, .cmd = 6, .aux = 1}},
        {{0x00, 0x06, 0x12, 0x00}, 1, {.error = 1}},
        {{0x00, 0x00, 0x00, 0x00}, 1, {.error = 1}},
        {{0x12, 0x34, 0x56, 0x78}, 1, {.error = 1}},
    };
    for (const DecodeCase& c : cases) {
        IdCommand record{.id = 9, .target_id = 9, .cmd = 9, .aux = 9, .error = 9, .value = 9};
        EXPECT_EQ(idcmd_decode(c.answer, record), c.result);
        const auto show = [&] { return testing::PrintToString(c.answer); };
        EXPECT_EQ(record.id, c.expected.id) << show();
        EXPECT_EQ(record.target_id, 0) << show();
        EXPECT_EQ(record.cmd, c.expected.cmd) << show();
        EXPECT_EQ(record.aux, c.expected.aux) << show();
        EXPECT_EQ(record.error, c.expected.error) << show();
        EXPECT_EQ(record.value, c.expected.value) << show();
    }
}

} // namespace
