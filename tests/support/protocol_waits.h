// The waits renumber's procedure is built from, as the tests' own copies: timing bounds and
// fault delays are written against them, so each one says which wait it is about.
#pragma once

#include <chrono>

namespace waits {

using std::chrono::milliseconds;

/// Each control frame waits this long for its 16-byte answer.
inline constexpr milliseconds CONTROL_WAIT{500};
/// Between the two control frames.
inline constexpr milliseconds CONTROL_PAUSE{1};
/// After the second control frame, before the change command.
inline constexpr milliseconds COMMAND_PAUSE{1000};
/// The change command waits this long for its four-byte answer.
inline constexpr milliseconds ANSWER_WAIT{3000};

/// A run in which nobody answers waits out all of these (and the 1 ms pause).
inline constexpr milliseconds EVERY_WAIT = 2 * CONTROL_WAIT + COMMAND_PAUSE + ANSWER_WAIT;
/// motor-sim stamps the trace in whole milliseconds as it receives each frame, so a gap between
/// two frames can look a little shorter than the pause that separated them.
inline constexpr milliseconds WHOLE_MS{10};
/// Room on top of the waits in upper bounds of whole runs. Those bounds catch a run that does not
/// end on its own once its waits are over; how long each wait lasts is the Timing rows' to judge.
/// Hundreds of runs started at once under emulation on a busy machine have taken 9.3 s, so the
/// room is twice the waits, not a thin margin.
inline constexpr milliseconds SLOW_MACHINE{2 * EVERY_WAIT};
/// A run still going after a minute is stuck: it is killed, and the test says so.
inline constexpr milliseconds RUN_LIMIT = 12 * EVERY_WAIT;

} // namespace waits
