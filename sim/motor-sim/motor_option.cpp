// The value of --motor: ID or ID:FAULT[,FAULT...].
#include "bytes.hpp"
#include "number.hpp"
#include "options.hpp"

#include <string_view>

namespace sim {
namespace {

constexpr std::uint64_t MAX_DELAY_MS = 3'600'000;
constexpr std::uint64_t MAX_TRUNCATE = 4096;

bool fail(std::string &message, std::string text)
{
    message = std::move(text);
    return false;
}

bool parse_ms(std::string_view value, std::uint32_t &out)
{
    std::uint64_t number = 0;
    if (!number_parse(value, MAX_DELAY_MS, number))
        return false;
    out = static_cast<std::uint32_t>(number);
    return true;
}

// reply=, extra= and control-extra=: bytes in hexadecimal.
bool parse_bytes_fault(std::string_view name, std::string_view value, MotorFaults &faults,
                       std::string &message)
{
    Bytes bytes;
    if (!hex_parse(value, bytes))
        return fail(message, std::string(name) +
                                 " needs bytes in hexadecimal, two digits each (e.g. FC0501BB)");
    if (name == "reply")
        faults.reply = bytes;
    else if (name == "extra")
        faults.extra = bytes;
    else
        faults.control_extra = bytes;
    return true;
}

bool parse_fault(std::string_view fault, MotorFaults &faults, std::string &message)
{
    std::size_t equals = fault.find('=');
    std::string_view name = fault.substr(0, equals);
    std::string_view value =
        equals == std::string_view::npos ? std::string_view{} : fault.substr(equals + 1);
    bool has_value = equals != std::string_view::npos;
    std::uint64_t number = 0;
    if (name == "silent" && !has_value) {
        faults.silent = true;
    } else if (name == "ignore-command" && !has_value) {
        faults.ignore_command = true;
    } else if (name == "delay" && has_value) {
        if (!parse_ms(value, faults.delay_ms))
            return fail(message, "delay needs milliseconds from 0 to 3600000");
    } else if (name == "control-delay" && has_value) {
        if (!parse_ms(value, faults.control_delay_ms))
            return fail(message, "control-delay needs milliseconds from 0 to 3600000");
    } else if (name == "reply-id" && has_value) {
        if (!number_parse(value, 15, number))
            return fail(message, "reply-id needs an identifier from 0 to 15");
        faults.reply_id = static_cast<std::uint8_t>(number);
    } else if (name == "truncate" && has_value) {
        if (!number_parse(value, MAX_TRUNCATE, number))
            return fail(message, "truncate needs a byte count from 0 to 4096");
        faults.truncate = static_cast<std::size_t>(number);
    } else if ((name == "reply" || name == "extra" || name == "control-extra") && has_value) {
        return parse_bytes_fault(name, value, faults, message);
    } else {
        return fail(message, "unknown fault '" + std::string(fault) + "'");
    }
    return true;
}

} // namespace

bool motor_option_parse(const std::string &value, Motor &motor, std::string &message)
{
    std::string_view text = value;
    std::size_t colon = text.find(':');
    std::uint64_t id = 0;
    if (!number_parse(text.substr(0, colon), BROADCAST_ID - 1, id)) {
        message = "--motor '" + value + "': identifier must be a number from 0 to 14";
        return false;
    }
    Motor parsed;
    parsed.start_id = parsed.id = static_cast<std::uint8_t>(id);
    if (colon != std::string_view::npos) {
        std::string_view faults = text.substr(colon + 1);
        while (true) {
            std::size_t comma = faults.find(',');
            std::string reason;
            if (!parse_fault(faults.substr(0, comma), parsed.faults, reason)) {
                message = "--motor '" + value + "': ";
                message += reason;
                return false;
            }
            if (comma == std::string_view::npos)
                break;
            faults.remove_prefix(comma + 1);
        }
    }
    motor = std::move(parsed);
    return true;
}

} // namespace sim
