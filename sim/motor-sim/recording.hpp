// Recordings: what crossed a device during one run, as the tap writes it and --replay reads it,
// one record per line of text. motor-sim(1), RECORDINGS, describes the records and their rules;
// this reader is the one that holds files to them.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr int RECORDING_VERSION = 3;
constexpr std::string_view RECORDING_HEADER = "motor-sim recording 3";

// What a timed record holds: bytes written or read, a flush (with what it discarded), a
// failed call, end of file.
enum class Direction { tx, rx, flush, fail, eof };

struct RecordedChunk {
    Direction direction;
    std::int64_t us; // since the command started
    Bytes bytes;
    std::string call{};  // fail: the call
    std::string error{}; // fail: its errno name
    std::size_t line = 0;
};

// A line of the command's standard output (its newline included, if it had one).
struct RecordedOutput {
    std::string text;
    std::size_t line = 0;
};

// The line numbers are the recording's, 0 where it has no such record.
struct Recording {
    int version = RECORDING_VERSION;
    std::string device; // empty when the recording names none
    std::size_t device_line = 0;
    std::string command;
    std::size_t command_line = 0;
    std::vector<RecordedChunk> chunks;
    std::vector<RecordedOutput> output; // version 3
    std::string line_settings;          // empty when the settings could not be read
    std::size_t line_settings_line = 0;
    std::optional<int> exit_status; // from end, or from exit before version 3
    std::size_t exit_line = 0;
    std::optional<std::int64_t> end_us;   // when the command exited (version 3)
    std::optional<std::int64_t> close_us; // when it last closed the device (version 3)
    std::size_t close_line = 0;
    std::size_t cut_line = 0; // the last line, if no newline ends it
};

// Reads the records; a recording cut short parses as far as it goes (see recording_complete).
// On failure, error is "line N: what is wrong".
bool recording_parse(std::string_view text, Recording &recording, std::string &error);

// Whether a parsed recording is a whole run: no line cut short, and the device, the command
// and the end (before version 3, the exit status) recorded. On failure, error is "line N: what
// is wrong" or "what is missing".
bool recording_complete(const Recording &recording, std::string &error);

// Reads, parses and checks a file for completeness; error is "PATH:N: what is wrong",
// "PATH: what is missing" or names the failing call.
bool recording_load(const std::string &path, Recording &recording, std::string &error);

// "tx 5.120 FE EE 00", "fail 7.000 write EIO" (no newline).
std::string recording_chunk_line(const RecordedChunk &chunk);

// 'out "OK! Changed.\n"': bytes outside printable ASCII, quotes and backslashes escaped
// (\n, \r, \t, \\, \", \xNN), so that any output is one line of text.
std::string recording_output_line(std::string_view text);

// "1013.412": a record's time, milliseconds with the microseconds as decimals.
std::string recording_time(std::int64_t us);

// "end 1013.412 exit 0".
std::string recording_end_line(std::int64_t us, int exit_status);

// Output as an out record quotes it, without the quotes: "OK! Changed.\n".
std::string recording_escape(std::string_view text);

// A piece of a recording quoted in a message: at most 40 characters, bytes that are not
// printable shown as \xNN, and "..." where it was cut.
std::string recording_quote(std::string_view text);

} // namespace sim
