#include "options.hpp"

#include "number.hpp"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <getopt.h>
#include <system_error>

namespace sim {
namespace {

constexpr std::uint64_t MAX_WRITE_LIMIT = 1'048'576;
constexpr std::uint64_t MAX_HANGUP_AFTER = 1'000'000;
constexpr std::uint64_t MAX_SEND_DELAY_MS = 3'600'000;
constexpr std::uint64_t MAX_RATE = 100'000'000;

enum OptionId {
    OPT_DEVICE = 256,
    OPT_MOTOR,
    OPT_NO_MOTOR,
    OPT_REFUSE_OPEN,
    OPT_REFUSE_BAUD,
    OPT_WRITE_LIMIT,
    OPT_ECHO,
    OPT_HANGUP_AFTER,
    OPT_HANGUP_AFTER_READ,
    OPT_SEND_AFTER,
    OPT_REFUSE_LOW_LATENCY,
    OPT_NO_SERIAL_INFO,
    OPT_SUBSTITUTE_BAUD,
    OPT_SILENT_BAUD,
    OPT_DRIVER,
    OPT_USB_IDS,
    OPT_STALL_DRAIN,
    OPT_SERVE,
    OPT_TRACE,
    OPT_TRACE_FILE,
    OPT_TAP,
    OPT_RECORD,
    OPT_REPLAY,
};

const option LONG_OPTIONS[] = {
    {"device", required_argument, nullptr, OPT_DEVICE},
    {"motor", required_argument, nullptr, OPT_MOTOR},
    {"no-motor", no_argument, nullptr, OPT_NO_MOTOR},
    {"refuse-open", no_argument, nullptr, OPT_REFUSE_OPEN},
    {"refuse-baud", no_argument, nullptr, OPT_REFUSE_BAUD},
    {"write-limit", required_argument, nullptr, OPT_WRITE_LIMIT},
    {"echo", no_argument, nullptr, OPT_ECHO},
    {"hangup-after", required_argument, nullptr, OPT_HANGUP_AFTER},
    {"hangup-after-read", required_argument, nullptr, OPT_HANGUP_AFTER_READ},
    {"send-after", required_argument, nullptr, OPT_SEND_AFTER},
    {"refuse-low-latency", no_argument, nullptr, OPT_REFUSE_LOW_LATENCY},
    {"no-serial-info", no_argument, nullptr, OPT_NO_SERIAL_INFO},
    {"substitute-baud", required_argument, nullptr, OPT_SUBSTITUTE_BAUD},
    {"silent-baud", required_argument, nullptr, OPT_SILENT_BAUD},
    {"driver", required_argument, nullptr, OPT_DRIVER},
    {"usb-ids", required_argument, nullptr, OPT_USB_IDS},
    {"stall-drain", no_argument, nullptr, OPT_STALL_DRAIN},
    {"serve", required_argument, nullptr, OPT_SERVE},
    {"trace", required_argument, nullptr, OPT_TRACE},
    {"trace-file", required_argument, nullptr, OPT_TRACE_FILE},
    {"tap", no_argument, nullptr, OPT_TAP},
    {"record", required_argument, nullptr, OPT_RECORD},
    {"replay", required_argument, nullptr, OPT_REPLAY},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

bool fail(std::string &message, std::string text)
{
    message = std::move(text);
    return false;
}

bool set_device(const char *value, Options &options, std::string &message)
{
    if (value[0] == '\0')
        return fail(message, "--device needs a path such as /dev/ttyUSB0");
    // The path travels in space-separated trace records.
    if (std::string_view(value).find_first_of(" \t\n") != std::string_view::npos)
        return fail(message, "--device must not contain white space");
    // A relative path is the one COMMAND, started in the same folder, will name.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(value, error);
    if (error)
        return fail(message, "--device: " + error.message());
    options.device = absolute.lexically_normal().string();
    options.device_given = true;
    return true;
}

bool set_path(std::string &path, const char *value, const char *option, std::string &message)
{
    if (value[0] == '\0')
        return fail(message, std::string(option) + " needs a path");
    path = value;
    return true;
}

// VID:PID[:BCD], four hexadecimal digits each, as lsusb and sysfs write them.
bool usb_ids_parse(std::string_view text, UsbIdentity &ids)
{
    std::uint16_t fields[3] = {0, 0, 0};
    std::size_t count = 0;
    while (count < 3) {
        const std::size_t colon = text.find(':');
        const std::string_view field = text.substr(0, colon);
        auto [end, error] =
            std::from_chars(field.data(), field.data() + field.size(), fields[count], 16);
        if (field.size() != 4 || error != std::errc() || end != field.data() + field.size())
            return false;
        ++count;
        if (colon == std::string_view::npos)
            break;
        text.remove_prefix(colon + 1);
    }
    if (count < 2 || (count == 3 && text.find(':') != std::string_view::npos))
        return false;
    ids = {fields[0], fields[1], fields[2]};
    return true;
}

// --hangup-after N, or N:MS.
bool set_hangup_after(const char *value, Options &options, std::string &message)
{
    const std::string_view text(value);
    const std::size_t colon = text.find(':');
    std::uint64_t number = 0;
    std::uint64_t delay = 0;
    if (!number_parse(text.substr(0, colon), MAX_HANGUP_AFTER, number) ||
        (colon != std::string_view::npos &&
         (number == 0 || !number_parse(text.substr(colon + 1), MAX_SEND_DELAY_MS, delay))))
        return fail(message, "--hangup-after needs a frame count from 0 to 1000000, or N:MS "
                             "with N from 1 and milliseconds from 0 to 3600000");
    options.hangup_after = number;
    if (colon != std::string_view::npos)
        options.hangup_delay_ms = static_cast<std::uint32_t>(delay);
    return true;
}

// --driver NAME and --usb-ids VID:PID[:BCD]: the adapter as sysfs shows it.
bool set_adapter_identity(int id, const char *value, Options &options, std::string &message)
{
    if (id == OPT_DRIVER) {
        // A driver's name is one component of a sysfs path.
        if (value[0] == '\0' ||
            std::string_view(value).find_first_of("/ \t\n") != std::string_view::npos)
            return fail(message, "--driver needs a driver name such as ch341-uart");
        options.driver = value;
        return true;
    }
    UsbIdentity ids;
    if (!usb_ids_parse(value, ids))
        return fail(message, "--usb-ids needs VID:PID or VID:PID:BCD in hexadecimal, such as "
                             "1a86:7523");
    options.usb_ids = ids;
    return true;
}

bool apply(int id, const char *value, Options &options, std::string &message)
{
    std::uint64_t number = 0;
    switch (id) {
    case OPT_DEVICE:
        return set_device(value, options, message);
    case OPT_MOTOR: {
        Motor motor;
        if (!motor_option_parse(value, motor, message))
            return false;
        options.motors.push_back(std::move(motor));
        options.motor_texts.emplace_back(value);
        return true;
    }
    case OPT_NO_MOTOR:
        options.no_motor = true;
        return true;
    case OPT_REFUSE_OPEN:
        options.adapter.refuse_open = true;
        return true;
    case OPT_REFUSE_BAUD:
        options.adapter.refuse_baud = true;
        return true;
    case OPT_WRITE_LIMIT:
        if (!number_parse(value, MAX_WRITE_LIMIT, number))
            return fail(message, "--write-limit needs a byte count from 0 to 1048576");
        options.adapter.limit_writes = true;
        options.adapter.write_limit = static_cast<std::uint32_t>(number);
        return true;
    case OPT_ECHO:
        options.echo = true;
        return true;
    case OPT_HANGUP_AFTER:
        return set_hangup_after(value, options, message);
    case OPT_HANGUP_AFTER_READ:
        if (!number_parse(value, MAX_HANGUP_AFTER, number) || number == 0)
            return fail(message, "--hangup-after-read needs a byte count from 1 to 1000000");
        options.hangup_after_read = number;
        return true;
    case OPT_SEND_AFTER: {
        Injection injection;
        if (!injection_parse(value, injection))
            return fail(message, "--send-after needs N:MS:HEX, a frame count from 1 to 1000000, "
                                 "milliseconds from 0 to 3600000 and bytes in hexadecimal");
        options.send_after = std::move(injection);
        return true;
    }
    case OPT_REFUSE_LOW_LATENCY:
        options.adapter.refuse_low_latency = true;
        return true;
    case OPT_NO_SERIAL_INFO:
        options.adapter.no_serial_info = true;
        return true;
    case OPT_SUBSTITUTE_BAUD:
        if (!number_parse(value, MAX_RATE, number) || number == 0)
            return fail(message, "--substitute-baud needs a rate from 1 to 100000000");
        options.adapter.substitute_rate = static_cast<std::uint32_t>(number);
        return true;
    case OPT_SILENT_BAUD:
        if (!number_parse(value, MAX_RATE, number) || number == 0)
            return fail(message, "--silent-baud needs a rate from 1 to 100000000");
        options.adapter.silent_rate = static_cast<std::uint32_t>(number);
        return true;
    case OPT_DRIVER:
    case OPT_USB_IDS:
        return set_adapter_identity(id, value, options, message);
    case OPT_STALL_DRAIN:
        options.adapter.stall_drain = true;
        return true;
    case OPT_SERVE:
        return set_path(options.serve_path, value, "--serve", message);
    case OPT_TRACE:
        if (std::string_view(value) == "human")
            options.trace = TraceForm::human;
        else if (std::string_view(value) == "lines")
            options.trace = TraceForm::lines;
        else
            return fail(message, "--trace must be 'human' or 'lines'");
        return true;
    case OPT_TRACE_FILE:
        return set_path(options.trace_file, value, "--trace-file", message);
    case OPT_TAP:
        options.tap = true;
        return true;
    case OPT_RECORD:
        return set_path(options.record_file, value, "--record", message);
    case OPT_REPLAY:
        return set_path(options.replay_file, value, "--replay", message);
    default:
        return fail(message, "internal: unhandled option");
    }
}

// The tap watches a real device, so nothing of the simulation applies to it; a replay
// plays the recorded motor in place of simulated ones.
bool modes_consistent(const Options &options, std::string &message)
{
    bool motors_given = options.no_motor || !options.motors.empty();
    if (!options.record_file.empty() && !options.tap)
        return fail(message, "--record needs --tap");
    if (options.tap && !options.replay_file.empty())
        return fail(message, "--tap and --replay exclude each other");
    const bool identity_given = !options.driver.empty() || options.usb_ids;
    if (options.tap && (motors_given || !adapter_faults(options).empty() || options.echo ||
                        options.hangup_after || options.hangup_after_read || identity_given))
        return fail(message, "--tap runs against the real device: motors and adapter faults "
                             "do not apply");
    if (!options.replay_file.empty() && motors_given)
        return fail(message, "--replay plays the recorded motor: --motor and --no-motor do "
                             "not apply");
    if (!options.serve_path.empty() &&
        (options.tap || !options.replay_file.empty() || options.device_given ||
         !adapter_faults(options).empty() || options.echo || options.hangup_after ||
         options.hangup_after_read || options.send_after || identity_given))
        return fail(message, "--serve puts the motors on a real line: only --motor, --no-motor "
                             "and the trace options apply");
    return true;
}

} // namespace

bool injection_parse(const std::string &value, Injection &injection)
{
    const std::size_t first = value.find(':');
    const std::size_t second = first == std::string::npos ? first : value.find(':', first + 1);
    if (second == std::string::npos)
        return false;
    std::uint64_t frame = 0;
    std::uint64_t delay = 0;
    if (!number_parse(std::string_view(value).substr(0, first), MAX_HANGUP_AFTER, frame) ||
        frame == 0 ||
        !number_parse(std::string_view(value).substr(first + 1, second - first - 1),
                      MAX_SEND_DELAY_MS, delay) ||
        !hex_parse(std::string_view(value).substr(second + 1), injection.bytes))
        return false;
    injection.after_frame = frame;
    injection.delay_ms = static_cast<std::uint32_t>(delay);
    return true;
}

ParseOutcome options_parse(int argc, char **argv, Options &options, std::string &message)
{
    // '+': options end at the command's name; ':': report missing arguments ourselves.
    optind = 1;
    opterr = 0;
    while (true) {
        int previous = optind;
        int id = getopt_long(argc, argv, "+:h", LONG_OPTIONS, nullptr);
        if (id == -1)
            break;
        if (id == 'h')
            return ParseOutcome::help;
        if (id == '?' || id == ':') {
            std::string given = previous < argc ? argv[previous] : "";
            message = id == '?' ? "unknown option '" + given + "'"
                                : "option '" + given + "' needs a value";
            return ParseOutcome::error;
        }
        if (!apply(id, optarg, options, message))
            return ParseOutcome::error;
    }
    if (options.no_motor && !options.motors.empty()) {
        message = "--no-motor and --motor exclude each other";
        return ParseOutcome::error;
    }
    if (!modes_consistent(options, message))
        return ParseOutcome::error;
    if (!options.no_motor && options.motors.empty() && !options.tap &&
        options.replay_file.empty()) {
        options.motors.push_back(Motor{});
        options.motor_texts.emplace_back("0");
    }
    for (int i = optind; i < argc; ++i)
        options.command.emplace_back(argv[i]);
    return ParseOutcome::run;
}

namespace {

// A record's text, as its encoder writes it.
template <typename Record, typename Encode> std::string encoded(const Record &record, Encode encode)
{
    std::string text(encode(&record, nullptr, 0), '\0');
    encode(&record, text.data(), text.size() + 1);
    return text;
}

// Copies text into a path field; one too long for it cannot name a file anyway.
template <std::size_t Size> void copy_path(char (&field)[Size], const std::string &text)
{
    std::snprintf(field, Size, "%s", text.c_str());
}

// A replay fails the writes its recording has fail, tells motor-sim of flushes, and lets the
// command open no other serial device.
sim_config layer_config(const Options &options)
{
    sim_config config{};
    copy_path(config.device, options.device);
    config.events = -1;
    config.faults = options.adapter;
    config.replay = !options.replay_file.empty();
    return config;
}

} // namespace

std::string adapter_config(const Options &options, const std::string &pty_path,
                           const std::string &sysfs_folder, int event_fd)
{
    sim_config config = layer_config(options);
    copy_path(config.pty, pty_path);
    copy_path(config.sysfs, sysfs_folder);
    config.events = event_fd;
    return encoded(config, sim_config_encode);
}

std::string adapter_faults(const Options &options)
{
    return encoded(layer_config(options), sim_faults_encode);
}

std::string tap_config(const std::string &device, int report_fd)
{
    sim_tap tap{};
    copy_path(tap.device, device);
    tap.reports = report_fd;
    return encoded(tap, sim_tap_encode);
}

} // namespace sim
