// Whatever comes back over the wire: adapters that vanish or refuse writes, answers that are
// late, cut short, too long, echoed or colliding. Each run ends with its message and status
// within the protocol's own waits, never claims a change the motors did not make, and leaves the
// simulated motors as the table says. Each row is a test of its own.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

namespace {

using waits::ANSWER_WAIT;

constexpr char ZERO_TO_ONE[] = "/dev/ttyUSB0 0 1";
constexpr char THREE_TO_ZERO[] = "/dev/ttyUSB0 3 0";

// The device is closed as the verdict is out (what renumber then reads of the machine comes
// after), well before the answer wait would have run out, counted from the command's write so
// that a slow start cannot eat the margin.
void answer_wait_ends_at_the_hang_up(const SimRun& run)
{
    ASSERT_EQ(run.sent_times().size(), 3U);
    EXPECT_LT(closed_at(run) - std::chrono::milliseconds(run.sent_times().back()), ANSWER_WAIT);
}

class Faults : public E2eRows {};

std::vector<E2eRow> faults_rows()
{
    return {
        // The adapter hangs up before, during and after the exchange.
        e2e_row("HangUpInsideTheOpen", "--hangup-after 0 --motor 0", ZERO_TO_ONE, OPEN_FAILED, 255,
                {0}, nullptr, "sp_open: Input/output error\n"),
        // Once the first control answer has been read: every later write fails.
        e2e_row("HangUpAfterTheFirstControlAnswer", "--hangup-after-read 16 --motor 0", ZERO_TO_ONE,
                times(2, WRITE_ERROR) + mismatch(0), 254, {0}, nullptr, gone_before_command(0)),
        // With the second control frame; a failed link must not pass as a change to 0.
        e2e_row("HangUpWithTheSecondControlFrame", "--hangup-after 2 --motor 3", THREE_TO_ZERO,
                WRITE_ERROR + std::string(MULTIPLE), 254, {3}, nullptr, gone_before_command(3)),
        // With the change command, before the motor saw it: written, so it may have.
        e2e_row("HangUpWithTheCommand", "--hangup-after 3 --motor 0", ZERO_TO_ONE, timeout(0, 1),
                255, {0}, nullptr, gone_after_command(0, 1)),
        // Unplugged early in the answer wait, after the motor took the command: the wait ends at
        // the hang-up, not when its 3 s run out, with the timeout on standard output and what it
        // may mean for the motor on standard error (kernel tier, acm/unplug-answer-wait).
        e2e_row("HangUpInTheAnswerWait",
                "--hangup-after 3:" + ms(ANSWER_WAIT / 30) +
                    " --motor 0:delay=" + ms(ANSWER_WAIT * 2 / 3),
                ZERO_TO_ONE, timeout(0, 1), 255, {1}, answer_wait_ends_at_the_hang_up,
                gone_after_command(0, 1)),
        // Half-way through the answer: the motor changed, but two bytes prove nothing.
        e2e_row("HangUpHalfWayThroughTheAnswer", "--hangup-after-read 34 --motor 0:truncate=2",
                ZERO_TO_ONE, mismatch(0), 254, {1}, nullptr, gone_after_command(0, 1)),
        // Once the whole answer has been read: the change stands.
        e2e_row("HangUpAfterTheWholeAnswer", "--hangup-after-read 36 --motor 0", ZERO_TO_ONE,
                changed(1), 0, {1}),

        // Writes refused or cut short. Nothing taken, not even the command: no answer to judge,
        // even for target 0.
        e2e_row("NothingWritten", "--write-limit 0 --motor 3", THREE_TO_ZERO,
                times(3, WRITE_ERROR) + timeout(3, 0), 255, {3}),
        // An adapter whose transmitter never empties: each frame's wait is cut short and the
        // write fails, well inside the protocol's own waits; nothing reached the motor.
        e2e_row("DrainNeverEnds", "--stall-drain --motor 0", ZERO_TO_ONE,
                times(3, WRITE_ERROR) + mismatch(0), 254, {0}, drain_bounded),
        // Control frames one byte short; the four-byte command still gets through and the
        // motor's answer is the truth.
        e2e_row("ControlFramesOneByteShort", "--write-limit 16 --motor 0", ZERO_TO_ONE,
                times(2, WRITE_ERROR) + changed(1), 0, {1}),

        // Cut short and overlong answers.
        // One byte, FC, decodes to identifier 0: still no success for target 0.
        e2e_row("OneByteOfTheAnswerForTargetZero", "--motor 3:truncate=1", THREE_TO_ZERO, MULTIPLE,
                254, {0}),
        // Only the first four bytes are the answer; the rest stays unread.
        e2e_row("WrongAnswerThenTheRightOne", "--motor 0:reply=FC0102BBFC0101BB", ZERO_TO_ONE,
                mismatch(2), 254, {1}),
        // An adapter that hears its own frames: each echo is skipped and the motor's answer judged.
        e2e_row("AdapterEchoesEveryByte", "--echo --motor 0", ZERO_TO_ONE, changed(1), 0, {1}),
        // The command's echo garbled into FB 01 11 BB, which the decoder alone would read as
        // identifier 1, from a motor that never took the command.
        e2e_row("EchoOfTheCommandWithAByteChanged",
                "--motor 0:ignore-command --send-after 3:0:FB0111BB", ZERO_TO_ONE, mismatch(1), 254,
                {0}),
        // A motor deaf to the command answers the control frames. A well-formed FC 01 01 BB rides
        // on a control answer, or comes from the bus during the pause amid more than any answer
        // and the command's echo: what waits is discarded before the command (a late control
        // answer is Rows/Timing's), so it is not the answer to the command: renumber times out.
        e2e_row("CommandIgnoredButAnAnswerRidesOnAControlAnswer",
                "--motor 0:ignore-command,control-extra=FC0101BB", ZERO_TO_ONE, timeout(0, 1), 255,
                {0}),
        e2e_row("CommandIgnoredButMuchComesDuringThePause",
                "--motor 0:ignore-command --send-after 2:300:" + std::string(48, 'A') +
                    "FB0110BBFC0101BB" + std::string(48, '5'),
                ZERO_TO_ONE, timeout(0, 1), 255, {0}),
    };
}

TEST_P(Faults, EndsAsTheTableSays)
{
    run_row();
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, testing::ValuesIn(faults_rows()), row_name<E2eRow>);

} // namespace
