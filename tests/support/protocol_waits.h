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
/// Room for a loaded machine on top of the waits, in upper bounds of whole runs.
inline constexpr milliseconds SLOW_MACHINE{4000};

} // namespace waits
