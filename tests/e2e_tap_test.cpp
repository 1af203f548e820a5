// motor-sim --tap over a simulated bus standing in for the real device: every byte the
// tap reports must be what the motor side received and sent, and renumber must behave as
// without the tap. And the checked-in recordings, replayed, must give the same run again.
#include "motor-sim/recording.hpp"
#include "support/e2e_fixture.h"
#include "support/protocol_waits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
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
                     record.string(), "--", "/bin/sh", "-c", "kill -KILL $$"},
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

struct ReplayCase {
    const char* name;
    const char* recording;
    std::vector<std::string> args;
    std::string out;
    std::string departure; // after "motor-sim: the run departed from FILE:", or "" for a match
    const char* edit_from = nullptr; // a line of the recording changed before the replay
    const char* edit_to = nullptr;
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
        if (c.edit_from != nullptr) {
            std::ifstream in(ran.file);
            std::string text((std::istreambuf_iterator<char>(in)), {});
            const std::size_t at = text.find(c.edit_from);
            if (at == std::string::npos) {
                ran.edited = false;
                return ran;
            }
            text.replace(at, std::strlen(c.edit_from), c.edit_to);
            ran.file = folder / c.recording;
            std::ofstream(ran.file) << text;
        }
        ran.recording = load(ran.file);
        ran.run = simulate_in(folder, "trace", {"--replay", ran.file.string()}, c.args);
        return ran;
    }
};

// Each checked-in recording, made with the tap over motor-sim, played back is a regression
// test: the same output, status and frames, and the recorded answers in the recorded order,
// judged a match. A changed command line or a renumber that now ends otherwise departs.
TEST_P(ReplayRecording, JudgesTheRunAgainstItsRecording)
{
    const ReplayCase& c = GetParam();
    const auto& [edited, file, loaded, run] = outcome();
    ASSERT_TRUE(edited) << "no '" << c.edit_from << "' in " << c.recording;
    ASSERT_TRUE(loaded.loaded) << loaded.error;
    const sim::Recording& recording = loaded.recording;
    EXPECT_EQ(run.process.out, c.out);
    ASSERT_TRUE(recording.exit_status.has_value());
    if (c.departure.empty()) {
        EXPECT_EQ(run.process.err, "");
        EXPECT_EQ(run.process.status, 0);
        EXPECT_EQ(run.all("exit").at(0).fields.at("status"),
                  std::to_string(*recording.exit_status));
        EXPECT_EQ(joined(run.sent_frames()), recorded_bytes(recording, sim::Direction::tx));
        EXPECT_EQ(joined(trace_bytes(run, "rx")), recorded_off_the_line(recording));
        return;
    }
    EXPECT_EQ(run.process.status, 120);
    EXPECT_EQ(run.process.err,
              "motor-sim: the run departed from " + file.string() + ":" + c.departure + "\n");
    EXPECT_EQ(run.all("verdict").at(0).fields.at("result"), "departed");
}

std::vector<std::string> zero_to_one()
{
    return {"/dev/ttyUSB0", "0", "1"};
}

std::vector<ReplayCase> ReplayRecording::rows()
{
    return {
        ReplayCase{"honest", "honest.rec", zero_to_one(), "OK! Changed. Now the motor ID:1\n", ""},
        ReplayCase{"mismatch", "mismatch.rec", zero_to_one(),
                   "[Error] The ID:2 of the feedback does not match.\n", ""},
        ReplayCase{"silent", "silent.rec", zero_to_one(),
                   "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n", ""},
        ReplayCase{"leftovers", "leftovers.rec", zero_to_one(), "OK! Changed. Now the motor ID:1\n",
                   ""},
        ReplayCase{"write_fails", "write-fails.rec", zero_to_one(),
                   "[Error] Error occurred during serial port write.\n"
                   "[Error] Error occurred during serial port write.\n"
                   "[Error] The ID:0 of the feedback does not match.\n",
                   ""},
        ReplayCase{"drain_stalls", "drain-stalls.rec", zero_to_one(),
                   "[Error] Error occurred during serial port write.\n"
                   "[Error] Error occurred during serial port write.\n"
                   "[Error] Error occurred during serial port write.\n"
                   "[Error] The ID:0 of the feedback does not match.\n",
                   ""},
        // Departures: another command line, and a run that ends otherwise than recorded. The
        // other target changes the command's bytes too, so the recorded motor answers the
        // control frames and then nothing: renumber waits out its answer wait (4 s in all),
        // and the verdict names the command line, which it compares first.
        ReplayCase{"changed_command_line",
                   "honest.rec",
                   {"/dev/ttyUSB0", "0", "2"},
                   "[ERROR] Modify id 0 to 2 failure, No motor be found(timeout).\n",
                   "4: the command line differs: '" RENUMBER_BINARY
                   " /dev/ttyUSB0 0 2', recorded 'motor-sim --trace-file /dev/null --motor 0 -- "
                   "renumber /dev/ttyUSB0 0 1'"},
        ReplayCase{"other_status", "honest.rec", zero_to_one(), "OK! Changed. Now the motor ID:1\n",
                   "13: exit status 0, the recording has 254", "exit 0", "exit 254"}};
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
