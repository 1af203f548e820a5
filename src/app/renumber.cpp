#include "app/renumber.h"

#include "doctor/checks.h"
#include "serial/serial.h"
#include "version.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr int RUN_ARGUMENT_COUNTS[] = {4, 5};
constexpr std::uint8_t CMD_CHANGE_ID = 1;
constexpr std::uint16_t COMMAND_ANSWER_TIMEOUT_MS = 3000;
// Control frames: model selector 0 is the one supported model; the first frame requests mode 0
// (status 0), the second mode 2 (status 7).
constexpr int MODEL_SELECTOR = 0;
constexpr int MODE_STARTUP = 0;
constexpr int MODE_COMMAND = 2;
// The entry point's results; the process exit status is their low byte (255, 254, 253).
constexpr std::int32_t STATUS_OK = 0;
constexpr std::int32_t STATUS_FAILURE = -1;    // bad identifier, or no answer
constexpr std::int32_t STATUS_BAD_ANSWER = -2; // another identifier, or a cut-short answer
constexpr std::int32_t STATUS_UNKNOWN_MODEL = -3;

void print_usage()
{
    std::puts("Motor ID change tool.");
    std::printf("Version: %s\n\n", RENUMBER_VERSION);
    std::puts("Motor broadcast ID:15");
    std::puts("Notice: There cannot be motors with the same ID on a RS-485 bus!!!\n");
    std::puts("usage: renumber [tty device] [id] [target_id] (motor type)");
    std::puts("ex:    renumber /dev/ttyUSB0 0 1  :Set motor 0 to id 1");
    std::puts("ex:    renumber /dev/ttyUSB0 15 1 :Set All motor to id 1 (Use with caution)");
}

} // namespace

bool parse_motor_id(const char* text, std::uint8_t& id)
{
    const char* digits = text;
    while (std::isspace(static_cast<unsigned char>(*digits)) != 0) {
        ++digits;
    }
    if (*digits == '+') {
        ++digits;
    }
    // strtol would take a minus sign and hand back a value that wraps to another motor.
    if (std::isdigit(static_cast<unsigned char>(*digits)) == 0) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno == ERANGE || *end != '\0' || value > BROADCAST_ID) {
        return false;
    }
    id = static_cast<std::uint8_t>(value);
    return true;
}

ArgumentCheck check_arguments(std::span<const char* const> args, Request& request)
{
    if (std::find(std::begin(RUN_ARGUMENT_COUNTS), std::end(RUN_ARGUMENT_COUNTS),
                  static_cast<int>(args.size())) == std::end(RUN_ARGUMENT_COUNTS)) {
        return ArgumentCheck::usage;
    }
    std::uint8_t target_id = 0;
    if (!parse_motor_id(args[3], target_id)) {
        return ArgumentCheck::id_out_of_range;
    }
    if (target_id == BROADCAST_ID) {
        return ArgumentCheck::target_is_broadcast;
    }
    std::uint8_t id = 0;
    if (!parse_motor_id(args[2], id)) {
        return ArgumentCheck::id_out_of_range;
    }
    if (args.size() == 5 && std::strcmp(args[4], SUPPORTED_MODEL) != 0) {
        return ArgumentCheck::unknown_model;
    }
    request = Request{.device = args[1], .id = id, .target_id = target_id};
    return ArgumentCheck::run;
}

Verdict judge_answer(std::int32_t answered, std::span<const std::uint8_t, SHORT_FRAME_SIZE> answer,
                     std::uint8_t target_id)
{
    if (answered == 0) {
        return {Outcome::timeout, 0};
    }
    IdCommand decoded{};
    const bool rejected = idcmd_decode(answer, decoded) != 0;
    const bool complete = answered == static_cast<std::int32_t>(SHORT_FRAME_SIZE);
    // Four bytes that are no motor answer at all decode to identifier 0; they must never pass
    // as the change of a motor to 0. Bytes that begin as the command does are the adapter's echo
    // of it, garbled or cut short: the decoder could read the target in them.
    const bool echoed = answer[0] == SHORT_COMMAND_HEADER;
    if (decoded.id != target_id || (complete && rejected) || echoed) {
        return {Outcome::mismatch, decoded.id};
    }
    return {complete ? Outcome::changed : Outcome::incomplete, decoded.id};
}

std::int32_t report_verdict(const Verdict& verdict, const Request& request)
{
    switch (verdict.outcome) {
    case Outcome::timeout:
        std::printf(MSG_TIMEOUT_FORMAT, request.id, request.target_id);
        return STATUS_FAILURE;
    case Outcome::mismatch:
        std::printf("[Error] The ID:%d of the feedback does not match.\n", verdict.reported_id);
        return STATUS_BAD_ANSWER;
    case Outcome::changed:
        std::printf("OK! Changed. Now the motor ID:%d\n", request.target_id);
        return STATUS_OK;
    case Outcome::incomplete:
        std::puts("[ERROR] Error message, don't connect multiple motors at the 485 cable.");
        return STATUS_BAD_ANSWER;
    }
    return STATUS_BAD_ANSWER;
}

namespace {

// A hang-up on standard error, with what it means for the motor.
void report_hang_up(const Request& request, bool command_sent)
{
    if (!command_sent) {
        std::fprintf(stderr,
                     "%s: hung up (the adapter was unplugged or reset) before the change command "
                     "went out; motor %d kept its identifier\n",
                     request.device, request.id);
        return;
    }
    std::fprintf(stderr,
                 "%s: hung up (the adapter was unplugged or reset) while renumber waited for the "
                 "answer; motor %d may already have taken identifier %d, so check that first: "
                 "renumber %s %d %d answers only if it has\n",
                 request.device, request.id, request.target_id, request.device, request.target_id,
                 request.target_id);
}

// After a failed run: what on this machine can explain it, as renumber-doctor finds it (other
// programs holding the port, ModemManager or brltty on the adapter, a console or getty, the
// latency timer, the driver's rate), each on a line with its fix. Nothing found, nothing said.
void explain_failure(const char* device)
{
    // The scan of the machine's processes is the part that grows with the machine: on one busy
    // with hundreds of them it stops in time, so that the explanation adds under 100 ms.
    constexpr std::chrono::milliseconds SCAN_LIMIT{80};
    const std::vector<CheckResult> findings = explain_failed_run(
        gather_line_facts(live_machine(), device, std::chrono::steady_clock::now() + SCAN_LIMIT));
    for (const CheckResult& finding : findings) {
        std::fputs(format_result(finding).c_str(), stderr);
    }
    if (!findings.empty()) {
        std::fprintf(stderr, "For the whole picture: renumber-doctor %s\n", device);
    }
}

} // namespace

std::int32_t change_motor_id(const Request& request)
{
    SerialLink link{};
    // A link whose descriptor or NOFLSH could not be adjusted still reaches the motor.
    serial_open(link, request.device);

    motor_send_control(MODEL_SELECTOR, link.port, request.id, MODE_STARTUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    motor_send_control(MODEL_SELECTOR, link.port, request.id, MODE_COMMAND);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // A control answer that came late or long is still waiting; read as the command's answer it
    // could name the target for a motor that never saw the command. The exchange itself never
    // discards. A failed discard means the device is gone, which the write then reports.
    serial_discard_input(link.port);
    // The messages on standard output stay the ones each phase prints; what a hang-up means for
    // the motor goes to standard error, once.
    const bool gone_before_command = serial_hung_up(link.port);

    IdCommand command{.id = request.id, .target_id = request.target_id, .cmd = CMD_CHANGE_ID};
    ShortFrame frame{0xFB, 0x01, 0x00, 0xBB};
    ShortFrame answer{};
    idcmd_encode(frame, command);
    const std::int32_t answered =
        serial_exchange(link.port, frame, answer, COMMAND_ANSWER_TIMEOUT_MS);
    const std::int32_t status =
        report_verdict(judge_answer(answered, answer, request.target_id), request);
    if (status != STATUS_OK && (gone_before_command || serial_hung_up(link.port))) {
        report_hang_up(request, !gone_before_command);
    }
    // Closed here rather than by the exit, which would sit out the driver's closing wait (30 s)
    // for the bytes of a stuck adapter.
    serial_release(link);
    if (status != STATUS_OK) {
        explain_failure(request.device);
    }
    return status;
}

bool prepare_process()
{
    // Started with a standard descriptor closed, the process would get the device as that
    // descriptor, and its messages (or the library's trace) would go out on the motor bus.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is fd: every lower one is open by now.
        if (open("/dev/null", O_RDWR | O_NOCTTY) != fd) {
            return false;
        }
    }
    // An interval timer survives exec, and its SIGALRM would end the run before the change: the
    // parent's is stopped. renumber's own bound on the driver's waits is a timer of its own.
    const itimerval stopped{};
    setitimer(ITIMER_REAL, &stopped, nullptr);
    // A reader that has gone must not turn a done change into death by SIGPIPE: the exit status
    // tells the outcome.
    return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

int renumber_main(int argc, const char* const* argv)
{
    Request request{};
    const std::span<const char* const> args(argv, static_cast<std::size_t>(argc));
    switch (check_arguments(args, request)) {
    case ArgumentCheck::run:
        return change_motor_id(request);
    case ArgumentCheck::usage:
        print_usage();
        return STATUS_OK;
    case ArgumentCheck::id_out_of_range:
        std::puts("Motor id must be in the range 0-15.");
        return STATUS_FAILURE;
    case ArgumentCheck::target_is_broadcast:
        std::puts("Target motor id must be in the range 0-14.");
        return STATUS_FAILURE;
    case ArgumentCheck::unknown_model:
        std::printf("Unknow motor type: %s\n", args[4]);
        return STATUS_UNKNOWN_MODEL;
    }
    return STATUS_FAILURE;
}
