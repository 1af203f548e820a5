#include "tap.hpp"

#include "child.hpp"
#include "clock.hpp"
#include "frames.hpp"
#include "layer_socket.hpp"
#include "line_settings.hpp"
#include "output.hpp"
#include "recording.hpp"

#include "../protocol.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr int EXIT_OWN_FAILURE = 125;
constexpr std::int64_t NS_PER_US = 1000;

struct Tap {
    Trace &trace;
    std::int64_t start_ns;
    int reports;     // motor-sim's end of the report socket, -1 once every holder is gone
    int record = -1; // the recording file, -1 without --record
    std::string record_path{};
    bool record_failed = false;
    std::int64_t last_us = 0; // recording times never go back, even across processes
    FrameSplitter splitter{};
    bool low_latency_requested = false;
    bool opened = false;
    std::optional<LineFlags> line{};
    std::int64_t last_ms = 0;
    CommandOutput output{};    // with --record: the command's standard output, recorded
    std::string output_line{}; // output not yet recorded: a line without its newline
};

// How the command ended.
struct Ended {
    int status = 0;
    int signal = 0;      // the signal that killed it, 0 if none
    int interrupted = 0; // a signal motor-sim got while the command ran (see signals.hpp)
    std::int64_t ns = 0; // when motor-sim saw it end
};

void record_line(Tap &tap, std::string line)
{
    if (tap.record < 0 || tap.record_failed)
        return;
    line.push_back('\n');
    if (!write_whole(tap.record, line)) {
        std::fprintf(stderr, "motor-sim: write: %s: %s\n", tap.record_path.c_str(),
                     std::strerror(errno));
        tap.record_failed = true;
    }
}

std::int64_t since_start_us(Tap &tap, std::int64_t ns)
{
    std::int64_t us = std::max<std::int64_t>(0, (ns - tap.start_ns) / NS_PER_US);
    tap.last_us = std::max(tap.last_us, us);
    return tap.last_us;
}

std::int64_t on_time(Tap &tap, std::int64_t ns)
{
    std::int64_t us = since_start_us(tap, ns);
    tap.last_ms = us / 1000;
    return us;
}

void on_data(Tap &tap, Direction direction, std::int64_t ns, const Bytes &bytes)
{
    std::int64_t us = on_time(tap, ns);
    std::int64_t ms = us / 1000;
    record_line(tap, recording_chunk_line({direction, us, bytes}));
    if (direction == Direction::flush) {
        trace_flush(tap.trace, ms, bytes);
        return;
    }
    if (direction == Direction::rx) {
        trace_rx(tap.trace, ms, bytes, "read");
        return;
    }
    std::vector<Frame> frames;
    splitter_feed(tap.splitter, bytes, frames);
    for (const Frame &frame : frames)
        trace_tx(tap.trace, ms, frame);
}

// An errno's name as the recording writes it.
std::string error_name(int error)
{
    const char *name = strerrorname_np(error);
    return name != nullptr ? name : "failed";
}

void on_serial(Tap &tap, const sim_message &report)
{
    tap.low_latency_requested = tap.low_latency_requested || report.low_latency;
    std::string text =
        std::string("TIOCSSERIAL ") +
        (report.low_latency ? "with low latency" : "without low latency") +
        (report.error == 0 ? ": accepted" : ": refused (" + error_name(report.error) + ")");
    trace_note(tap.trace, since_start_us(tap, report.ns) / 1000, text);
    record_line(tap, "note " + text);
}

void on_report(Tap &tap, const sim_message &report)
{
    const std::int64_t ns = report.ns;
    switch (report.kind) {
    case SIM_TAP_TX:
    case SIM_TAP_RX:
    case SIM_TAP_FLUSH:
        on_data(tap,
                report.kind == SIM_TAP_TX   ? Direction::tx
                : report.kind == SIM_TAP_RX ? Direction::rx
                                            : Direction::flush,
                ns, Bytes(report.data, report.data + report.data_size));
        break;
    case SIM_TAP_FAIL: {
        RecordedChunk chunk{Direction::fail, on_time(tap, ns), {}};
        chunk.call = sim_call_name(report.call);
        chunk.error = error_name(report.error);
        record_line(tap, recording_chunk_line(chunk));
        trace_fail(tap.trace, tap.last_ms, chunk.call, chunk.error);
        break;
    }
    case SIM_TAP_EOF: {
        std::int64_t us = on_time(tap, ns);
        record_line(tap, recording_chunk_line({Direction::eof, us, {}}));
        trace_eof(tap.trace, tap.last_ms);
        break;
    }
    case SIM_TAP_OPEN:
        tap.opened = true;
        trace_note(tap.trace, on_time(tap, ns) / 1000, "the command opened the device");
        break;
    case SIM_TAP_CLOSE:
        record_line(tap, "close " + recording_time(on_time(tap, ns)));
        break;
    case SIM_TAP_LINE:
        tap.line = LineFlags{report.line.speed, report.line.cflag, report.line.iflag,
                             report.line.oflag, report.line.lflag};
        break;
    case SIM_TAP_SERIAL:
        on_serial(tap, report);
        break;
    default:
        break;
    }
}

void receive_reports(Tap &tap)
{
    layer_receive(tap.reports, [&tap](const sim_message &report) { on_report(tap, report); });
}

// One out record per line of output, written as its newline arrives; the rest, at the end.
void record_output(Tap &tap, const std::string &fresh, bool ended)
{
    tap.output_line += fresh;
    std::size_t start = 0;
    for (std::size_t end = tap.output_line.find('\n'); end != std::string::npos;
         end = tap.output_line.find('\n', start)) {
        record_line(tap, recording_output_line(
                             std::string_view(tap.output_line).substr(start, end + 1 - start)));
        start = end + 1;
    }
    tap.output_line.erase(0, start);
    if (ended && !tap.output_line.empty())
        record_line(tap, recording_output_line(tap.output_line));
}

Ended wait_for_exit(Tap &tap, const Signals &signals, int pidfd, pid_t child)
{
    Ended ended;
    while (true) {
        pollfd fds[4] = {{tap.reports, POLLIN, 0},
                         {signals.fd, POLLIN, 0},
                         {pidfd, POLLIN, 0},
                         {tap.output.read_end, POLLIN, 0}};
        if (ppoll(fds, 4, nullptr, nullptr) < 0 && errno != EINTR) {
            std::fprintf(stderr, "motor-sim: ppoll: %s\n", std::strerror(errno));
            int wait_status = 0;
            waitpid(child, &wait_status, 0);
            ended.status = exit_status_of(wait_status);
            ended.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
            ended.ns = monotonic_ns();
            return ended;
        }
        receive_reports(tap);
        if (fds[3].revents != 0)
            record_output(tap, output_pump(tap.output), false);
        if (int arrived = signals_forward(signals, child); arrived != 0)
            ended.interrupted = arrived;
        if (fds[2].revents != 0 && child_reap(child, ended.status, ended.signal)) {
            ended.ns = monotonic_ns();
            return ended;
        }
    }
}

std::string one_line(std::string text)
{
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

// When the command started, by both clocks, so that a trace lines up with dmesg.
struct StartTime {
    std::string wall;      // 2026-12-08T12:50:00.123456Z
    std::string monotonic; // 1234.567890 (seconds)
};

StartTime start_time(std::int64_t monotonic)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char wall[64];
    std::size_t length = std::strftime(wall, sizeof wall, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(wall + length, sizeof wall - length, ".%06ldZ", now.tv_nsec / 1000);
    char mono[48];
    std::snprintf(mono, sizeof mono, "%lld.%06lld",
                  static_cast<long long>(monotonic / 1'000'000'000),
                  static_cast<long long>(monotonic % 1'000'000'000 / 1000));
    return {wall, mono};
}

bool open_record(Tap &tap, const Options &options, const std::string &device,
                 const std::string &command, const StartTime &start)
{
    if (options.record_file.empty())
        return true;
    tap.record_path = options.record_file;
    tap.record = open(options.record_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (tap.record < 0) {
        std::fprintf(stderr, "motor-sim: open: %s: %s\n", options.record_file.c_str(),
                     std::strerror(errno));
        return false;
    }
    record_line(tap, std::string(RECORDING_HEADER));
    record_line(tap, "# made by motor-sim --tap; times are ms since the command started");
    record_line(tap, "start " + start.wall + " monotonic=" + start.monotonic);
    // A record is one line, and a device record one word.
    bool one_word = device.find_first_of(" \t\n\r") == std::string::npos;
    record_line(tap, (one_word ? "device " : "# device, not one word: ") + one_line(device));
    record_line(tap, "command " + one_line(command));
    return true;
}

// The kernel driver behind a tty device, e.g. "ch341"; empty if sysfs does not say.
std::string tty_driver(const std::string &device)
{
    char resolved[PATH_MAX];
    if (realpath(device.c_str(), resolved) == nullptr)
        return {};
    std::string name = resolved;
    name = name.substr(name.rfind('/') + 1);
    std::string link = "/sys/class/tty/" + name + "/device/driver";
    char target[PATH_MAX];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    std::string driver(target, static_cast<std::size_t>(length));
    return driver.substr(driver.rfind('/') + 1);
}

// Says so, on standard error and in the recording, when there is nothing to tap.
void warn(Tap &tap, const std::string &text)
{
    std::fprintf(stderr, "motor-sim: %s\n", text.c_str());
    record_line(tap, "note " + text);
}

// An argument under /dev/ that is not one of the memory devices (/dev/null and the
// like), the controlling terminal or a standard stream: a trace file given as /dev/null
// to a motor-sim under the tap is not the device.
bool could_be_adapter(const std::string &path)
{
    constexpr unsigned MEMORY_MAJOR = 1;
    constexpr unsigned TTY_MAJOR = 5;
    if (!path.starts_with("/dev/") || path.starts_with("/dev/fd/") || path.starts_with("/dev/std"))
        return false;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return true; // a simulated device does not exist
    return major(info.st_rdev) != MEMORY_MAJOR && major(info.st_rdev) != TTY_MAJOR;
}

// The end record, last: only a run the tap saw to its end gets one, so that a replay refuses
// what a killed or interrupted command or a failed write left. Otherwise says the recording is
// incomplete.
void finish_record(Tap &tap, const Ended &ended)
{
    if (tap.record < 0)
        return;
    int signal = ended.signal != 0 ? ended.signal : ended.interrupted;
    if (signal == 0)
        record_line(tap, recording_end_line(since_start_us(tap, ended.ns), ended.status));
    if (close(tap.record) != 0 && !tap.record_failed) {
        std::fprintf(stderr, "motor-sim: close: %s: %s\n", tap.record_path.c_str(),
                     std::strerror(errno));
        tap.record_failed = true;
    }
    tap.record = -1;
    if (signal != 0)
        std::fprintf(stderr,
                     "motor-sim: %s is incomplete: signal %d (%s) %s the command, so it has no "
                     "end record and a replay refuses it\n",
                     tap.record_path.c_str(), signal, strsignal(signal),
                     ended.signal != 0 ? "ended" : "interrupted");
    else if (tap.record_failed)
        std::fprintf(stderr, "motor-sim: %s is incomplete: not all of it could be written\n",
                     tap.record_path.c_str());
}

} // namespace

std::string tap_device(const Options &options)
{
    if (options.device_given)
        return options.device;
    for (std::size_t i = 1; i < options.command.size(); ++i)
        if (could_be_adapter(options.command[i]))
            return options.command[i];
    return options.device;
}

int tap_run(const Options &options, Trace &trace, const std::string &adapter_path)
{
    std::string device = tap_device(options);
    std::string command;
    for (const std::string &word : options.command)
        command += (command.empty() ? "" : " ") + word;
    std::string error;
    Signals signals;
    int ends[2];
    if (!signals_capture(signals, error)) {
        std::fprintf(stderr, "motor-sim: %s\n", error.c_str());
        return EXIT_OWN_FAILURE;
    }
    if (!child_event_socket(ends)) {
        std::fprintf(stderr, "motor-sim: socketpair: %s\n", std::strerror(errno));
        return EXIT_OWN_FAILURE;
    }
    Tap tap{trace, 0, ends[0]};
    std::int64_t start_ns = monotonic_ns();
    StartTime start = start_time(start_ns);
    if (!open_record(tap, options, device, command, start))
        return EXIT_OWN_FAILURE;
    if (tap.record >= 0 && !output_open(tap.output, error)) {
        std::fprintf(stderr, "motor-sim: %s\n", error.c_str());
        return EXIT_OWN_FAILURE;
    }
    trace_banner(trace,
                 "motor-sim: tapping " + device + " (the real device, nothing simulated)" +
                     (options.record_file.empty() ? "" : "; recording to " + options.record_file));
    trace_start(trace, start.wall, start.monotonic);
    // Looked at now, as the layer does; said only at the end, since a motor-sim under the
    // tap makes its simulated device inside the command.
    struct stat info {};
    bool exists = stat(device.c_str(), &info) == 0;
    std::vector<std::string> environment = tap_environment(adapter_path, device, ends[1]);
    tap.start_ns = start_ns;
    pid_t child = -1;
    if (!child_start(options.command, environment, signals, tap.output.write_end, child, error)) {
        std::fprintf(stderr, "motor-sim: %s\n", error.c_str());
        return EXIT_OWN_FAILURE;
    }
    close(ends[1]);
    output_started(tap.output);
    int pidfd = child_pidfd(child, error);
    if (pidfd < 0) {
        std::fprintf(stderr, "motor-sim: %s\n", error.c_str());
        return EXIT_OWN_FAILURE;
    }
    trace_note(trace, 0, "started: " + command);

    Ended ended = wait_for_exit(tap, signals, pidfd, child);
    int status = ended.status;
    // The layer's last reports were sent before COMMAND exited, and so was its output.
    receive_reports(tap);
    record_output(tap, output_finish(tap.output), true);
    std::int64_t end_ms = (monotonic_ns() - tap.start_ns) / NS_PER_MS;
    std::vector<Frame> rest;
    splitter_finish(tap.splitter, rest);
    for (const Frame &frame : rest)
        trace_tx(trace, tap.last_ms, frame);
    if (!tap.opened)
        warn(tap, exists ? "the command never opened " + device + ": nothing was tapped"
                         : device + " does not exist: nothing was tapped");
    std::string line = tap.line ? line_settings_text(*tap.line) : "";
    // ch341 keeps a rate it cannot make in the settings and runs another without saying so.
    if (!line.empty() && tty_driver(device) == "ch341")
        line += " (ch341: the driver clamps rates without saying so; the chip may run another)";
    if (!line.empty())
        record_line(tap, "line " + line);
    finish_record(tap, ended);
    trace.bus = "tapped " + device;
    trace_close(trace, end_ms, tap.low_latency_requested, {}, line, status);
    return status;
}

} // namespace sim
