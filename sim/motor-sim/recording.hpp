// Recordings: what crossed a device during one run, as the tap writes it and --replay
// reads it. A line-based text a person can read and edit:
//
//   motor-sim recording 2                 first line, the format's version (1 is read too)
//   # comment                             ignored, as are blank lines
//   start 2026-12-08T12:50:00.123456Z monotonic=1234.567890
//                                         when the command started (for the reader)
//   device /dev/ttyUSB0                   the device path (at most once)
//   command renumber /dev/ttyUSB0 0 1     what ran (compared on replay)
//   tx 5.120 FE EE 00 ... 65 23           bytes the command wrote
//   rx 5.394 FD DD 00 ... BB 15           bytes the command read
//   flush 1005.9 01 02                    an input flush and the bytes it discarded
//   fail 1006.2 write EIO                 a failed call (write, read, settings, flush,
//                                         drain) and its errno name
//   eof 1007.5                            a read met end of file: the line hung up
//   note TIOCSSERIAL with low latency: ok remarks (for the reader)
//   line 4000000 baud, 8 data bits, ...   line settings at the end (for the reader)
//   exit 0                                the command's exit status (at most once, last)
//
// Times are milliseconds since the command started, with up to three decimals, and
// never go back. Bytes are pairs of hexadecimal digits, spaces between pairs optional.
// start, flush, fail and eof are version 2's.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr std::string_view RECORDING_HEADER = "motor-sim recording 2";
constexpr std::string_view RECORDING_HEADER_V1 = "motor-sim recording 1";

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

struct Recording {
    std::string device; // empty when the recording names none
    std::string command;
    std::size_t command_line = 0; // 0: no command record
    std::vector<RecordedChunk> chunks;
    std::optional<int> exit_status;
    std::size_t exit_line = 0;
};

// On failure, error is "line N: what is wrong".
bool recording_parse(std::string_view text, Recording &recording, std::string &error);

// Reads and parses a file; error is "PATH:N: what is wrong" or names the failing call.
bool recording_load(const std::string &path, Recording &recording, std::string &error);

// "tx 5.120 FE EE 00", "fail 7.000 write EIO" (no newline).
std::string recording_chunk_line(const RecordedChunk &chunk);

// A piece of a recording quoted in a message: at most 40 characters, bytes that are not
// printable shown as \xNN, and "..." where it was cut.
std::string recording_quote(std::string_view text);

} // namespace sim
