#include "motor.hpp"

#include "frames.hpp"

namespace sim {
namespace {

constexpr std::uint8_t CHANGE_ID_COMMAND = 1;
constexpr std::uint8_t SHORT_TRAILER = 0xBB;
constexpr std::uint8_t ANSWER_HEAD = 0xFC;

bool addressed(const Motor &motor, std::uint8_t nibble)
{
    return nibble == motor.id || nibble == BROADCAST_ID;
}

} // namespace

std::optional<MotorAnswer> motor_on_control(const Motor &motor, std::span<const std::uint8_t> frame)
{
    if (motor.faults.silent || !control_checksum_good(frame) || !addressed(motor, frame[2] & 0x0F))
        return std::nullopt;
    std::uint8_t status = (frame[2] >> 4) & 0x07;
    MotorAnswer answer{control_answer(motor.id, status), motor.faults.control_delay_ms};
    answer.bytes.insert(answer.bytes.end(), motor.faults.control_extra.begin(),
                        motor.faults.control_extra.end());
    return answer;
}

std::optional<MotorAnswer> motor_on_short(Motor &motor, std::span<const std::uint8_t> frame)
{
    const MotorFaults &faults = motor.faults;
    if (faults.silent || faults.ignore_command || frame.size() != SHORT_FRAME_SIZE ||
        frame[1] != CHANGE_ID_COMMAND || frame[3] != SHORT_TRAILER ||
        !addressed(motor, frame[2] & 0x0F))
        return std::nullopt;
    motor.id = faults.reply_id.value_or(static_cast<std::uint8_t>(frame[2] >> 4));
    MotorAnswer answer{
        faults.reply.value_or(Bytes{ANSWER_HEAD, CHANGE_ID_COMMAND, motor.id, SHORT_TRAILER}),
        faults.delay_ms};
    if (faults.truncate && *faults.truncate < answer.bytes.size())
        answer.bytes.resize(*faults.truncate);
    answer.bytes.insert(answer.bytes.end(), faults.extra.begin(), faults.extra.end());
    return answer;
}

} // namespace sim
