#include "trace.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

bool write_whole(int fd, std::string_view text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

namespace {

void emit(Trace &trace, std::string line)
{
    line.push_back('\n');
    // One write per line, so that on standard error lines stay whole.
    if (!write_whole(trace.fd, line)) {
        if (!trace.write_failed)
            std::fprintf(stderr, "motor-sim: write: trace: %s\n", std::strerror(errno));
        trace.write_failed = true;
    }
}

std::string stamp(std::int64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "+%6" PRId64 " ms  ", ms);
    return text;
}

std::string indent()
{
    return std::string(stamp(0).size(), ' ');
}

std::string ms_field(std::int64_t ms)
{
    return "t=" + std::to_string(ms);
}

std::string describe_motor_id(std::uint8_t id)
{
    return id == BROADCAST_ID ? std::string("all motors (15)") : "motor " + std::to_string(id);
}

std::string describe_tx(const Frame &frame)
{
    const Bytes &b = frame.bytes;
    switch (frame.kind) {
    case FrameKind::control:
        return "control to " + describe_motor_id(b[2] & 0x0F) + ", status " +
               std::to_string((b[2] >> 4) & 0x07) + ", checksum " +
               (control_checksum_good(b) ? "good" : "bad (ignored)");
    case FrameKind::short_command: {
        std::string text = "command " + std::to_string(b[1]);
        if (b[1] == 1)
            text += " (change identifier) to " + describe_motor_id(b[2] & 0x0F) +
                    ", new identifier " + std::to_string(b[2] >> 4);
        else
            text += ", argument " + std::to_string(b[2]) + " (ignored)";
        if (b[3] != 0xBB)
            text += ", no BB trailer";
        return text;
    }
    case FrameKind::unknown:
        break;
    }
    return std::to_string(b.size()) + (b.size() == 1 ? " unknown byte" : " unknown bytes");
}

std::string describe_rx(const Bytes &b)
{
    if (b.size() == CONTROL_ANSWER_SIZE && b[0] == 0xFD && b[1] == 0xDD) {
        Bytes expected = control_answer(b[2] & 0x0F, (b[2] >> 4) & 0x07);
        return "control answer, motor " + std::to_string(b[2] & 0x0F) + ", status " +
               std::to_string((b[2] >> 4) & 0x07) + (expected == b ? "" : ", not well formed");
    }
    if (b.size() == 4 && b[0] == 0xFC && b[3] == 0xBB)
        return "answer to command " + std::to_string(b[1]) + ", identifier " +
               std::to_string(b[2] & 0x0F);
    return std::to_string(b.size()) + (b.size() == 1 ? " byte" : " bytes");
}

// "1 motor (identifier 0)", "2 motors (identifiers 3, 5:silent)": a bare "motors 0" read as
// "no motors".
std::string bus_motors(const Options &options)
{
    const std::vector<std::string> &texts = options.motor_texts;
    if (texts.empty())
        return "no motor";
    std::string list;
    for (const std::string &text : texts)
        list += (list.empty() ? "" : ", ") + text;
    return texts.size() == 1 ? "1 motor (identifier " + list + ")"
                             : std::to_string(texts.size()) + " motors (identifiers " + list + ")";
}

} // namespace

bool trace_open(Trace &trace, const Options &options, std::string &error)
{
    trace.form = options.trace;
    if (options.trace_file.empty()) {
        trace.fd = STDERR_FILENO;
        return true;
    }
    int fd = open(options.trace_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "open: " + options.trace_file + ": " + std::strerror(errno);
        return false;
    }
    trace.fd = fd;
    return true;
}

void trace_header(Trace &trace, const Options &options, const std::string &pty_path)
{
    if (trace.form != TraceForm::human)
        return;
    std::string faults = adapter_faults(options);
    if (options.echo)
        faults += faults.empty() ? "echo" : ",echo";
    if (options.hangup_after)
        faults += (faults.empty() ? "" : ",") + std::string("hangup-after=") +
                  std::to_string(*options.hangup_after) +
                  (options.hangup_delay_ms ? ":" + std::to_string(*options.hangup_delay_ms) : "");
    if (options.hangup_after_read)
        faults += (faults.empty() ? "" : ",") + std::string("hangup-after-read=") +
                  std::to_string(*options.hangup_after_read);
    if (options.send_after)
        faults += (faults.empty() ? "" : ",") + std::string("send-after=") +
                  std::to_string(options.send_after->after_frame) + ":" +
                  std::to_string(options.send_after->delay_ms) + ":" +
                  hex_compact(options.send_after->bytes);
    emit(trace, "motor-sim: " + options.device + " is " + pty_path + "; " +
                    (!options.replay_file.empty() ? "replaying " + options.replay_file
                                                  : bus_motors(options)) +
                    "; adapter faults: " + (faults.empty() ? "none" : faults));
}

void trace_serve_header(Trace &trace, const Options &options)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "serve device=" + options.serve_path);
    else
        emit(trace, "motor-sim: serving " + options.serve_path + "; " + bus_motors(options));
}

void trace_banner(Trace &trace, std::string_view text)
{
    if (trace.form == TraceForm::human)
        emit(trace, std::string(text));
}

void trace_device_open(Trace &trace, std::int64_t ms, const std::string &path, bool refused)
{
    if (trace.form == TraceForm::lines)
        emit(trace, std::string(refused ? "open-refused" : "open") + " device=" + path);
    else
        emit(trace,
             stamp(ms) + (refused ? "open of " + path + " refused (EACCES)" : "opened " + path));
}

void trace_device_close(Trace &trace, std::int64_t ms)
{
    emit(trace, trace.form == TraceForm::lines ? "close " + ms_field(ms)
                                               : stamp(ms) + "the command closed the device");
}

void trace_foreign_open(Trace &trace, std::int64_t ms, const std::string &path,
                        const std::string &simulated)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "open-refused device=" + path);
    else
        emit(trace, stamp(ms) + "open of " + path +
                        " refused (ENOENT): a replay lets the command open no serial device but "
                        "the simulated " +
                        simulated);
}

void trace_tx(Trace &trace, std::int64_t ms, const Frame &frame)
{
    const Bytes &b = frame.bytes;
    if (trace.form == TraceForm::human) {
        emit(trace, stamp(ms) + "\u2192 " + hex_brief(b) + "  " + describe_tx(frame));
        return;
    }
    std::string line = "tx " + ms_field(ms);
    switch (frame.kind) {
    case FrameKind::control:
        line += " kind=control motor=" + std::to_string(b[2] & 0x0F) +
                " status=" + std::to_string((b[2] >> 4) & 0x07) +
                " crc=" + (control_checksum_good(b) ? "good" : "bad");
        break;
    case FrameKind::short_command:
        line += " kind=short cmd=" + std::to_string(b[1]) + " arg=" + std::to_string(b[2]) +
                " id=" + std::to_string(b[2] & 0x0F) + " target=" + std::to_string(b[2] >> 4);
        break;
    case FrameKind::unknown:
        line += " kind=unknown";
        break;
    }
    emit(trace, line + " bytes=" + hex_compact(b));
}

void trace_rx(Trace &trace, std::int64_t ms, const Bytes &bytes, const std::string &source)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "rx " + ms_field(ms) + " bytes=" + hex_compact(bytes));
    else
        emit(trace, stamp(ms) + "\u2190 " + hex_brief(bytes) + "  " + describe_rx(bytes) + " (" +
                        source + ")");
}

void trace_drain(Trace &trace, std::int64_t ms)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "drain " + ms_field(ms));
}

void trace_hangup(Trace &trace, std::int64_t ms)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "hangup " + ms_field(ms));
    else
        emit(trace, stamp(ms) + "hang-up: the adapter is gone, the command's reads and "
                                "writes on it now fail");
}

void trace_flush(Trace &trace, std::int64_t ms, const Bytes &discarded)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "flush " + ms_field(ms) + " bytes=" + hex_compact(discarded));
    else
        emit(trace,
             stamp(ms) + "input flushed: " +
                 (discarded.empty() ? std::string("nothing was waiting")
                                    : std::to_string(discarded.size()) +
                                          " bytes discarded unread: " + hex_spaced(discarded)));
}

void trace_fail(Trace &trace, std::int64_t ms, const std::string &call, const std::string &error)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "fail " + ms_field(ms) + " call=" + call + " error=" + error);
    else
        emit(trace, stamp(ms) + call + " failed: " + error);
}

void trace_eof(Trace &trace, std::int64_t ms)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "eof " + ms_field(ms));
    else
        emit(trace, stamp(ms) + "read: end of file (the line hung up)");
}

void trace_start(Trace &trace, const std::string &wall, const std::string &monotonic)
{
    if (trace.form == TraceForm::lines)
        emit(trace, "start wall=" + wall + " monotonic=" + monotonic);
    else
        emit(trace, indent() + "started at " + wall + ", monotonic clock " + monotonic + " s");
}

void trace_verdict(Trace &trace, std::optional<std::size_t> line, const std::string &text)
{
    if (trace.form == TraceForm::lines)
        emit(trace, line ? "verdict result=departed line=" + std::to_string(*line)
                         : std::string("verdict result=matched"));
    else
        emit(trace, indent() + text);
}

void trace_note(Trace &trace, std::int64_t ms, std::string_view text)
{
    if (trace.form == TraceForm::human)
        emit(trace, stamp(ms) + std::string(text));
}

void trace_close(Trace &trace, std::int64_t ms, std::optional<bool> low_latency_requested,
                 const std::vector<Motor> &motors, const std::string &line_settings,
                 int exit_status)
{
    if (trace.form == TraceForm::lines) {
        if (low_latency_requested)
            emit(trace,
                 std::string("low-latency requested=") + (*low_latency_requested ? "yes" : "no"));
        for (std::size_t i = 0; i < motors.size(); ++i)
            emit(trace, "motor index=" + std::to_string(i) +
                            " start=" + std::to_string(motors[i].start_id) +
                            " end=" + std::to_string(motors[i].id));
        emit(trace, "exit status=" + std::to_string(exit_status));
        return;
    }
    if (low_latency_requested)
        emit(trace,
             indent() + "low latency " + (*low_latency_requested ? "requested" : "not requested"));
    if (!line_settings.empty())
        emit(trace, indent() + "line at the end: " + line_settings);
    if (!trace.bus.empty())
        emit(trace, indent() + trace.bus);
    else if (motors.empty())
        emit(trace, indent() + "no motor on the bus");
    for (std::size_t i = 0; i < motors.size(); ++i) {
        const Motor &motor = motors[i];
        std::string change = motor.start_id == motor.id
                                 ? "identifier " + std::to_string(motor.id) + ", unchanged"
                                 : "identifier " + std::to_string(motor.start_id) + " \u2192 " +
                                       std::to_string(motor.id);
        emit(trace, indent() + "motor #" + std::to_string(i) + ": " + change);
    }
    emit(trace, stamp(ms) + "exit status " + std::to_string(exit_status));
}

} // namespace sim
