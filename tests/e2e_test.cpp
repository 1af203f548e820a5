// The real renumber binary, through the real libserialport, against simulated motors: what the
// operator sees, what went over the wire and when, and what the motors ended up as. Each row is a
// test of its own.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using waits::ANSWER_WAIT;
using waits::COMMAND_PAUSE;
using waits::CONTROL_PAUSE;
using waits::CONTROL_WAIT;
using waits::EVERY_WAIT;
using waits::WHOLE_MS;

constexpr char ZERO_TO_ONE[] = "/dev/ttyUSB0 0 1";

std::string control_frame(const std::string& mode_byte, const std::string& crc)
{
    return "FEEE" + mode_byte + std::string(24, '0') + crc;
}

/// Gaps between the frames sent, as motor-sim received them.
std::vector<std::chrono::milliseconds> gaps(const SimRun& run)
{
    const std::vector<long> t = run.sent_times();
    std::vector<std::chrono::milliseconds> between;
    for (std::size_t i = 1; i < t.size(); ++i) {
        between.emplace_back(t[i] - t[i - 1]);
    }
    return between;
}

void honest_frames_and_pauses(const SimRun& run)
{
    EXPECT_EQ(run.sent_frames(),
              (std::vector<std::string>{control_frame("00", "6523"), control_frame("70", "44AF"),
                                        "FB0110BB"}));
    EXPECT_EQ(run.low_latency(), "yes");
    // One drain per frame: nothing stalled, so nothing was retried.
    EXPECT_EQ(run.all("drain").size(), 3U);
    const auto gap = gaps(run);
    ASSERT_EQ(gap.size(), 2U);
    // The motor answered at once, so no control wait was waited out.
    EXPECT_GE(gap[0], CONTROL_PAUSE);
    EXPECT_LT(gap[0], CONTROL_WAIT * 4 / 5);
    EXPECT_GE(gap[1], COMMAND_PAUSE - WHOLE_MS);
    EXPECT_LT(gap[1], COMMAND_PAUSE + CONTROL_WAIT);
    EXPECT_GE(run.process.elapsed, COMMAND_PAUSE);
    EXPECT_LT(run.process.elapsed, ANSWER_WAIT);
}

void nothing_sent(const SimRun& run)
{
    EXPECT_TRUE(run.sent_frames().empty());
}

void broadcast_frames(const SimRun& run)
{
    EXPECT_EQ(run.sent_frames(),
              (std::vector<std::string>{control_frame("0F", "4E16"), control_frame("7F", "6F9A"),
                                        "FB011FBB"}));
}

void every_wait_waited_out(const SimRun& run)
{
    const auto gap = gaps(run);
    ASSERT_EQ(gap.size(), 2U);
    EXPECT_GE(gap[0], CONTROL_WAIT - 2 * WHOLE_MS);
    EXPECT_GE(gap[1], CONTROL_WAIT + COMMAND_PAUSE - 5 * WHOLE_MS);
    EXPECT_GE(run.process.elapsed, EVERY_WAIT - CONTROL_WAIT);
}

// The second control answer arrives during the 1 s pause and waits in the input queue; it is
// discarded before the command goes out, so FD DD 73 00 is not read as the answer.
void late_control_answer_discarded(const SimRun& run)
{
    const auto received = run.all("rx");
    ASSERT_EQ(received.size(), 3U);
    EXPECT_EQ(received[1].fields.at("bytes").substr(0, 8), "FDDD7300");
    EXPECT_LT(std::stol(received[1].fields.at("t")), run.sent_times().back());
}

// The rows whose checks or faults are about time. The layer stamps each frame as renumber writes
// it, so the gaps between frames are renumber's own however late motor-sim reads them.
class Timing : public E2eRows {};

std::vector<E2eRow> timing_rows()
{
    std::vector<E2eRow> rows{
        e2e_row("HonestMotorChangesFromZeroToOne", "--motor 0", ZERO_TO_ONE, changed(1), 0, {1},
                honest_frames_and_pauses),
        e2e_row("SilentBusTimesOutAfterEveryWait", "--no-motor", ZERO_TO_ONE, timeout(0, 1), 255,
                {}, every_wait_waited_out),
        // Both control answers come after their waits, the second one during the 1 s pause.
        e2e_row("LateControlAnswerIsDiscardedBeforeTheCommand",
                "--motor 3:control-delay=" + ms(CONTROL_WAIT + 100ms), "/dev/ttyUSB0 3 0",
                changed(0), 0, {0}, late_control_answer_discarded),
    };
    // The signal state a parent leaves renumber (exec keeps it) changes neither its pauses nor
    // the bound on a stalled drain, whose failed exchange is no change.
    for (const char* state : {"blocked", "ignored", "pending", "timer"}) {
        const std::string prefix = std::string("Sigalrm_") + state;
        for (E2eRow row :
             {e2e_row(prefix + "_HonestMotor", "--motor 0", ZERO_TO_ONE, changed(1), 0, {1},
                      honest_frames_and_pauses),
              e2e_row(prefix + "_DrainNeverEnds", "--stall-drain --motor 0", ZERO_TO_ONE,
                      times(3, WRITE_ERROR) + mismatch(0), 254, {0}, drain_bounded)}) {
            row.launcher = {HELPER_BINARY, "signals", state};
            rows.push_back(row);
        }
    }
    return rows;
}

TEST_P(Timing, EndsAsTheTableSays)
{
    run_row();
}

INSTANTIATE_TEST_SUITE_P(Rows, Timing, testing::ValuesIn(timing_rows()), row_name<E2eRow>);

class Runs : public E2eRows {};

std::vector<E2eRow> runs_rows()
{
    return {
        // Two motors' answers collide on the line, and being the same they read as one.
        e2e_row("BroadcastRenumbersEveryMotor", "--motor 3 --motor 5",
                "/dev/ttyUSB0 15 1 KV-R2730-4", changed(1), 0, {1, 1}, broadcast_frames),
        e2e_row("MotorTakesAnotherIdentifier", "--motor 0:reply-id=2", ZERO_TO_ONE, mismatch(2),
                254, {2}),
        // What the adapter refuses.
        e2e_row("OpenRefused", "--refuse-open --motor 0", ZERO_TO_ONE, OPEN_FAILED, 255, {0},
                nullptr, "sp_open: Permission denied\n"),
        e2e_row("BaudRateRefused", "--refuse-baud --motor 0", ZERO_TO_ONE,
                "[Error] Set serial failure.\n", 255, {0}, nullptr,
                "sp_set_baudrate: Invalid argument\n"),
        // Rates a driver runs instead and reports: a fallback is refused before any frame goes
        // out; a rate within a UART's tolerance carries the bus.
        e2e_row("BaudRateSubstituted", "--substitute-baud 9600 --motor 0", ZERO_TO_ONE,
                "[Error] Set serial failure.\n", 255, {0}, nothing_sent,
                "sp_set_baudrate: the driver reports 9600 baud, not 4000000\n"),
        // ch341 runs 3,000,000 and keeps 4,000,000 in the terminal settings; the kernel names
        // the driver and the chip, and nothing is sent at the wrong rate.
        e2e_row("DriverClampsWithoutSaying",
                "--driver ch341-uart --usb-ids 1a86:7523 --silent-baud 3000000 --motor 0",
                ZERO_TO_ONE, "[Error] Set serial failure.\n", 255, {0}, nothing_sent,
                "sp_set_baudrate: the adapter, a WCH CH340 (1a86:7523, driver ch341-uart), runs "
                "the line at 3000000 baud, not 4000000, though the terminal settings read "
                "4000000\n"),
        e2e_row("BaudRateWithinTolerance", "--substitute-baud 3920000 --motor 0", ZERO_TO_ONE,
                changed(1), 0, {1}),
        e2e_row("LowLatencyRefused", "--refuse-low-latency --motor 0", ZERO_TO_ONE,
                "[WARNING] Set serial flag failure: ASYNC_LOW_LATENCY = -1.\n" + changed(1), 0,
                {1}),
        // A path outside /dev, resolved before the lookup (libserialport takes only names under
        // /dev, so the simulated path stands for a link there, as udev's are).
        e2e_row("DeviceOutsideDev", "--device /tmp/motor-sim-bench/adapter --motor 0",
                "/tmp/motor-sim-bench/adapter 0 1", changed(1), 0, {1}),
        // Identifiers that are whole numbers however they are spelled reach the motor they name,
        // and no other (every spelling refused is app_test.cpp's).
        {"UnusualButWholeNumbers",
         words("--motor 3 --motor 5"),
         {"/dev/ttyUSB0", " +3", "007", "KV-R2730-4"},
         changed(7),
         0,
         {7, 5}},
    };
}

TEST_P(Runs, EndsAsTheTableSays)
{
    run_row();
}

INSTANTIATE_TEST_SUITE_P(Rows, Runs, testing::ValuesIn(runs_rows()), row_name<E2eRow>);

// /dev/ttyUSB0 itself asks for low latency, as the honest rows show; so does any ttyUSB, and no
// other name, a link to a ttyUSB included.
TEST_F(EndToEnd, LowLatencyOnlyForPathsTypedAsTtyUsb)
{
    const fs::path by_id = scratch_ / "usb-FTDI_USB_RS485-if00-port0";
    const fs::path hop = scratch_ / "hop";
    fs::create_symlink("/dev/ttyUSB0", hop);
    fs::create_symlink(hop, by_id);
    const std::array<std::string, 3> cases[] = {{"/dev/ttyUSB12", "/dev/ttyUSB12", "yes"},
                                                {"/dev/ttyACM0", "/dev/ttyACM0", "no"},
                                                {"/dev/ttyUSB0", by_id.string(), "no"}};
    for (const auto& [device, path, requested] : cases) {
        const SimRun run = simulate({"--device", device, "--motor", "0"}, {path, "0", "1"});
        EXPECT_EQ(run.process.out, changed(1)) << path;
        EXPECT_EQ(run.process.status, 0) << path;
        EXPECT_EQ(run.low_latency(), requested) << path;
    }
}

using BadInput = EndToEnd;

// Every kind of path that names no adapter ends before the bus is reached: no open, no frame, the
// one motor still 0. Standard error names the failed lookup and why, so that a typo tells from a
// wrong node.
TEST_F(BadInput, DevicePathsThatNameNoAdapter)
{
    const fs::path fifo = scratch_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path loop = scratch_ / "loop";
    fs::create_symlink(loop, loop);
    constexpr char MISSING[] = "No such file or directory";
    constexpr char NOT_SERIAL[] = "Not a serial port";
    const std::pair<std::string, std::string> paths[] = {
        {"/dev/ttyUSB9", MISSING},                            // missing
        {"", MISSING},                                        // empty
        {loop.string(), "Too many levels of symbolic links"}, // a link to itself
        {"/dev", NOT_SERIAL},                                 // a directory
        {"/dev/null", NOT_SERIAL},                            // a device that is no tty
        {fifo.string(), NOT_SERIAL},                          // a FIFO: nothing may open it
    };
    for (const auto& [path, reason] : paths) {
        const SimRun run = simulate({"--motor", "0"}, {path, "0", "1"});
        EXPECT_EQ(run.process.out, "[Error] Device name does not exist.\n") << path;
        EXPECT_EQ(run.process.err, "sp_get_port_by_name: " + reason + "\n") << path;
        EXPECT_EQ(run.process.status, 255) << path;
        EXPECT_TRUE(run.all("open").empty() && run.all("open-refused").empty()) << path;
        EXPECT_TRUE(run.sent_frames().empty()) << path;
        EXPECT_EQ(run.motor_ids(), std::vector<int>{0}) << path;
    }
}

} // namespace
