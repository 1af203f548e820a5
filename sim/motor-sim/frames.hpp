// Splitting the byte stream a command sends on the bus into motor frames.
//
// FE EE starts a 17-byte control frame, FB a 4-byte short command; every other byte
// is unknown, and consecutive unknown bytes form one unknown entry.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr std::size_t CONTROL_FRAME_SIZE = 17;
constexpr std::size_t CONTROL_ANSWER_SIZE = 16;
constexpr std::size_t SHORT_FRAME_SIZE = 4;

enum class FrameKind { control, short_command, unknown };

struct Frame {
    FrameKind kind;
    Bytes bytes;
};

struct FrameSplitter {
    Bytes partial; // frame in progress: starts with FE, FE EE or FB
    Bytes unknown; // run of unknown bytes not yet reported
};

// Appends the frames completed by these bytes to out, in order. A run of unknown
// bytes is reported when a frame starts after it or, if no frame is in progress,
// at the end of the bytes given.
void splitter_feed(FrameSplitter &splitter, std::span<const std::uint8_t> bytes,
                   std::vector<Frame> &out);

// End of the stream: what is left, an unfinished frame included, is unknown.
void splitter_finish(FrameSplitter &splitter, std::vector<Frame> &out);

// Bytes 15-16 (low byte first) hold the CRC of bytes 0-14.
bool control_checksum_good(std::span<const std::uint8_t> frame);

// The 16 bytes a motor answers a control frame with: FD DD, identifier | status << 4,
// eleven zero bytes, CRC of those 14 bytes low byte first.
Bytes control_answer(std::uint8_t id, std::uint8_t status);

} // namespace sim
