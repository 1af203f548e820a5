// motor-sim --tap over a simulated bus standing in for the real device: every byte the
// tap reports must be what the motor side received and sent, and renumber must behave as
// without the tap. And the checked-in recordings, replayed, must give the same run again.
#include "motor-sim/recording.hpp"
#include "support/e2e_fixture.h"
#include "support/protocol_waits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string joined(const std::vector<std::string>& parts)
{
    std::string all;
    for (const std::string& part : parts) {
        all += part;
    }
    return all;
}

std::string hex(const sim::Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

/// The bytes of every record of one kind ("tx" or "rx") of a lines trace, in order.
std::vector<std::string> trace_bytes(const SimRun& run, const std::string& kind)
{
    std::vector<std::string> bytes;
    for (const TraceRecord& record : run.all(kind)) {
        bytes.push_back(record.fields.at("bytes"));
    }
    return bytes;
}

std::string recorded_bytes(const sim::Recording& recording, sim::Direction direction)
{
    std::string all;
    for (const sim::RecordedChunk& chunk : recording.chunks) {
        if (chunk.direction == direction) {
            all += hex(chunk.bytes);
        }
    }
    return all;
}

/// The bytes that left the line on the command's side, in the recorded order: read, or
/// discarded by a flush.
std::string recorded_off_the_line(const sim::Recording& recording)
{
    std::string all;
    for (const sim::RecordedChunk& chunk : recording.chunks) {
        if (chunk.direction == sim::Direction::rx || chunk.direction == sim::Direction::flush) {
            all += hex(chunk.bytes);
        }
    }
    return all;
}

/// A recording as motor-sim reads it, or why it could not.
struct Loaded {
    sim::Recording recording;
    bool loaded = false;
    std::string error;
};

Loaded load(const fs::path& path)
{
    Loaded file;
    file.loaded = sim::recording_load(path.string(), file.recording, file.error);
    return file;
}

/// The tap, tracing and recording into folder, over motor-sim with sim_options running the
/// command. The tap's own limit is a run's: it ends when the command does.
SimRun tap_over_sim(const fs::path& folder, const std::vector<std::string>& sim_options,
                    const std::vector<std::string>& command, SimRun& bus)
{
    std::vector<std::string> argv{MOTOR_SIM_BINARY,
                                  "--tap",
                                  "--trace",
                                  "lines",
                                  "--trace-file",
                                  (folder / "tap").string(),
                                  "--record",
                                  (folder / "recording").string(),
                                  "--",
                                  MOTOR_SIM_BINARY,
                                  "--trace",
                                  "lines",
                                  "--trace-file",
                                  (folder / "bus").string()};
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    argv.emplace_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    const RunSlot slot;
    SimRun tap{run_process(argv, {"LIBSERIALPORT_DEBUG="}, waits::RUN_LIMIT), {}};
    std::ifstream tap_trace(folder / "tap");
    tap.trace = parse_trace(tap_trace);
    std::ifstream bus_trace(folder / "bus");
    bus.trace = parse_trace(bus_trace);
    return tap;
}

/// renumber with args under motor-sim with sim_options, tracing into folder / name.
SimRun simulate_in(const fs::path& folder, const std::string& name,
                   const std::vector<std::string>& sim_options,
                   const std::vector<std::string>& args)
{
    const SimJob job = renumber_job(sim_options, args);
    return run_under_sim(MOTOR_SIM_BINARY, job.sim_options, job.command, folder / name, job.env);
}

struct TapCase {
    const char* name;
    std::vector<std::string> sim_options;
    const char* event; // the kind of record the tap must show besides tx and rx, or ""
    const char* error; // the errno name every fail record carries, or ""
    bool held = false; // the adapter keeps what it is given: nothing reaches the motor side
};

void PrintTo(const TapCase& c, std::ostream* out)
{
    *out << c.name;
}

/// A row's runs: renumber alone, the tap over it with what the motor side saw, and the
/// recording replayed.
struct TapOutcome {
    SimRun plain;
    SimRun tap;
    SimRun bus;
    Loaded recording;
    SimRun replay;
};

class TapOverSim : public ConcurrentTable<TapOverSim, TapCase, TapOutcome> {
public:
    static constexpr char NAME[] = "TapOverSim";
    static constexpr bool ALONE = false;
    static std::vector<TapCase> rows();

    static TapOutcome perform(const TapCase& c, const fs::path& folder)
    {
        TapOutcome ran;
        const std::vector<std::string> args{"/dev/ttyUSB0", "0", "1"};
        // The run without the tap goes on beside the tapped one: each mostly waits.
        std::thread plain_run(
            [&] { ran.plain = simulate_in(folder, "plain", c.sim_options, args); });
        std::vector<std::string> command{RENUMBER_BINARY};
        command.insert(command.end(), args.begin(), args.end());
        ran.tap = tap_over_sim(folder, c.sim_options, command, ran.bus);
        plain_run.join();
        ran.recording = load(folder / "recording");
        ran.replay =
            simulate_in(folder, "replay", {"--replay", (folder / "recording").string()}, args);
        return ran;
    }
};

/// The bytes of the rx and flush records of a lines trace, in their order: what left the line.
std::string taken_off_the_line(const SimRun& run)
{
    std::string all;
    for (const TraceRecord& record : run.trace) {
        if (record.kind == "rx" || record.kind == "flush") {
            all += record.fields.at("bytes");
        }
    }
    return all;
}

// Each row is tapped and recorded, and the recording then replayed: the tap must change
// nothing, show every byte both ways (those a flush discards included) and every failure,
// and the replay must give the same run again, judged a match.
TEST_P(TapOverSim, ShowsEverythingOnTheLineChangesNothingAndReplaysAlike)
{
    const TapCase& c = GetParam();
    const auto& [plain, tap, bus, file, replay] = outcome();

    EXPECT_EQ(tap.process.out, plain.process.out);
    EXPECT_EQ(tap.process.err, plain.process.err);
    EXPECT_EQ(tap.process.status, plain.process.status);
    EXPECT_EQ(tap.all("exit").at(0).fields.at("status"), std::to_string(plain.process.status));
    EXPECT_EQ(tap.low_latency(), "yes");
    EXPECT_EQ(tap.all("start").size(), 1U);
    if (*c.event != '\0') {
        EXPECT_FALSE(tap.all(c.event).empty()) << c.event;
    }
    for (const TraceRecord& failure : tap.all("fail")) {
        EXPECT_EQ(failure.fields.at("error"), c.error);
    }

    // The same stream, split into the same frames, as the motor side received it; what the
    // motor side sent is what renumber read or flushed away.
    EXPECT_EQ(bus.sent_frames(), plain.sent_frames());
    if (!c.held) {
        EXPECT_EQ(tap.sent_frames(), bus.sent_frames());
    }
    EXPECT_EQ(taken_off_the_line(tap), joined(trace_bytes(bus, "rx")));

    // The tap's times: renumber's pause before the change command, which load only lengthens.
    const std::vector<long> tap_t = tap.sent_times();
    if (tap_t.size() == 3) {
        EXPECT_GE(tap_t[2] - tap_t[1], waits::COMMAND_PAUSE.count() - waits::WHOLE_MS.count());
    }

    // The recording holds the same bytes, output and failures.
    ASSERT_TRUE(file.loaded) << file.error;
    const sim::Recording& recording = file.recording;
    EXPECT_EQ(recording.device, "/dev/ttyUSB0");
    EXPECT_EQ(recording.exit_status, plain.process.status);
    EXPECT_EQ(recorded_bytes(recording, sim::Direction::tx), joined(tap.sent_frames()));
    EXPECT_EQ(recorded_bytes(recording, sim::Direction::rx), joined(trace_bytes(tap, "rx")));
    EXPECT_EQ(recorded_bytes(recording, sim::Direction::flush), joined(trace_bytes(tap, "flush")));
    std::string printed;
    for (const sim::RecordedOutput& line : recording.output) {
        printed += line.text;
    }
    EXPECT_EQ(printed, plain.process.out);
    EXPECT_EQ(std::count_if(recording.chunks.begin(), recording.chunks.end(),
                            [](const sim::RecordedChunk& chunk) {
                                return chunk.direction == sim::Direction::fail;
                            }),
              static_cast<long>(tap.all("fail").size()));

    // Replayed: the same output, status and frames, and the verdict a match.
    EXPECT_EQ(replay.process.status, 0) << replay.process.err;
    EXPECT_EQ(replay.process.out, plain.process.out);
    EXPECT_EQ(replay.process.err, plain.process.err);
    EXPECT_EQ(replay.all("exit").at(0).fields.at("status"), std::to_string(plain.process.status));
    EXPECT_EQ(replay.sent_frames(), tap.sent_frames());
    EXPECT_EQ(replay.all("verdict").at(0).fields.at("result"), "matched");
}

std::vector<TapCase> TapOverSim::rows()
{
    return {TapCase{"honest_motor", {"--motor", "0"}, "", ""},
            TapCase{"identifier_mismatch", {"--motor", "0:reply-id=2"}, "", ""},
            // Leftovers: the extra bytes shift every later answer, and renumber's flush
            // before the change command discards what is left.
            TapCase{"leftovers_flushed", {"--motor", "0:control-extra=0102"}, "flush", ""},
            // The adapter vanishes after the first answer: the next write fails.
            TapCase{"write_fails", {"--motor", "0", "--hangup-after-read", "16"}, "fail", "EIO"},
            // It vanishes as the second control frame arrives: the read meets end of
            // file.
            TapCase{"hang_up", {"--motor", "0", "--hangup-after", "2"}, "eof", "EIO"},
            // Frames never leave the adapter: renumber's bounded drain is interrupted.
            TapCase{"drain_stalls", {"--motor", "0", "--stall-drain"}, "fail", "EINTR", true}};
}

INSTANTIATE_TEST_SUITE_P(Runs, TapOverSim, testing::ValuesIn(TapOverSim::registered_rows()),
                         [](const testing::TestParamInfo<TapCase>& info) {
                             return std::string(info.param.name);
                         });

class Tap : public EndToEnd {};

// Nothing to tap: a device that does not exist, or one the command never opens, is said
// on standard error and in the recording.
TEST_F(Tap, NothingTappedIsSaid)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--device", "/dev/ttyUSB97", "--", RENUMBER_BINARY, "/dev/ttyUSB97", "0", "1"},
         "/dev/ttyUSB97 does not exist: nothing was tapped"},
        {{"--device", "/dev/null", "--", "true"},
         "the command never opened /dev/null: nothing was tapped"},
    };
    for (const auto& [options, message] : cases) {
        const fs::path record = scratch_ / "nothing.rec";
        std::vector<std::string> argv{MOTOR_SIM_BINARY, "--tap",    "--trace-file",
                                      "/dev/null",      "--record", record.string()};
        argv.insert(argv.end(), options.begin(), options.end());
        const ProcessResult run = run_process(argv, {}, waits::RUN_LIMIT);
        EXPECT_NE(run.err.find("motor-sim: " + message + "\n"), std::string::npos) << run.err;
        std::ifstream file(record);
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        EXPECT_NE(text.find("note " + message + "\n"), std::string::npos) << text;
    }
}

// A command killed by a signal never finished its run: the tap says its recording is
// incomplete, leaves out the end record, and a replay refuses the recording.
TEST_F(Tap, AKilledCommandLeavesARecordingAReplayRefuses)
{
    const fs::path record = scratch_ / "killed.rec";
    const ProcessResult tap =
        run_process({MOTOR_SIM_BINARY, "--tap", "--trace-file", "/dev/null", "--record",
                     record.string(), "--", WRITE_BYTES_BINARY, "/dev/null", "00", "killed"},
                    {}, waits::RUN_LIMIT);
    EXPECT_EQ(tap.status, 128 + SIGKILL);
    EXPECT_NE(tap.err.find("motor-sim: " + record.string() +
                           " is incomplete: signal 9 (Killed) ended the command, so it has no end "
                           "record and a replay refuses it\n"),
              std::string::npos)
        << tap.err;
    const SimRun replay = simulate({"--replay", record.string()}, {"/dev/ttyUSB0", "0", "1"});
    EXPECT_EQ(replay.process.status, 125);
    EXPECT_EQ(replay.process.err, "motor-sim: " + record.string() +
                                      ": an incomplete recording: no end record (the tap did not "
                                      "finish: it or its command was killed)\n");
}

TEST_F(Tap, UnknownBytesAndCutFramesAreShownNotDropped)
{
    SimRun bus;
    const SimRun tap = tap_over_sim(
        scratch_, {"--no-motor"}, {WRITE_BYTES_BINARY, "/dev/ttyUSB0", "0102FB01FEEEFE", "3"}, bus);
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

/// Cut within the line holding `within`, `keep` bytes into it: no newline ends it any more.
Edit cut(std::string within, std::size_t keep)
{
    return [within = std::move(within), keep](std::string& text) {
        const std::size_t at = text.find(within);
        const std::size_t line = text.rfind('\n', at) + 1; // npos + 1: the first line
        if (at != std::string::npos) {
            text.resize(line + keep);
        }
        return at != std::string::npos;
    };
}

/// Cut after the line holding `within`: a recording that stops at a record's end.
Edit cut_after(std::string within)
{
    return [within = std::move(within)](std::string& text) {
        const std::size_t at = text.find(within);
        if (at != std::string::npos) {
            text.resize(text.find('\n', at) + 1);
        }
        return at != std::string::npos;
    };
}

/// Without the line that starts with `start`.
Edit drop(std::string start)
{
    return [start = std::move(start)](std::string& text) {
        const std::size_t at = text.find("\n" + start);
        if (at != std::string::npos) {
            text.erase(at + 1, text.find('\n', at + 1) - at);
        }
        return at != std::string::npos;
    };
}

/// Every time from the line that starts with `start` on moved by ms: a longer or shorter wait
/// there, all else as recorded.
Edit shift(std::string start, double ms)
{
    return [start = std::move(start), ms](std::string& text) {
        const std::size_t from = text.find("\n" + start);
        if (from == std::string::npos) {
            return false;
        }
        std::istringstream lines(text.substr(from + 1));
        std::string shifted = text.substr(0, from + 1);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string kind;
            double time = 0;
            if (words >> kind >> time &&
                std::set<std::string>{"tx", "rx", "flush", "fail", "eof", "close", "end"}.contains(
                    kind)) {
                std::string rest;
                std::getline(words, rest);
                char moved[32];
                std::snprintf(moved, sizeof moved, "%.3f", time + ms);
                line = kind;
                line.append(" ").append(moved).append(rest);
            }
            shifted.append(line).append("\n");
        }
        text = shifted;
        return true;
    };
}

/// A checked-in recording replayed, as recorded or edited. The program is renumber unless the
/// row names another.
struct ReplayCase {
    const char* name;
    const char* recording;
    std::vector<std::string> args;
    std::optional<std::string> out; // none: whatever the program prints (it depends on the machine)
    int status;      // motor-sim's: 0 matched, 120 departed, 125 refused before the command ran
    std::string err; // what motor-sim says after "motor-sim: " and the file's path (a departure's
                     // after "motor-sim: the run departed from " and it); "" for nothing
    Edit edit{};
    std::string program = RENUMBER_BINARY;
    std::string command_err{}; // the program's own standard error where motor-sim says nothing
};

void PrintTo(const ReplayCase& c, std::ostream* out)
{
    *out << c.name;
}

/// A replay's run, and the recording it played (a copy edited as the row says, if it does).
struct ReplayOutcome {
    bool edited = true; // false: the row's edit found nothing to change, and nothing ran
    fs::path file;
    Loaded recording;
    SimRun run;
};

class ReplayRecording : public ConcurrentTable<ReplayRecording, ReplayCase, ReplayOutcome> {
public:
    static constexpr char NAME[] = "ReplayRecording";
    static constexpr bool ALONE = false;
    static std::vector<ReplayCase> rows();

    static ReplayOutcome perform(const ReplayCase& c, const fs::path& folder)
    {
        ReplayOutcome ran;
        ran.file = fs::path(RECORDINGS_DIR) / c.recording;
        if (c.edit) {
            std::ifstream in(ran.file);
            std::string text((std::istreambuf_iterator<char>(in)), {});
            ran.edited = c.edit(text);
            if (!ran.edited) {
                return ran;
            }
            ran.file = folder / c.recording;
            std::ofstream(ran.file) << text;
        }
        std::vector<std::string> command{c.program};
        command.insert(command.end(), c.args.begin(), c.args.end());
        ran.recording = load(ran.file);
        ran.run = run_under_sim(MOTOR_SIM_BINARY, {"--replay", ran.file.string()}, command,
                                folder / "trace", {"LIBSERIALPORT_DEBUG="});
        return ran;
    }
};

// Each checked-in recording, made with the tap over motor-sim, played back is a regression
// test: the same output, status and frames, and the recorded answers in the recorded order,
// judged a match. An edited recording is a run that differs in one way: a recording cut short
// or missing a record is refused before anything runs, and every other edit departs, the
// verdict naming the recording's line.
TEST_P(ReplayRecording, JudgesTheRunAgainstItsRecording)
{
    const ReplayCase& c = GetParam();
    const auto& [edited, file, loaded, run] = outcome();
    ASSERT_TRUE(edited) << "the edit found nothing to change in " << c.recording;
    if (c.out) {
        EXPECT_EQ(run.process.out, *c.out);
    }
    EXPECT_EQ(run.process.status, c.status) << run.process.err;
    if (c.err.empty()) {
        EXPECT_EQ(run.process.err, c.command_err);
    } else {
        const std::string says =
            "motor-sim: " + std::string(c.status == 120 ? "the run departed from " : "") +
            file.string() + c.err;
        EXPECT_NE(run.process.err.find(says), std::string::npos) << run.process.err;
    }
    if (c.status == 125) {
        EXPECT_TRUE(run.trace.empty()); // refused before the command started
        return;
    }
    EXPECT_EQ(run.all("verdict").at(0).fields.at("result"), c.status == 0 ? "matched" : "departed");
    if (c.status != 0) {
        return;
    }
    ASSERT_TRUE(loaded.loaded) << loaded.error;
    EXPECT_EQ(run.all("exit").at(0).fields.at("status"),
              std::to_string(*loaded.recording.exit_status));
    EXPECT_EQ(joined(run.sent_frames()), recorded_bytes(loaded.recording, sim::Direction::tx));
    EXPECT_EQ(joined(trace_bytes(run, "rx")), recorded_off_the_line(loaded.recording));
}

std::vector<std::string> zero_to_one()
{
    return {"/dev/ttyUSB0", "0", "1"};
}

std::vector<ReplayCase> ReplayRecording::rows()
{
    const std::string changed = "OK! Changed. Now the motor ID:1\n";
    const std::string write_error = "[Error] Error occurred during serial port write.\n";
    const std::string incomplete = ": an incomplete recording: no ";
    const std::string unfinished =
        " record (the tap did not finish: it or its command was killed)\n";
    return {
        ReplayCase{"honest", "honest.rec", zero_to_one(), changed, 0, ""},
        ReplayCase{"mismatch", "mismatch.rec", zero_to_one(),
                   "[Error] The ID:2 of the feedback does not match.\n", 0, ""},
        ReplayCase{"silent", "silent.rec", zero_to_one(),
                   "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n", 0, ""},
        ReplayCase{"leftovers", "leftovers.rec", zero_to_one(), changed, 0, ""},
        // The recorded write failing with EIO hangs the replayed line up, as the adapter was.
        ReplayCase{"write_fails",
                   "write-fails.rec",
                   zero_to_one(),
                   write_error + write_error + "[Error] The ID:0 of the feedback does not match.\n",
                   0,
                   "",
                   {},
                   RENUMBER_BINARY,
                   "/dev/ttyUSB0: hung up (the adapter was unplugged or reset) before the change "
                   "command went out; motor 0 kept its identifier\n"},
        ReplayCase{"drain_stalls", "drain-stalls.rec", zero_to_one(),
                   write_error + write_error + write_error +
                       "[Error] The ID:0 of the feedback does not match.\n",
                   0, ""},
        // The same program at another path is the same run.
        ReplayCase{
            "copy_elsewhere", "honest.rec", zero_to_one(), changed, 0, "", {}, RENUMBER_ELSEWHERE},
        // A recording of version 2 is judged as far as it goes, and says what it cannot show.
        ReplayCase{"version_2", "leftovers-v2.rec", zero_to_one(), changed, 0,
                   " is a version 2 recording: the replay could not check the output or the time "
                   "from the last write to the exit\n"},

        // Incomplete: refused before the command runs.
        ReplayCase{"cut_after_the_change_command", "honest.rec", zero_to_one(), "", 125,
                   incomplete + "end" + unfinished, cut_after("FB 01 10 BB")},
        ReplayCase{"cut_within_a_record", "honest.rec", zero_to_one(), "", 125,
                   ":14: cut short (no newline ends the line): the recording is incomplete\n",
                   cut("tx 1", 9)},
        ReplayCase{"header_only", "honest.rec", zero_to_one(), "", 125,
                   incomplete + "device, command or end" + unfinished,
                   cut_after("motor-sim recording")},
        ReplayCase{"no_device", "honest.rec", zero_to_one(), "", 125,
                   incomplete + "device record\n", drop("device")},
        ReplayCase{"no_command", "honest.rec", zero_to_one(), "", 125,
                   incomplete + "command record\n", drop("command")},
        ReplayCase{"no_end", "honest.rec", zero_to_one(), "", 125, incomplete + "end" + unfinished,
                   drop("end")},

        // Departures, each named with the recording's line. Another target changes the
        // command's bytes too, so the recorded motor answers the control frames and then
        // nothing: renumber waits out its answer wait (4 s in all).
        ReplayCase{"changed_command_line",
                   "honest.rec",
                   {"/dev/ttyUSB0", "0", "2"},
                   "[ERROR] Modify id 0 to 2 failure, No motor be found(timeout).\n",
                   120,
                   ":5: the arguments differ: '/dev/ttyUSB0 0 2', the recorded command is "
                   "'motor-sim --trace-file /dev/null --motor 0 -- renumber /dev/ttyUSB0 0 1'\n"},
        // A device cut short: the command names a device the replay does not simulate, which
        // it never reaches, whether or not the machine has one of that name.
        ReplayCase{"device_cut_short", "honest.rec", zero_to_one(), std::nullopt, 120,
                   ":4: the command ", replace("device /dev/ttyUSB0", "device /dev/ttyUSB")},
        // A program that opens a real serial device directly: the layer refuses the open,
        // whether or not the machine has the device, and the verdict names it.
        ReplayCase{"another_serial_device",
                   "honest.rec",
                   {"/dev/ttyS0"},
                   "",
                   120,
                   ":4: the command opened /dev/ttyS0, a serial device other than the simulated "
                   "/dev/ttyUSB0: the open was refused\n",
                   {},
                   OPEN_FILE_BINARY},
        ReplayCase{"other_answer", "honest.rec", zero_to_one(),
                   "[Error] The ID:2 of the feedback does not match.\n", 120,
                   ":18: the command printed '[Error] The ID:2 of the feedback does not "
                   "match.\\n', the recording has 'OK! Changed. Now the motor ID:1\\n'\n",
                   replace("01 01 BB", "01 02 BB")},
        ReplayCase{"pause_cut_to_half", "honest.rec", zero_to_one(), changed, 120,
                   ":14: the recording has this write ", shift("flush", -500)},
        ReplayCase{"pause_stretched_to_two_seconds", "honest.rec", zero_to_one(), changed, 120,
                   ":14: the recording has this write ", shift("flush", 1000)},
        ReplayCase{"answer_wait_cut_to_one_second", "silent.rec", zero_to_one(),
                   "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n", 120,
                   ":11: the recording has the command close the device ", shift("close", -2000)},
        ReplayCase{"no_flush", "honest.rec", zero_to_one(), changed, 120,
                   ":13: the command flushed its input after 2 writes, where the recording has "
                   "no flush\n",
                   drop("flush")},
        ReplayCase{"other_line_settings", "honest.rec", zero_to_one(), changed, 120,
                   ":19: the command left the line at '4000000 baud, ",
                   replace("line 4000000 baud", "line 115200 baud")},
        ReplayCase{"other_output", "honest.rec", zero_to_one(), changed, 120,
                   ":18: the command printed 'OK! Changed. Now the motor ID:1\\n', the recording "
                   "has 'OK! Changed. Now the motor ID:2\\n'\n",
                   replace("ID:1", "ID:2")},
        ReplayCase{"other_status", "honest.rec", zero_to_one(), changed, 120,
                   ":20: exit status 0, the recording has 254\n", replace("exit 0", "exit 254")},
    };
}

INSTANTIATE_TEST_SUITE_P(CheckedIn, ReplayRecording,
                         testing::ValuesIn(ReplayRecording::registered_rows()),
                         [](const testing::TestParamInfo<ReplayCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(EndToEnd, ReplayRefusesAMalformedRecordingWithoutRunningTheCommand)
{
    const fs::path file = scratch_ / "bad.rec";
    std::ofstream(file) << "motor-sim recording 1\ntx 5 FE EE\nrx 4 FD\n";
    const SimRun run = simulate({"--replay", file.string()}, {"/dev/ttyUSB0", "0", "1"});
    EXPECT_EQ(run.process.status, 125);
    EXPECT_EQ(run.process.out, "");
    EXPECT_EQ(run.process.err,
              "motor-sim: " + file.string() + ":3: time 4 is before the previous record's\n");
    EXPECT_TRUE(run.trace.empty());
}

TEST_F(EndToEnd, TapAndReplayOptionsThatCannotGoTogetherAreRefused)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--record", "x.rec"}, "--record needs --tap"},
        {{"--tap", "--motor", "0"},
         "--tap runs against the real device: motors and adapter faults do not apply"},
        {{"--tap", "--refuse-open"},
         "--tap runs against the real device: motors and adapter faults do not apply"},
        {{"--tap", "--replay", "x.rec"}, "--tap and --replay exclude each other"},
        {{"--replay", "x.rec", "--no-motor"},
         "--replay plays the recorded motor: --motor and --no-motor do not apply"},
    };
    for (const auto& [options, message] : cases) {
        const SimRun run = simulate(options, {"/dev/ttyUSB0", "0", "1"});
        EXPECT_EQ(run.process.status, 125) << message;
        EXPECT_EQ(run.process.err,
                  "motor-sim: " + message + "\nTry 'motor-sim --help' for more information.\n");
    }
}

} // namespace
