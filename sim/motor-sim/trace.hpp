// The trace of a run: human lines (default) or key=value records (--trace lines).
#pragma once

#include "frames.hpp"
#include "motor.hpp"
#include "options.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct Trace {
    int fd = 2; // standard error unless --trace-file
    TraceForm form = TraceForm::human;
    bool write_failed = false; // reported once
    std::string bus; // human closing line in place of the motors' (a replay), if not empty
};

// Writes all of text to fd, resuming after interruptions and partial writes; false (with errno
// set) when the descriptor takes no more.
bool write_whole(int fd, std::string_view text);

// Opens --trace-file (truncating it); standard error otherwise. On failure, error
// names the call.
bool trace_open(Trace &trace, const Options &options, std::string &error);

// Human form only: what is simulated, before the command starts.
void trace_header(Trace &trace, const Options &options, const std::string &pty_path);

// --serve: the line the motors are on, once it is open ("serve device=PATH" in lines form).
void trace_serve_header(Trace &trace, const Options &options);

// Human form only: a line without a time, such as the tap's heading.
void trace_banner(Trace &trace, std::string_view text);

void trace_device_open(Trace &trace, std::int64_t ms, const std::string &path, bool refused);
void trace_device_close(Trace &trace, std::int64_t ms);
// A replay refused to open path, a serial device other than the simulated one.
void trace_foreign_open(Trace &trace, std::int64_t ms, const std::string &path,
                        const std::string &simulated);
void trace_tx(Trace &trace, std::int64_t ms, const Frame &frame);
// source: what put the bytes on the line, for the human form ("motor 0", "echo").
void trace_rx(Trace &trace, std::int64_t ms, const Bytes &bytes, const std::string &source);
void trace_hangup(Trace &trace, std::int64_t ms);
// Lines form only: COMMAND waited for the transmitter to empty (one record per drain call).
void trace_drain(Trace &trace, std::int64_t ms);
// The tap's own events: an input flush and the bytes it discarded, a failed call with its
// errno name, end of file on a read.
void trace_flush(Trace &trace, std::int64_t ms, const Bytes &discarded);
void trace_fail(Trace &trace, std::int64_t ms, const std::string &call, const std::string &error);
void trace_eof(Trace &trace, std::int64_t ms);
// When the command started, by the wall clock (UTC, ISO 8601) and the monotonic clock
// (seconds, as dmesg counts).
void trace_start(Trace &trace, const std::string &wall, const std::string &monotonic);
// A replay's verdict: the recording's line of the first difference, none for a match.
void trace_verdict(Trace &trace, std::optional<std::size_t> line, const std::string &text);
// Human form only: adapter events and other remarks.
void trace_note(Trace &trace, std::int64_t ms, std::string_view text);

// Closing lines: low latency, the motors, (human form) the line settings, and the
// exit status last.
void trace_close(Trace &trace, std::int64_t ms, std::optional<bool> low_latency_requested,
                 const std::vector<Motor> &motors, const std::string &line_settings,
                 int exit_status);

} // namespace sim
