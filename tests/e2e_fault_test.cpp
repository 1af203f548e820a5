// Whatever comes back over the wire: adapters that vanish or refuse writes, answers that are
// late, cut short, too long, garbled or colliding. Each run ends with its message and status
// within the protocol's own waits, never claims a change the motors did not make, and leaves the
// simulated motors as the table says. Each row is a test of its own.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using waits::ANSWER_WAIT;
using waits::COMMAND_PAUSE;
using waits::CONTROL_WAIT;

constexpr char WRITE_ERROR[] = "[Error] Error occurred during serial port write.\n";
constexpr char MULTIPLE[] =
    "[ERROR] Error message, don't connect multiple motors at the 485 cable.\n";

std::string changed(int target)
{
    return "OK! Changed. Now the motor ID:" + std::to_string(target) + "\n";
}

std::string mismatch(int reported)
{
    return "[Error] The ID:" + std::to_string(reported) + " of the feedback does not match.\n";
}

std::string timeout(int id, int target)
{
    return "[ERROR] Modify id " + std::to_string(id) + " to " + std::to_string(target) +
           " failure, No motor be found(timeout).\n";
}

// What standard error says of an adapter that vanished, before the command went out or after.
std::string gone_before_command(int id)
{
    return "/dev/ttyUSB0: hung up (the adapter was unplugged or reset) before the change command "
           "went out; motor " +
           std::to_string(id) + " kept its identifier\n";
}

std::string gone_after_command(int id, int target)
{
    const std::string new_id = std::to_string(target);
    return "/dev/ttyUSB0: hung up (the adapter was unplugged or reset) while renumber waited for "
           "the answer; motor " +
           std::to_string(id) + " may already have taken identifier " + new_id +
           ", so check that first: renumber /dev/ttyUSB0 " + new_id + " " + new_id +
           " answers only if it has\n";
}

// When renumber closed the device, as motor-sim saw it: the verdict is out by then.
long closed_at(const SimRun& run)
{
    const std::vector<TraceRecord> closes = run.all("close");
    return closes.empty() ? std::numeric_limits<long>::max()
                          : std::stol(closes.back().fields.at("t"));
}

std::string times(int count, const std::string& line)
{
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += line;
    }
    return lines;
}

std::string ms(std::chrono::milliseconds wait)
{
    return std::to_string(wait.count());
}

class Faults : public E2eRows {};

std::vector<E2eRow> faults_rows()
{
    const std::vector<std::string> zero_to_one{"/dev/ttyUSB0", "0", "1"};
    const std::vector<std::string> three_to_zero{"/dev/ttyUSB0", "3", "0"};
    // Answers due after the command's answer wait.
    const std::string late = "delay=" + ms(ANSWER_WAIT + std::chrono::milliseconds(200));
    return {
        // The adapter hangs up before, during and after the exchange.
        {"HangUpInsideTheOpen",
         {"--hangup-after", "0", "--motor", "0"},
         zero_to_one,
         "[Error] Failed to open serial port, try opening with administrator privileges.\n",
         255,
         {0},
         true,
         nullptr,
         "sp_open: Input/output error\n"},
        // Once the first control answer has been read: every later write fails.
        {"HangUpAfterTheFirstControlAnswer",
         {"--hangup-after-read", "16", "--motor", "0"},
         zero_to_one,
         times(2, WRITE_ERROR) + mismatch(0),
         254,
         {0},
         true,
         nullptr,
         gone_before_command(0)},
        // With the second control frame; a failed link must not pass as a change to 0.
        {"HangUpWithTheSecondControlFrame",
         {"--hangup-after", "2", "--motor", "3"},
         three_to_zero,
         WRITE_ERROR + std::string(MULTIPLE),
         254,
         {3},
         true,
         nullptr,
         gone_before_command(3)},
        // With the change command, before the motor saw it: written, so it may have.
        {"HangUpWithTheCommand",
         {"--hangup-after", "3", "--motor", "0"},
         zero_to_one,
         timeout(0, 1),
         255,
         {0},
         true,
         nullptr,
         gone_after_command(0, 1)},
        // Unplugged early in the answer wait, after the motor took the command: the wait ends at
        // the hang-up, not when its 3 s run out (counted from the command's write, so that a slow
        // start cannot eat the margin), with the timeout on standard output and what it may mean
        // for the motor on standard error (kernel tier, acm/unplug-answer-wait).
        {"HangUpInTheAnswerWait",
         {"--hangup-after", "3:" + ms(ANSWER_WAIT / 30), "--motor",
          "0:delay=" + ms(ANSWER_WAIT * 2 / 3)},
         zero_to_one,
         timeout(0, 1),
         255,
         {1},
         true,
         // The device is closed as the verdict is out (what renumber then reads of the machine
         // comes after), well before the answer wait would have run out.
         [](const SimRun& run) {
             ASSERT_EQ(run.sent_times().size(), 3U);
             const std::chrono::milliseconds command{run.sent_times().back()};
             EXPECT_LT(std::chrono::milliseconds(closed_at(run)) - command, ANSWER_WAIT);
         },
         gone_after_command(0, 1)},
        // Half-way through the answer: the motor changed, but two bytes prove nothing.
        {"HangUpHalfWayThroughTheAnswer",
         {"--hangup-after-read", "34", "--motor", "0:truncate=2"},
         zero_to_one,
         mismatch(0),
         254,
         {1},
         true,
         nullptr,
         gone_after_command(0, 1)},
        // Once the whole answer has been read: the change stands.
        {"HangUpAfterTheWholeAnswer",
         {"--hangup-after-read", "36", "--motor", "0"},
         zero_to_one,
         changed(1),
         0,
         {1},
         true},

        // Writes refused or cut short. Nothing taken, not even the command: no answer to judge,
        // even for target 0.
        {"NothingWritten",
         {"--write-limit", "0", "--motor", "3"},
         three_to_zero,
         times(3, WRITE_ERROR) + timeout(3, 0),
         255,
         {3}},
        // Two bytes of each frame: the command never arrives whole, and what comes back is no
        // change to 0.
        {"TwoBytesOfEachFrameWritten",
         {"--write-limit", "2", "--motor", "0"},
         {"/dev/ttyUSB0", "0", "0"},
         times(3, WRITE_ERROR) + MULTIPLE,
         254,
         {0}},
        // An adapter whose transmitter never empties: each frame's wait is cut short and the
        // write fails, well inside the protocol's own waits; nothing reached the motor.
        {"DrainNeverEnds",
         {"--stall-drain", "--motor", "0"},
         zero_to_one,
         times(3, WRITE_ERROR) + mismatch(0),
         254,
         {0},
         false,
         // 5.5 s: a stalled drain must not hold the run much past its answer wait; each frame's
         // one drain is cut short, never retried.
         [](const SimRun& run) {
             EXPECT_EQ(run.all("drain").size(), 3U);
             EXPECT_LT(std::chrono::milliseconds(closed_at(run)),
                       COMMAND_PAUSE + ANSWER_WAIT + 3 * CONTROL_WAIT);
         }},
        // Control frames one byte short; the four-byte command still gets through and the
        // motor's answer is the truth.
        {"ControlFramesOneByteShort",
         {"--write-limit", "16", "--motor", "0"},
         zero_to_one,
         times(2, WRITE_ERROR) + changed(1),
         0,
         {1}},

        // Late, garbled, truncated and overlong answers. Both motors change, but their answers
        // come after the answer wait.
        {"BothAnswersAfterTheAnswerWait",
         {"--motor", "2:" + late, "--motor", "6:" + late},
         {"/dev/ttyUSB0", "15", "4"},
         timeout(15, 4),
         255,
         {4, 4}},
        {"AnswerOfAllOnes", {"--motor", "0:reply=FFFFFFFF"}, zero_to_one, mismatch(0), 254, {1}},
        // Stray bytes after the control answers, or a second control answer that comes during
        // the pause, are discarded before the command: only its own answer is judged.
        {"StrayByteAfterAControlAnswer",
         {"--motor", "0:control-extra=00"},
         zero_to_one,
         changed(1),
         0,
         {1}},
        {"StrayBytesAfterAControlAnswer",
         {"--motor", "0:control-extra=00000000"},
         zero_to_one,
         changed(1),
         0,
         {1}},
        {"ControlAnswerLaterThanItsWait",
         {"--motor", "3:control-delay=" + ms(CONTROL_WAIT + std::chrono::milliseconds(100))},
         three_to_zero,
         changed(0),
         0,
         {0}},
        {"ThreeBytesOfTheAnswer", {"--motor", "0:truncate=3"}, zero_to_one, MULTIPLE, 254, {1}},
        // One byte, FC, decodes to identifier 0: still no success for target 0.
        {"OneByteOfTheAnswerForTargetZero",
         {"--motor", "3:truncate=1"},
         three_to_zero,
         MULTIPLE,
         254,
         {0}},
        // Only the first four bytes are the answer; the rest stays unread.
        {"RightAnswerThenAWrongOne",
         {"--motor", "0:reply=FC0101BBFC0102BB"},
         zero_to_one,
         changed(1),
         0,
         {1}},
        {"WrongAnswerThenTheRightOne",
         {"--motor", "0:reply=FC0102BBFC0101BB"},
         zero_to_one,
         mismatch(2),
         254,
         {1}},
        // Trailing bytes after a right answer stay unread.
        {"RightAnswerWithAWrongOneAppended",
         {"--motor", "0:extra=FC0102BB"},
         zero_to_one,
         changed(1),
         0,
         {1}},
        // An adapter that hears its own frames: each echo is skipped and the motor's answer judged.
        {"AdapterEchoesEveryByte", {"--echo", "--motor", "0"}, zero_to_one, changed(1), 0, {1}},
        // The command's echo garbled into FB 01 11 BB, which the decoder alone would read as
        // identifier 1, from a motor that never took the command.
        {"EchoOfTheCommandWithAByteChanged",
         {"--motor", "0:ignore-command", "--send-after", "3:0:FB0111BB"},
         zero_to_one,
         mismatch(1),
         254,
         {0}},

        // Colliding answers. Two motors 0 answer 1 and 2 at once: FC 01 00 BB on the line.
        {"CollidingAnswersThatDisagree",
         {"--motor", "0", "--motor", "0:reply-id=2"},
         zero_to_one,
         mismatch(0),
         254,
         {1, 2}},
        // Answers that agree collide into the same answer: both motors did change.
        {"CollidingAnswersThatAgree",
         {"--motor", "0", "--motor", "0"},
         zero_to_one,
         changed(1),
         0,
         {1, 1}},
        {"BroadcastToTwoMotors",
         {"--motor", "3", "--motor", "5"},
         {"/dev/ttyUSB0", "15", "1"},
         changed(1),
         0,
         {1, 1}},

        // Motors deaf to the command. Control frames answered, the command ignored.
        {"CommandIgnored",
         {"--motor", "3:ignore-command"},
         {"/dev/ttyUSB0", "3", "4"},
         timeout(3, 4),
         255,
         {3}},
        // A well-formed FC 01 01 BB rides on a control answer, or comes from the bus during the
        // pause, but it is not the answer to the command, which the motor never gave.
        {"CommandIgnoredButAnAnswerRidesOnAControlAnswer",
         {"--motor", "0:ignore-command,control-extra=FC0101BB"},
         zero_to_one,
         timeout(0, 1),
         255,
         {0}},
        {"CommandIgnoredButAnAnswerComesDuringThePause",
         {"--motor", "0:ignore-command", "--send-after", "2:200:FC0101BB"},
         zero_to_one,
         timeout(0, 1),
         255,
         {0}},
        // The same bytes from a motor that did take the command: its own answer is judged.
        {"AnswerRidingOnAControlAnswer",
         {"--motor", "0:control-extra=FC0101BB"},
         zero_to_one,
         changed(1),
         0,
         {1}},
        // The motor addressed keeps silent; another one hears nothing for it.
        {"SilentMotorBesideAnother",
         {"--motor", "0:silent", "--motor", "5"},
         zero_to_one,
         timeout(0, 1),
         255,
         {0, 5}},
    };
}

TEST_P(Faults, EndsAsTheTableSays)
{
    run_row();
}

INSTANTIATE_TEST_SUITE_P(Rows, Faults, testing::ValuesIn(faults_rows()), row_name<E2eRow>);

} // namespace
