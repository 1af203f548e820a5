// Recordings: what crossed a device during one run, as the tap writes it and --replay
// reads it. A line-based text a person can read and edit:
//
//   motor-sim recording 1                 first line, the format's version
//   # comment                             ignored, as are blank lines
//   device /dev/ttyUSB0                   the device path (at most once)
//   command renumber /dev/ttyUSB0 0 1     what ran (for the reader)
//   tx 5.120 FE EE 00 ... 65 23           bytes the command wrote, read
//   rx 5.394 FD DD 00 ... BB 15           bytes the command read
//   note TIOCSSERIAL with low latency: ok remarks (for the reader)
//   line 4000000 baud, 8 data bits, ...   line settings at the end (for the reader)
//   exit 0                                the command's exit status (at most once, last)
//
// Times are milliseconds since the command started, with up to three decimals, and
// never go back. Bytes are pairs of hexadecimal digits, spaces between pairs optional.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr std::string_view RECORDING_HEADER = "motor-sim recording 1";

enum class Direction { tx, rx };

struct RecordedChunk {
    Direction direction;
    std::int64_t us; // since the command started
    Bytes bytes;
};

struct Recording {
    std::string device; // empty when the recording names none
    std::string command;
    std::vector<RecordedChunk> chunks;
    std::optional<int> exit_status;
};

// On failure, error is "line N: what is wrong".
bool recording_parse(std::string_view text, Recording &recording, std::string &error);

// Reads and parses a file; error is "PATH:N: what is wrong" or names the failing call.
bool recording_load(const std::string &path, Recording &recording, std::string &error);

// "tx 5.120 FE EE 00" (no newline).
std::string recording_chunk_line(const RecordedChunk &chunk);

} // namespace sim
