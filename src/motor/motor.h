// Motor protocol of the KV-R2730-4: the 17-byte control frame sealed by a CRC-16, the four-byte
// short commands with their answers, and a word-wise CRC-32.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct sp_port;

/// Identifier that addresses every motor on the bus.
inline constexpr std::uint8_t BROADCAST_ID = 15;

/// The one supported model, selected by model selector 0.
inline constexpr char SUPPORTED_MODEL[] = "KV-R2730-4";

inline constexpr std::size_t CONTROL_FRAME_SIZE = 17;
inline constexpr std::size_t CONTROL_ANSWER_SIZE = 16;
inline constexpr std::uint16_t CONTROL_ANSWER_TIMEOUT_MS = 500;
inline constexpr std::size_t SHORT_FRAME_SIZE = 4;
/// First byte of every short command; a motor's answers begin with 0xFC instead.
inline constexpr std::uint8_t SHORT_COMMAND_HEADER = 0xFB;

using ControlFrame = std::array<std::uint8_t, CONTROL_FRAME_SIZE>;
using ShortFrame = std::array<std::uint8_t, SHORT_FRAME_SIZE>;

/// Short command record: the request going into idcmd_encode, the answer coming out of
/// idcmd_decode. A cleared record has every field zero.
struct IdCommand {
    std::uint8_t id = 0;
    std::uint8_t target_id = 0;
    std::uint8_t cmd = 0;
    std::uint8_t aux = 0;
    std::uint8_t error = 0;
    std::uint16_t value = 0;
};

/// CRC-16/KERMIT step over bytes (reflected 0x1021, no final XOR), continuing from crc.
std::uint16_t crc16_update(std::uint16_t crc, std::span<const std::uint8_t> bytes);

/// CRC-32/MPEG-2 over whole words, each taken most significant byte first.
std::uint32_t crc32_words(std::span<const std::uint32_t> words);

/// Control frame to motor (low four bits of motor_id); requested mode 1 sets status 1, mode 2
/// status 7, any other mode status 0.
ControlFrame motor_control_frame(int motor_id, int requested_mode);

/// Sends a control frame and waits up to 500 ms for the motor's 16-byte answer, which is
/// discarded. A model selector other than 0 sends nothing.
void motor_send_control(int model, sp_port* port, int motor_id, int requested_mode);

/// Encodes record into buffer. Byte 2 is left as the caller filled it for codes other than
/// 1, 3, 4, 6 and 9; the record is cleared afterwards except for command 6.
void idcmd_encode(std::span<std::uint8_t, SHORT_FRAME_SIZE> buffer, IdCommand& record);

/// Decodes a four-byte answer into record. Returns 0 when the answer is accepted, 1 when it
/// is rejected (record.error is then 1 and every other field 0).
std::int32_t idcmd_decode(std::span<const std::uint8_t, SHORT_FRAME_SIZE> answer,
                          IdCommand& record);
