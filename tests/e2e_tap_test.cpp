// motor-sim --tap over a simulated bus standing in for the real device: every byte the tap reports
// must be what the motor side received and sent, and renumber must behave as without the tap. And
// the checked-in recordings, replayed as recorded or edited, must be judged against the run.
#include "motor-sim/bytes.hpp"
#include "motor-sim/recording.hpp"
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <thread>
#include <tuple>
#include <utility>

namespace {

namespace fs = std::filesystem;

constexpr char ZERO_TO_ONE[] = "/dev/ttyUSB0 0 1";

/// The bytes of the records of these kinds in a lines trace, in their order.
std::string traced(const SimRun& run, std::initializer_list<std::string_view> kinds)
{
    std::string all;
    for (const TraceRecord& record : run.trace) {
        if (std::find(kinds.begin(), kinds.end(), record.kind) != kinds.end()) {
            all += record.fields.at("bytes");
        }
    }
    return all;
}

/// The bytes of the chunks in these directions in a recording, in their order.
std::string recorded(const sim::Recording& recording,
                     std::initializer_list<sim::Direction> directions)
{
    std::string all;
    for (const sim::RecordedChunk& chunk : recording.chunks) {
        if (std::find(directions.begin(), directions.end(), chunk.direction) != directions.end()) {
            all += sim::hex_compact(chunk.bytes);
        }
    }
    return all;
}

/// The tap, tracing and recording into folder, over motor-sim with sim_options running the
/// command; bus gets the motor side's trace. The tap's own limit is a run's: it ends when the
/// command does.
SimRun tap_over_sim(const fs::path& folder, const std::vector<std::string>& sim_options,
                    const std::vector<std::string>& command, SimRun& bus)
{
    std::vector<std::string> inner{MOTOR_SIM_BINARY, "--trace", "lines", "--trace-file",
                                   (folder / "bus").string()};
    inner.insert(inner.end(), sim_options.begin(), sim_options.end());
    inner.emplace_back("--");
    inner.insert(inner.end(), command.begin(), command.end());
    SimRun tap = run_under_sim(MOTOR_SIM_BINARY, {"--tap", "--record", (folder / "rec").string()},
                               inner, folder / "tap");
    std::ifstream bus_trace(folder / "bus");
    bus.trace = parse_trace(bus_trace);
    return tap;
}

struct TapRow {
    const char* name;
    std::string sim_options;
    const char* event; // the kind of record the tap must show besides tx and rx, or ""
    const char* error; // the errno name every fail record carries, or ""
    bool held = false; // the adapter keeps what it is given: nothing reaches the motor side
};

void PrintTo(const TapRow& row, std::ostream* out)
{
    *out << row.name;
}

class TapOverSim : public RowsEndToEnd<TapRow> {};

// Each row is tapped and recorded, and the recording then replayed: the tap must change nothing,
// show every byte both ways (those a flush discards included) and every failure, and the replay
// must give the same run again, judged a match.
TEST_P(TapOverSim, ShowsEverythingOnTheLineChangesNothingAndReplaysAlike)
{
    const TapRow& row = GetParam();
    const std::vector<std::string> args = words(ZERO_TO_ONE);
    SimRun plain;
    // The run without the tap goes on beside the tapped one: each mostly waits.
    std::thread plain_run([&] { plain = simulate(words(row.sim_options), args, "plain"); });
    std::vector<std::string> command{RENUMBER_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    SimRun bus;
    const SimRun tap = tap_over_sim(scratch_, words(row.sim_options), command, bus);
    plain_run.join();

    EXPECT_EQ(tap.process.out, plain.process.out);
    EXPECT_EQ(tap.process.err, plain.process.err);
    EXPECT_EQ(tap.process.status, plain.process.status);
    EXPECT_EQ(tap.all("exit").at(0).fields.at("status"), std::to_string(plain.process.status));
    EXPECT_EQ(tap.low_latency(), "yes");
    EXPECT_EQ(tap.all("start").size(), 1U);
    if (*row.event != '\0') {
        EXPECT_FALSE(tap.all(row.event).empty()) << row.event;
    }
    for (const TraceRecord& failure : tap.all("fail")) {
        EXPECT_EQ(failure.fields.at("error"), row.error);
    }

    // The same stream, split into the same frames, as the motor side received it; what the motor
    // side sent is what renumber read or flushed away.
    EXPECT_EQ(bus.sent_frames(), plain.sent_frames());
    if (!row.held) {
        EXPECT_EQ(tap.sent_frames(), bus.sent_frames());
    }
    EXPECT_EQ(traced(tap, {"rx", "flush"}), traced(bus, {"rx"}));

    // The tap's times: renumber's pause before the change command, which load only lengthens.
    const std::vector<long> tap_t = tap.sent_times();
    if (tap_t.size() == 3) {
        EXPECT_GE(tap_t[2] - tap_t[1], (waits::COMMAND_PAUSE - waits::WHOLE_MS).count());
    }

    // The recording holds the same bytes, output and failures.
    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::recording_load((scratch_ / "rec").string(), recording, error)) << error;
    EXPECT_EQ(recording.device, "/dev/ttyUSB0");
    EXPECT_EQ(recording.exit_status, plain.process.status);
    for (const auto& [kind, direction] : {std::pair{"tx", sim::Direction::tx},
                                          {"rx", sim::Direction::rx},
                                          {"flush", sim::Direction::flush}}) {
        EXPECT_EQ(recorded(recording, {direction}), traced(tap, {kind})) << kind;
    }
    std::string printed;
    for (const sim::RecordedOutput& line : recording.output) {
        printed += line.text;
    }
    EXPECT_EQ(printed, plain.process.out);
    EXPECT_EQ(
        std::ranges::count(recording.chunks, sim::Direction::fail, &sim::RecordedChunk::direction),
        static_cast<long>(tap.all("fail").size()));

    // Replayed: the same output, status and frames, and the verdict a match.
    const SimRun replay = simulate({"--replay", (scratch_ / "rec").string()}, args, "replay");
    EXPECT_EQ(replay.process.status, 0) << replay.process.err;
    EXPECT_EQ(replay.process.out, plain.process.out);
    EXPECT_EQ(replay.process.err, plain.process.err);
    EXPECT_EQ(replay.all("exit").at(0).fields.at("status"), std::to_string(plain.process.status));
    EXPECT_EQ(replay.sent_frames(), tap.sent_frames());
    EXPECT_EQ(replay.all("verdict").at(0).fields.at("result"), "matched");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, TapOverSim,
    testing::Values(TapRow{"honest_motor", "--motor 0", "", ""},
                    // Leftovers: the extra bytes shift every later answer, and renumber's flush
                    // before the change command discards what is left.
                    TapRow{"leftovers_flushed", "--motor 0:control-extra=0102", "flush", ""},
                    // The adapter vanishes after the first answer: the next write fails.
                    TapRow{"write_fails", "--motor 0 --hangup-after-read 16", "fail", "EIO"},
                    // It vanishes as the second control frame arrives: the read meets end of file.
                    TapRow{"hang_up", "--motor 0 --hangup-after 2", "eof", "EIO"},
                    // Frames never leave the adapter: renumber's bounded drain is interrupted.
                    TapRow{"drain_stalls", "--motor 0 --stall-drain", "fail", "EINTR", true}),
    row_name<TapRow>);

class Tap : public EndToEnd {};

// Nothing to tap: a device that does not exist, or one the command never opens, is said on
// standard error and in the recording.
TEST_F(Tap, NothingTappedIsSaid)
{
    const std::tuple<std::string, std::vector<std::string>, std::string> cases[] = {
        {"/dev/ttyUSB97",
         {RENUMBER_BINARY, "/dev/ttyUSB97", "0", "1"},
         "/dev/ttyUSB97 does not exist: nothing was tapped"},
        {"/dev/null", {"/bin/true"}, "the command never opened /dev/null: nothing was tapped"},
    };
    for (const auto& [device, command, message] : cases) {
        const fs::path record = scratch_ / "nothing.rec";
        const SimRun run = run_under_sim(MOTOR_SIM_BINARY,
                                         {"--tap", "--record", record.string(), "--device", device},
                                         command, scratch_ / "trace");
        EXPECT_NE(run.process.err.find("motor-sim: " + message + "\n"), std::string::npos)
            << run.process.err;
        EXPECT_NE(read_text(record).find("note " + message + "\n"), std::string::npos);
    }
}

// A command killed by a signal never finished its run: the tap says its recording is incomplete,
// leaves out the end record, and a replay refuses the recording before anything runs.
TEST_F(Tap, AKilledCommandLeavesARecordingAReplayRefuses)
{
    const fs::path record = scratch_ / "killed.rec";
    const ProcessResult tap =
        run_under_sim(MOTOR_SIM_BINARY, {"--tap", "--record", record.string()},
                      {HELPER_BINARY, "write", "/dev/null", "00", "killed"}, scratch_ / "trace")
            .process;
    EXPECT_EQ(tap.status, 128 + SIGKILL);
    EXPECT_NE(tap.err.find("motor-sim: " + record.string() +
                           " is incomplete: signal 9 (Killed) ended the command, so it has no end "
                           "record and a replay refuses it\n"),
              std::string::npos)
        << tap.err;
    const SimRun replay = simulate({"--replay", record.string()}, words(ZERO_TO_ONE));
    EXPECT_EQ(replay.process.status, 125);
    EXPECT_EQ(replay.process.err, "motor-sim: " + record.string() +
                                      ": an incomplete recording: no end record (the tap did not "
                                      "finish: it or its command was killed)\n");
    EXPECT_TRUE(replay.trace.empty());
}

TEST_F(Tap, UnknownBytesAndCutFramesAreShownNotDropped)
{
    SimRun bus;
    const SimRun tap =
        tap_over_sim(scratch_, {"--no-motor"},
                     {HELPER_BINARY, "write", "/dev/ttyUSB0", "0102FB01FEEEFE", "3"}, bus);
    EXPECT_EQ(tap.process.status, 3);
    EXPECT_EQ(tap.sent_frames(), (std::vector<std::string>{"0102", "FB01FEEE", "FE"}));
    EXPECT_EQ(tap.all("tx").at(0).fields.at("kind"), "unknown");
    EXPECT_EQ(tap.all("tx").at(2).fields.at("kind"), "unknown");
    EXPECT_EQ(tap.sent_frames(), bus.sent_frames());
    EXPECT_EQ(tap.low_latency(), "no");
}

/// An edit of a recording's text; false when what it edits is not there.
using Edit = std::function<bool(std::string&)>;

Edit replace(std::string from, std::string to)
{
    return [from = std::move(from), to = std::move(to)](std::string& text) {
        const std::size_t at = text.find(from);
        if (at != std::string::npos) {
            text.replace(at, from.size(), to);
        }
        return at != std::string::npos;
    };
}

/// The pause before the change command made another: in honest.rec every time from 1000 to
/// 1099 ms, the flush before the command on, begins with `to` instead of "10".
Edit pause_becomes(std::string to)
{
    return [to = std::move(to)](std::string& text) {
        const std::string edited =
            std::regex_replace(text, std::regex(" 10([0-9][0-9]\\.)"), " " + to + "$1");
        return std::exchange(text, edited) != edited;
    };
}

/// Cut `keep` bytes into the line holding `within`: a recording that stops inside a record.
Edit cut(std::string within, std::size_t keep)
{
    return [within = std::move(within), keep](std::string& text) {
        const std::size_t at = text.find(within);
        if (at != std::string::npos) {
            text.resize(text.rfind('\n', at) + 1 + keep);
        }
        return at != std::string::npos;
    };
}

/// A checked-in recording replayed, as recorded or edited. The program is renumber unless the row
/// names another.
struct ReplayRow {
    const char* name;
    const char* recording;
    std::optional<std::string> out; // none: whatever the program prints (it depends on the machine)
    int status;      // motor-sim's: 0 matched, 120 departed, 125 refused before the command ran
    std::string err; // what motor-sim says after "motor-sim: " and the file's path (a departure's
                     // after "motor-sim: the run departed from " and it); "" for nothing
    Edit edit{};
    std::string args = ZERO_TO_ONE;
    std::string program = RENUMBER_BINARY;
    std::string command_err{}; // the program's own standard error where motor-sim says nothing
};

void PrintTo(const ReplayRow& row, std::ostream* out)
{
    *out << row.name;
}

class ReplayRecording : public RowsEndToEnd<ReplayRow> {};

// Each checked-in recording, made with the tap over motor-sim, played back is a regression test:
// the same output, status and frames, and the recorded answers in the recorded order, judged a
// match. An edited recording is a run that differs in one way: a recording cut short is refused
// before anything runs, and every other edit departs, the verdict naming the recording's line.
TEST_P(ReplayRecording, JudgesTheRunAgainstItsRecording)
{
    const ReplayRow& row = GetParam();
    fs::path file = fs::path(RECORDINGS_DIR) / row.recording;
    if (row.edit) {
        std::string text = read_text(file);
        ASSERT_TRUE(row.edit(text)) << "the edit found nothing to change in " << row.recording;
        file = scratch_ / row.recording;
        std::ofstream(file) << text;
    }
    std::vector<std::string> command = words(row.args);
    command.insert(command.begin(), row.program);
    const SimRun run =
        run_under_sim(MOTOR_SIM_BINARY, {"--replay", file.string()}, command, scratch_ / "trace");
    if (row.out) {
        EXPECT_EQ(run.process.out, *row.out);
    }
    EXPECT_EQ(run.process.status, row.status) << run.process.err;
    if (row.err.empty()) {
        EXPECT_EQ(run.process.err, row.command_err);
    } else {
        const std::string says =
            "motor-sim: " + std::string(row.status == 120 ? "the run departed from " : "") +
            file.string() + row.err;
        EXPECT_NE(run.process.err.find(says), std::string::npos) << run.process.err;
    }
    if (row.status == 125) {
        EXPECT_TRUE(run.trace.empty()); // refused before the command started
        return;
    }
    EXPECT_EQ(run.all("verdict").at(0).fields.at("result"),
              row.status == 0 ? "matched" : "departed");
    if (row.status != 0) {
        return;
    }
    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::recording_load(file.string(), recording, error)) << error;
    EXPECT_EQ(run.all("exit").at(0).fields.at("status"), std::to_string(*recording.exit_status));
    EXPECT_EQ(traced(run, {"tx"}), recorded(recording, {sim::Direction::tx}));
    EXPECT_EQ(traced(run, {"rx"}),
              recorded(recording, {sim::Direction::rx, sim::Direction::flush}));
}

std::vector<ReplayRow> replay_rows()
{
    return {
        {"honest", "honest.rec", changed(1), 0, ""},
        {"mismatch", "mismatch.rec", mismatch(2), 0, ""},
        {"silent", "silent.rec", timeout(0, 1), 0, ""},
        {"leftovers", "leftovers.rec", changed(1), 0, ""},
        // The recorded write failing with EIO hangs the replayed line up, as the adapter was.
        {"write_fails", "write-fails.rec", times(2, WRITE_ERROR) + mismatch(0), 0, "", nullptr,
         ZERO_TO_ONE, RENUMBER_BINARY, gone_before_command(0)},
        {"drain_stalls", "drain-stalls.rec", times(3, WRITE_ERROR) + mismatch(0), 0, ""},
        // The same program at another path is the same run.
        {"copy_elsewhere", "honest.rec", changed(1), 0, "", nullptr, ZERO_TO_ONE,
         RENUMBER_ELSEWHERE},
        // A recording of version 2 is judged as far as it goes, and says what it cannot show.
        {"version_2", "leftovers-v2.rec", changed(1), 0,
         " is a version 2 recording: the replay could not check the output or the time from the "
         "last write to the exit\n"},

        // Cut short within a record: refused before the command runs (cut at a record's end it
        // lacks its end record, as Tap.AKilledCommandLeavesARecordingAReplayRefuses shows; the
        // other records a recording cannot lack are recording_test.cpp's).
        {"cut_within_a_record", "honest.rec", "", 125,
         ":14: cut short (no newline ends the line): the recording is incomplete\n",
         cut("tx 1", 9)},

        // Departures, each named with the recording's line. Another target changes the command's
        // bytes too, so the recorded motor answers the control frames and then nothing: renumber
        // waits out its answer wait (4 s in all).
        {"changed_command_line", "honest.rec", timeout(0, 2), 120,
         ":5: the arguments differ: '/dev/ttyUSB0 0 2', the recorded command is 'motor-sim "
         "--trace-file /dev/null --motor 0 -- renumber /dev/ttyUSB0 0 1'\n",
         nullptr, "/dev/ttyUSB0 0 2"},
        // A device cut short: the command names a device the replay does not simulate, which it
        // never reaches, whether or not the machine has one of that name.
        {"device_cut_short", "honest.rec", std::nullopt, 120, ":4: the command ",
         replace("device /dev/ttyUSB0", "device /dev/ttyUSB")},
        // A program that opens a real serial device directly: the layer refuses the open, whether
        // or not the machine has the device, and the verdict names it.
        {"another_serial_device", "honest.rec", "", 120,
         ":4: the command opened /dev/ttyS0, a serial device other than the simulated "
         "/dev/ttyUSB0: the open was refused\n",
         nullptr, "/dev/ttyS0", OPEN_FILE_BINARY},
        {"other_answer", "honest.rec", mismatch(2), 120,
         ":18: the command printed '[Error] The ID:2 of the feedback does not match.\\n', the "
         "recording has 'OK! Changed. Now the motor ID:1\\n'\n",
         replace("01 01 BB", "01 02 BB")},
        // renumber's 1 s pause before the command, recorded as 0.5 s or 2 s: beyond the tolerance.
        {"pause_recorded_as_half_a_second", "honest.rec", changed(1), 120,
         ":14: the recording has this write 500.3 ms after the one before, the command made it ",
         pause_becomes("5")},
        {"pause_recorded_as_two_seconds", "honest.rec", changed(1), 120,
         ":14: the recording has this write 2000.3 ms after the one before, the command made it ",
         pause_becomes("20")},
        {"answer_wait_cut_to_one_second", "silent.rec", timeout(0, 1), 120,
         ":11: the recording has the command close the device ",
         replace("close 5010.736", "close 3010.736")},
        {"no_flush", "honest.rec", changed(1), 120,
         ":13: the command flushed its input after 2 writes, where the recording has no flush\n",
         replace("flush 1007.814\n", "")},
        {"other_line_settings", "honest.rec", changed(1), 120,
         ":19: the command left the line at '4000000 baud, ",
         replace("line 4000000 baud", "line 115200 baud")},
        {"other_status", "honest.rec", changed(1), 120,
         ":20: exit status 0, the recording has 254\n", replace("exit 0", "exit 254")},
    };
}

INSTANTIATE_TEST_SUITE_P(CheckedIn, ReplayRecording, testing::ValuesIn(replay_rows()),
                         row_name<ReplayRow>);

} // namespace
