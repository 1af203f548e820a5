// --replay: the motor side of a recording played back, and the verdict on the run. The
// bytes the command sends are matched against the recorded ones; when the command has
// sent all of a recorded write, the bytes read after it (up to the next recorded write)
// are sent back, each after its recorded delay from that write, and so are the bytes a
// recorded flush discarded (at once after the read before them, so that they wait on
// the line as they did); a recorded end of file hangs the line up at its recorded
// delay, once the command has read what came before it; a recorded failed write or drain
// fails every such call the command makes at that frame. Bytes read before any write are
// sent after the device is opened, their recorded time after it. Once the command departs
// from the recording, the recorded motor answers nothing more.
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

// motor-sim's exit status when a replayed run departs from its recording: one that
// renumber (0, 253-255), motor-sim itself (125), shells (126, 127) and signals (128+N)
// never give, so that a CI job tells a departure from a motor that timed out.
constexpr int EXIT_REPLAY_DEPARTED = 120;

struct ReplayAnswer {
    std::int64_t delay_ns;
    Bytes bytes;
    bool hangup = false; // the line hangs up here (a recorded end of file)
};

struct ReplayDue {
    std::int64_t due_ns;
    std::uint64_t order; // equal times keep the recorded order
    Bytes bytes;
    bool hangup = false;
};

// A recorded failed write or drain. It belongs to the frame it followed, the last write the
// command attempted: every such call the command makes there fails alike (the tap shows a
// failure repeated without a success between once, and renumber retries a drain that a
// signal interrupted). A frame is where the command is in the recorded writes, and, for a
// drain, whether the write just before it failed: the drain after a failed write and the
// drain after the last good one come at the same place in the bytes.
struct ReplayFailure {
    std::size_t writes_before;
    std::string call; // write or drain
    int error;
    bool after_failed_write = false; // a drain's: the write before it failed
};

// The first place a run differs from its recording.
struct ReplayDeparture {
    std::size_t line; // of the recording
    std::string what;
};

struct Replay {
    Bytes expected;                                 // every recorded write, in order
    std::vector<std::size_t> write_end;             // where each recorded write ends in it
    std::vector<std::size_t> write_line;            // each recorded write's line
    std::vector<std::vector<ReplayAnswer>> answers; // read after each recorded write
    std::vector<ReplayAnswer> leading;              // read before any write
    std::vector<ReplayFailure> failures;            // failed writes and drains
    std::size_t last_line = 0;                      // the recording's last record
    std::size_t matched = 0;                        // bytes of expected the command sent
    std::size_t next_write = 0;
    bool opened = false;
    std::optional<ReplayDeparture> departure{}; // where the command's bytes departed
    std::uint64_t order = 0;
    std::vector<ReplayDue> due;
    bool write_failed = false; // the command's last write failed as recorded
};

Replay replay_prepare(const Recording &recording);

// The command opened the device (only the first open counts).
void replay_opened(Replay &replay, std::int64_t now_ns);

// Bytes the command sent. Returns a remark for the trace when it departs from the
// recording here.
std::optional<std::string> replay_feed(Replay &replay, std::span<const std::uint8_t> bytes,
                                       std::int64_t now_ns);

// The command is about to make a call (write or drain), having written `written` bytes
// so far (what motor-sim may not have read off the line yet): the errno the recording
// has this call fail with, or 0.
int replay_call_error(Replay &replay, const std::string &call, std::size_t written);

std::optional<std::int64_t> replay_next_due(const Replay &replay);

// What is due by now, in order; a hang-up comes as an entry of its own.
std::vector<ReplayDue> replay_take_due(Replay &replay, std::int64_t now_ns);

// At the end: what the recording held that the command did not send; empty if nothing.
std::string replay_unfinished(const Replay &replay);

// After the command has ended: the first difference from the recording (command line,
// frames, exit status), or nothing when the run matched. command: the replayed command's
// words.
std::optional<ReplayDeparture> replay_verdict(const Replay &replay, const Recording &recording,
                                              const std::vector<std::string> &command,
                                              int exit_status);

// The errno an errno name stands for ("EIO" is 5); 0 if unknown.
int errno_from_name(const std::string &name);

} // namespace sim
