// Whatever comes back over the wire: adapters that vanish or refuse writes, answers that are
// late, cut short, too long, garbled or colliding. Each run ends with its message and status
// within the protocol's own waits, never claims a change the motors did not make, and leaves the
// simulated motors as the table says.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

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

std::string times(int count, const std::string& line)
{
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += line;
    }
    return lines;
}

struct FaultCase {
    std::vector<std::string> sim_options; // motor-sim options, --motor included
    int id;
    int target;
    std::string out;
    int status;
    std::vector<int> final_ids;
    bool hangs_up = false; // the trace must show the adapter vanishing
    std::string err{};     // the failed call and its reason, when the open fails
};

// One fixture for every table: each row is a full run under motor-sim.
class Faults : public EndToEnd {
protected:
    void run_table(const std::vector<FaultCase>& cases)
    {
        for (const FaultCase& c : cases) {
            const SimRun run = simulate(
                c.sim_options, {"/dev/ttyUSB0", std::to_string(c.id), std::to_string(c.target)});
            const std::string where = testing::PrintToString(c.sim_options);
            EXPECT_EQ(run.process.out, c.out) << where;
            EXPECT_EQ(run.process.err, c.err) << where;
            EXPECT_EQ(run.process.status, c.status) << where;
            EXPECT_EQ(run.motor_ids(), c.final_ids) << where;
            EXPECT_EQ(run.all("hangup").size(), c.hangs_up ? 1U : 0U) << where;
            // Two 500 ms waits, 1 s of pauses and the 3000 ms wait, with room for a slow machine.
            EXPECT_FALSE(run.process.timed_out) << where;
            EXPECT_LT(run.process.elapsed.count(), 9000) << where;
            // No false success: status 0 comes only with the success message as the last word,
            // and then a motor carries the target.
            EXPECT_EQ(run.process.status == 0, run.process.out.ends_with(changed(c.target)))
                << where;
            if (run.process.status == 0) {
                const std::vector<int> ids = run.motor_ids();
                EXPECT_NE(std::find(ids.begin(), ids.end(), c.target), ids.end()) << where;
            }
        }
    }
};

TEST_F(Faults, AdapterHangsUpBeforeDuringAndAfterTheExchange)
{
    run_table({
        // Inside the open.
        {{"--hangup-after", "0", "--motor", "0"},
         0,
         1,
         "[Error] Failed to open serial port, try opening with administrator privileges.\n",
         255,
         {0},
         true,
         "sp_open: Input/output error\n"},
        // Once the first control answer has been read: every later write fails.
        {{"--hangup-after-read", "16", "--motor", "0"},
         0,
         1,
         times(2, WRITE_ERROR) + mismatch(0),
         254,
         {0},
         true},
        // With the second control frame; a failed link must not pass as a change to 0.
        {{"--hangup-after", "2", "--motor", "3"},
         3,
         0,
         WRITE_ERROR + std::string(MULTIPLE),
         254,
         {3},
         true},
        // With the change command, before the motor saw it.
        {{"--hangup-after", "3", "--motor", "0"}, 0, 1, timeout(0, 1), 255, {0}, true},
        // Half-way through the answer: the motor changed, but two bytes prove nothing.
        {{"--hangup-after-read", "34", "--motor", "0:truncate=2"},
         0,
         1,
         mismatch(0),
         254,
         {1},
         true},
        // Once the whole answer has been read: the change stands.
        {{"--hangup-after-read", "36", "--motor", "0"}, 0, 1, changed(1), 0, {1}, true},
    });
}

TEST_F(Faults, WritesRefusedOrCutShort)
{
    run_table({
        // Nothing taken, not even the command: no answer to judge, even for target 0.
        {{"--write-limit", "0", "--motor", "3"},
         3,
         0,
         times(3, WRITE_ERROR) + timeout(3, 0),
         255,
         {3}},
        // Two bytes of each frame: the command never arrives whole.
        {{"--write-limit", "2", "--motor", "0"},
         0,
         1,
         times(3, WRITE_ERROR) + mismatch(0),
         254,
         {0}},
        // Control frames one byte short; the four-byte command still gets through and the
        // motor's answer is the truth.
        {{"--write-limit", "16", "--motor", "0"}, 0, 1, times(2, WRITE_ERROR) + changed(1), 0, {1}},
    });
}

TEST_F(Faults, LateGarbledTruncatedAndOverlongAnswers)
{
    run_table({
        // Both motors change, but their answers come after the 3000 ms wait.
        {{"--motor", "2:delay=3200", "--motor", "6:delay=3200"},
         15,
         4,
         timeout(15, 4),
         255,
         {4, 4}},
        {{"--motor", "0:reply=FFFFFFFF"}, 0, 1, mismatch(0), 254, {1}},
        // Stray bytes after the control answers, or a second control answer that comes during
        // the pause, are discarded before the command: only its own answer is judged.
        {{"--motor", "0:control-extra=00"}, 0, 1, changed(1), 0, {1}},
        {{"--motor", "0:control-extra=00000000"}, 0, 1, changed(1), 0, {1}},
        {{"--motor", "3:control-delay=600"}, 3, 0, changed(0), 0, {0}},
        {{"--motor", "0:truncate=3"}, 0, 1, MULTIPLE, 254, {1}},
        // One byte, FC, decodes to identifier 0: still no success for target 0.
        {{"--motor", "3:truncate=1"}, 3, 0, MULTIPLE, 254, {0}},
        // Only the first four bytes are the answer; the rest stays unread.
        {{"--motor", "0:reply=FC0101BBFC0102BB"}, 0, 1, changed(1), 0, {1}},
        {{"--motor", "0:reply=FC0102BBFC0101BB"}, 0, 1, mismatch(2), 254, {1}},
    });
}

TEST_F(Faults, CollidingAnswersAndMotorsDeafToTheCommand)
{
    run_table({
        // Two motors 0 answer 1 and 2 at once: FC 01 00 BB on the line.
        {{"--motor", "0", "--motor", "0:reply-id=2"}, 0, 1, mismatch(0), 254, {1, 2}},
        // Answers that agree collide into the same answer: both motors did change.
        {{"--motor", "0", "--motor", "0"}, 0, 1, changed(1), 0, {1, 1}},
        {{"--motor", "3", "--motor", "5"}, 15, 1, changed(1), 0, {1, 1}},
        // Control frames answered, the command ignored.
        {{"--motor", "3:ignore-command"}, 3, 4, timeout(3, 4), 255, {3}},
        // A well-formed FC 01 01 BB rides on a control answer, or comes from the bus during the
        // pause, but it is not the answer to the command, which the motor never gave.
        {{"--motor", "0:ignore-command,control-extra=FC0101BB"}, 0, 1, timeout(0, 1), 255, {0}},
        {{"--motor", "0:ignore-command", "--send-after", "2:200:FC0101BB"},
         0,
         1,
         timeout(0, 1),
         255,
         {0}},
    });
}

} // namespace
