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
//
// The verdict compares the whole run with the recording: the command's arguments, the
// device it opened (and no other serial device), the bytes it wrote, the gaps between its
// writes and to its exit, its input flushes, its standard output, the line settings it
// left and its exit status.
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

// How far a gap between two writes, or between the last write and the exit, may stray from
// the recorded one: 200 ms plus a tenth of the recorded gap. The shortest wait whose change
// must show is renumber's 1 s pause before the change command: cut to 0.5 s or stretched to
// 2 s, it is 500 ms or more off, where 300 to 400 ms are allowed. What a loaded machine adds
// is the time before a sleeping process runs again, in the recorded run and in the replay,
// for the command and for motor-sim, which plays the answers (both sides stamp a write in the
// command's process as it is made): on two cores under two CPU hogs beside other work, at
// most 38 ms over 1,248 gaps of the test tables' replays, 24 ms at the 99th percentile, a
// median of 1 ms; every run of a table exchanges its frames at the same moments. Emulated
// builds (qemu-user) take several times that. The relative part covers a long wait made of
// several such wake-ups (a drain retried every 10 ms).
constexpr std::int64_t GAP_TOLERANCE_US = 200'000;
constexpr std::int64_t GAP_TOLERANCE_PER_MILLE = 100;

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
    std::vector<std::int64_t> write_us;             // each recorded write's time
    std::vector<std::vector<ReplayAnswer>> answers; // read after each recorded write
    std::vector<ReplayAnswer> leading;              // read before any write
    std::vector<ReplayFailure> failures;            // failed writes and drains
    std::vector<std::size_t> flush_writes;          // recorded input flushes: writes before each
    std::vector<std::size_t> flush_line;
    std::size_t last_line = 0; // the recording's last record
    std::size_t matched = 0;   // bytes of expected the command sent
    std::size_t next_write = 0;
    bool opened = false;
    std::optional<ReplayDeparture> departure{}; // where the command's bytes departed
    std::uint64_t order = 0;
    std::vector<ReplayDue> due;
    // What the command did, as the layer told it.
    std::vector<std::optional<std::int64_t>> write_started_ns; // it began each recorded write
    std::vector<std::size_t> flushes_made; // its input flushes: recorded writes made before each
    bool write_failed = false;             // its last write failed as recorded
    std::string foreign_device;            // the first other serial device it tried to open
};

// What the replayed run did besides what the layer told as it went.
struct ReplayedRun {
    std::string device;               // the simulated device
    std::vector<std::string> command; // the replayed command's words
    int exit_status = 0;
    std::int64_t exit_ns = 0;               // when it exited
    std::optional<std::int64_t> close_ns{}; // when it last closed the device
    std::string output;                     // its standard output
    std::string line_settings; // as it left them (line_settings_text); empty if unreadable
};

struct ReplayVerdict {
    std::optional<ReplayDeparture> departure; // none: the run matched
    std::vector<std::string> unchecked;       // what the recording's version cannot show
};

Replay replay_prepare(const Recording &recording);

// The command opened the device (only the first open counts).
void replay_opened(Replay &replay, std::int64_t now_ns);

// Bytes the command sent. Returns a remark for the trace when it departs from the
// recording here.
std::optional<std::string> replay_feed(Replay &replay, std::span<const std::uint8_t> bytes,
                                       std::int64_t now_ns);

// The command is about to make a call (write or drain) at now_ns, having written `written`
// bytes so far (what motor-sim may not have read off the line yet): the errno the recording
// has this call fail with, or 0. A write that goes on is the start of a recorded write when
// it comes where one begins.
int replay_call(Replay &replay, const std::string &call, std::size_t written, std::int64_t now_ns);

// The command flushed its input, having written `written` bytes so far.
void replay_flushed(Replay &replay, std::size_t written);

// The command tried to open a serial device other than the simulated one (the layer refused).
void replay_foreign_open(Replay &replay, const std::string &path);

std::optional<std::int64_t> replay_next_due(const Replay &replay);

// What is due by now, in order; a hang-up comes as an entry of its own.
std::vector<ReplayDue> replay_take_due(Replay &replay, std::int64_t now_ns);

// At the end: what the recording held that the command did not send; empty if nothing.
std::string replay_unfinished(const Replay &replay);

// After the command has ended: the first difference from the recording, by its line (at
// one line, the arguments before the device, the device before the bytes, the bytes before
// their times), or none when the run matched; and what the recording could not show.
ReplayVerdict replay_verdict(const Replay &replay, const Recording &recording,
                             const ReplayedRun &run);

// The line settings as a recording's line record gives them, without a remark in
// parentheses (such as ch341's warning).
std::string replay_settings_compared(const std::string &recorded);

// The errno an errno name stands for ("EIO" is 5); 0 if unknown.
int errno_from_name(const std::string &name);

} // namespace sim
