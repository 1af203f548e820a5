// The renumber command: argument checks, the identifier change and the judgement of the
// motor's answer.
#pragma once

#include "motor/motor.h"

#include <cstdint>
#include <span>

/// What the operator asked for, once the arguments have passed every check.
struct Request {
    const char* device = nullptr;
    std::uint8_t id = 0;
    std::uint8_t target_id = 0;
};

enum class ArgumentCheck {
    run,                 // request filled, go ahead
    usage,               // wrong argument count: show the usage text
    id_out_of_range,     // id or target not a whole number from 0 to 15
    target_is_broadcast, // target 15
    unknown_model,       // motor type given and not the supported model
};

/// Strict base-10 motor identifier: optional leading white space and "+", digits only, 0-15.
bool parse_motor_id(const char* text, std::uint8_t& id);

/// Checks the argument vector (program name first) in the operator-visible order: count,
/// target, present id, motor type. Fills request only when the result is run.
ArgumentCheck check_arguments(std::span<const char* const> args, Request& request);

enum class Outcome {
    timeout,    // no answer, or not one byte of the command written
    mismatch,   // the answer names another identifier, or is not a motor answer at all
    changed,    // four bytes naming the target
    incomplete, // the target's identifier in fewer than four bytes, or a failed link
};

struct Verdict {
    Outcome outcome = Outcome::timeout;
    std::uint8_t reported_id = 0; // identifier the answer decodes to
};

/// Judges the answer to the change-identifier command. answered is serial_exchange's result;
/// answer holds what arrived, zero where nothing did.
Verdict judge_answer(std::int32_t answered, std::span<const std::uint8_t, SHORT_FRAME_SIZE> answer,
                     std::uint8_t target_id);

/// Prints the verdict's message and returns the entry point's result (0, -1 or -2).
std::int32_t report_verdict(const Verdict& verdict, const Request& request);

/// Sends both control frames and the change-identifier command, then judges the answer.
std::int32_t change_motor_id(const Request& request);

/// Makes sure descriptors 0, 1 and 2 are open (on /dev/null where they were closed), so that the
/// device can never be one of them, and ignores SIGPIPE. False when that cannot be done.
bool prepare_process();

/// The program: returns the process's exit status (negative values wrap to 253-255).
int renumber_main(int argc, const char* const* argv);
