// One simulated KV-R2730-4 motor on the bus, honest unless given faults.
#pragma once

#include "bytes.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace sim {

constexpr std::uint8_t BROADCAST_ID = 15;

struct MotorFaults {
    bool silent = false;         // never answers, ignores commands
    bool ignore_command = false; // answers control frames only, never changes
    std::uint32_t delay_ms = 0;  // late answer to the change command
    std::uint32_t control_delay_ms = 0;
    std::optional<std::uint8_t> reply_id; // takes this identifier instead
    std::optional<std::size_t> truncate;  // keeps this many bytes of the command answer
    std::optional<Bytes> reply;           // raw command answer
    Bytes extra;                          // appended to the command answer
    Bytes control_extra;                  // appended to each control answer
};

struct Motor {
    std::uint8_t start_id = 0;
    std::uint8_t id = 0;
    MotorFaults faults;
};

struct MotorAnswer {
    Bytes bytes;
    std::uint32_t delay_ms = 0;
};

// A control frame with a good checksum addressed to the motor (its identifier or 15)
// is answered with the 16-byte control answer carrying the frame's status.
std::optional<MotorAnswer> motor_on_control(const Motor &motor,
                                            std::span<const std::uint8_t> frame);

// FB 01 X BB addressed to the motor (low nibble of X its identifier or 15): the motor
// takes the high nibble of X as identifier and answers FC 01 <new id> BB. Other short
// commands change nothing and get no answer.
std::optional<MotorAnswer> motor_on_short(Motor &motor, std::span<const std::uint8_t> frame);

} // namespace sim
