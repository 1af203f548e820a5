#include "motor/motor.h"

#include "serial/serial.h"

namespace {

constexpr std::uint8_t CONTROL_HEADER_0 = 0xFE;
constexpr std::uint8_t CONTROL_HEADER_1 = 0xEE;
constexpr std::uint8_t SHORT_ANSWER_HEADER = 0xFC;
constexpr std::uint8_t SHORT_TRAILER = 0xBB;

constexpr std::uint8_t CMD_CHANGE_ID = 1;
constexpr std::uint8_t CMD_VALUE = 6;

std::uint8_t control_status(int requested_mode)
{
    switch (requested_mode) {
    case 1:
        return 1;
    case 2:
        return 7;
    default:
        return 0;
    }
}

} // namespace

ControlFrame motor_control_frame(int motor_id, int requested_mode)
{
    ControlFrame frame{}; // the twelve command values stay zero
    frame[0] = CONTROL_HEADER_0;
    frame[1] = CONTROL_HEADER_1;
    frame[2] = static_cast<std::uint8_t>((static_cast<unsigned>(motor_id) & 0x0FU) |
                                         (control_status(requested_mode) << 4U));
    const std::uint16_t crc = crc16_update(0, std::span(frame).first<CONTROL_FRAME_SIZE - 2>());
    frame[15] = static_cast<std::uint8_t>(crc & 0xFFU);
    frame[16] = static_cast<std::uint8_t>(crc >> 8U);
    return frame;
}

void motor_send_control(int model, sp_port* port, int motor_id, int requested_mode)
{
    if (model != 0) {
        return;
    }
    const ControlFrame frame = motor_control_frame(motor_id, requested_mode);
    // The motor's answer carries nothing the identifier change needs; whatever does not fit
    // or comes late stays pending for the next exchange.
    std::array<std::uint8_t, CONTROL_ANSWER_SIZE> answer{};
    serial_exchange(port, frame, answer, CONTROL_ANSWER_TIMEOUT_MS);
}

void idcmd_encode(std::span<std::uint8_t, SHORT_FRAME_SIZE> buffer, IdCommand& record)
{
    buffer[0] = SHORT_COMMAND_HEADER;
    buffer[1] = record.cmd;
    switch (record.cmd) {
    case CMD_VALUE:
        buffer[2] = static_cast<std::uint8_t>(record.value >> 8U);
        buffer[3] = static_cast<std::uint8_t>(record.value & 0xFFU);
        return;
    case CMD_CHANGE_ID:
        buffer[2] = static_cast<std::uint8_t>(((record.target_id & 0x0FU) << 4U) + record.id);
        break;
    case 3:
    case 4:
    case 9:
        buffer[2] = record.id;
        break;
    default:
        break;
    }
    buffer[3] = SHORT_TRAILER;
    record = IdCommand{};
}

std::int32_t idcmd_decode(std::span<const std::uint8_t, SHORT_FRAME_SIZE> answer, IdCommand& record)
{
    record = IdCommand{};
    if (answer[0] == SHORT_ANSWER_HEADER && answer[1] == CMD_VALUE) {
        // Command 6 answers with a 16-bit value in place of the identifier and trailer.
        record.id = BROADCAST_ID;
        record.cmd = CMD_VALUE;
        record.value = static_cast<std::uint16_t>((answer[2] << 8U) | answer[3]);
        return 0;
    }
    // The motor's answers are recognised by either end of the frame alone.
    if (answer[0] == SHORT_ANSWER_HEADER || answer[3] == SHORT_TRAILER) {
        record.cmd = answer[1];
        record.id = answer[2] & 0x0FU;
        record.aux = static_cast<std::uint8_t>(answer[2] >> 4U);
        return 0;
    }
    record.error = 1;
    return 1;
}
