// --replay: the motor side of a recording played back. The bytes the command sends are
// matched against the recorded ones; when the command has sent all of a recorded write,
// the bytes read after it (up to the next recorded write) are sent back, each after its
// recorded delay from that write. Bytes read before any write are sent after the device
// is opened, their recorded time after it. Once the command departs from the recording,
// the recorded motor answers nothing more.
#pragma once

#include "bytes.hpp"
#include "recording.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct ReplayAnswer {
    std::int64_t delay_ns;
    Bytes bytes;
};

struct ReplayDue {
    std::int64_t due_ns;
    std::uint64_t order; // equal times keep the recorded order
    Bytes bytes;
};

struct Replay {
    Bytes expected;                                 // every recorded write, in order
    std::vector<std::size_t> write_end;             // where each recorded write ends in it
    std::vector<std::vector<ReplayAnswer>> answers; // read after each recorded write
    std::vector<ReplayAnswer> leading;              // read before any write
    std::size_t matched = 0;                        // bytes of expected the command sent
    std::size_t next_write = 0;
    bool opened = false;
    bool departed = false;
    std::uint64_t order = 0;
    std::vector<ReplayDue> due;
};

Replay replay_prepare(const Recording &recording);

// The command opened the device (only the first open counts).
void replay_opened(Replay &replay, std::int64_t now_ns);

// Bytes the command sent. Returns a remark for the trace when it departs from the
// recording here.
std::optional<std::string> replay_feed(Replay &replay, std::span<const std::uint8_t> bytes,
                                       std::int64_t now_ns);

std::optional<std::int64_t> replay_next_due(const Replay &replay);

// The answers due by now, in order.
std::vector<Bytes> replay_take_due(Replay &replay, std::int64_t now_ns);

// At the end: what the recording held that the command did not send; empty if nothing.
std::string replay_unfinished(const Replay &replay);

} // namespace sim
