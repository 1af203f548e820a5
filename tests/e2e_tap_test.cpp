// motor-sim --tap over a simulated bus standing in for the real device: every byte the
// tap reports must be what the motor side received and sent, and renumber must behave as
// without the tap. And the checked-in recordings, replayed, must give the same run again.
#include "motor-sim/recording.hpp"
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
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

std::vector<long> recorded_write_ms(const sim::Recording& recording)
{
    std::vector<long> times;
    for (const sim::RecordedChunk& chunk : recording.chunks) {
        if (chunk.direction == sim::Direction::tx) {
            times.push_back(static_cast<long>(chunk.us / 1000));
        }
    }
    return times;
}

sim::Recording load(const fs::path& path)
{
    sim::Recording recording;
    std::string error;
    EXPECT_TRUE(sim::recording_load(path.string(), recording, error)) << error;
    return recording;
}

class Tap : public EndToEnd {
protected:
    /// The tap, tracing and recording, over motor-sim with sim_options running renumber.
    SimRun tap_over_sim(const std::vector<std::string>& sim_options,
                        const std::vector<std::string>& command, SimRun& bus)
    {
        std::vector<std::string> argv{MOTOR_SIM_BINARY,
                                      "--tap",
                                      "--trace",
                                      "lines",
                                      "--trace-file",
                                      (scratch_ / "tap").string(),
                                      "--record",
                                      (scratch_ / "recording").string(),
                                      "--",
                                      MOTOR_SIM_BINARY,
                                      "--trace",
                                      "lines",
                                      "--trace-file",
                                      (scratch_ / "bus").string()};
        argv.insert(argv.end(), sim_options.begin(), sim_options.end());
        argv.emplace_back("--");
        argv.insert(argv.end(), command.begin(), command.end());
        SimRun tap{run_process(argv, {"LIBSERIALPORT_DEBUG="}, std::chrono::seconds(20)), {}};
        std::ifstream tap_trace(scratch_ / "tap");
        tap.trace = parse_trace(tap_trace);
        std::ifstream bus_trace(scratch_ / "bus");
        bus.trace = parse_trace(bus_trace);
        return tap;
    }
};

struct TapCase {
    const char* name;
    std::vector<std::string> sim_options;
    bool all_read; // renumber reads every byte the motor sends
};

void PrintTo(const TapCase& c, std::ostream* out)
{
    *out << c.name;
}

class TapOverSim : public Tap, public testing::WithParamInterface<TapCase> {};

TEST_P(TapOverSim, ShowsEveryByteBothWaysAndChangesNothing)
{
    const TapCase& c = GetParam();
    const std::vector<std::string> args{"/dev/ttyUSB0", "0", "1"};
    // The run without the tap goes on beside the tapped one: each mostly waits.
    SimRun plain;
    std::thread plain_run([&] { plain = simulate(c.sim_options, args); });
    SimRun bus;
    std::vector<std::string> command{RENUMBER_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    const SimRun tap = tap_over_sim(c.sim_options, command, bus);
    plain_run.join();

    EXPECT_EQ(tap.process.out, plain.process.out);
    EXPECT_EQ(tap.process.err, plain.process.err);
    EXPECT_EQ(tap.process.status, plain.process.status);
    EXPECT_EQ(tap.all("exit").at(0).fields.at("status"), std::to_string(plain.process.status));
    EXPECT_EQ(tap.low_latency(), "yes");

    // The same stream, split into the same frames, as the motor side received it.
    EXPECT_EQ(tap.sent_frames(), bus.sent_frames());
    EXPECT_EQ(tap.sent_frames(), plain.sent_frames());
    // What renumber read is what the motor side sent, less the stray bytes renumber discards
    // unread before the change command.
    const std::string read = joined(trace_bytes(tap, "rx"));
    const std::string answered = joined(trace_bytes(bus, "rx"));
    if (c.all_read) {
        EXPECT_EQ(read, answered);
    } else {
        ASSERT_LT(read.size(), answered.size());
        const auto mismatch = std::mismatch(read.begin(), read.end(), answered.begin());
        const auto common = static_cast<std::size_t>(mismatch.first - read.begin());
        const std::size_t rest = read.size() - common;
        EXPECT_EQ(read.substr(common), answered.substr(answered.size() - rest))
            << "read " << read << ", answered " << answered;
    }

    // The tap's times: the pause before the change command, and the frames' spacing close to
    // the motor side's. The two clocks start apart (the motor side's when the inner motor-sim
    // starts renumber, later by however long that takes: a third of a second under emulation),
    // and the motor side stamps a frame when it gets round to reading it.
    const std::vector<long> tap_t = tap.sent_times();
    const std::vector<long> bus_t = bus.sent_times();
    ASSERT_EQ(tap_t.size(), 3U);
    ASSERT_EQ(bus_t.size(), 3U);
    EXPECT_GE(tap_t[2] - tap_t[1], 990);
    EXPECT_LT(tap_t[2] - tap_t[1], 1500);
    for (std::size_t i = 1; i < tap_t.size(); ++i) {
        EXPECT_NEAR(tap_t[i] - tap_t[0], bus_t[i] - bus_t[0], 200) << i;
    }

    // The recording holds the same bytes, with times to the microsecond.
    const sim::Recording recording = load(scratch_ / "recording");
    EXPECT_EQ(recording.device, "/dev/ttyUSB0");
    EXPECT_EQ(recording.exit_status, plain.process.status);
    EXPECT_EQ(recorded_bytes(recording, sim::Direction::tx), joined(bus.sent_frames()));
    EXPECT_EQ(recorded_bytes(recording, sim::Direction::rx), read);
    const std::vector<long> recorded_t = recorded_write_ms(recording);
    ASSERT_EQ(recorded_t.size(), 3U);
    EXPECT_EQ(recorded_t[2], tap_t[2]);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, TapOverSim,
    testing::Values(
        TapCase{"honest_motor", {"--motor", "0"}, true},
        TapCase{"identifier_mismatch", {"--motor", "0:reply-id=2"}, true},
        // The extra bytes shift every later answer; the last answer is never read.
        TapCase{"stray_bytes_after_control_answers", {"--motor", "0:control-extra=0102"}, false}),
    [](const testing::TestParamInfo<TapCase>& info) { return std::string(info.param.name); });

TEST_F(Tap, UnknownBytesAndCutFramesAreShownNotDropped)
{
    SimRun bus;
    const SimRun tap = tap_over_sim(
        {"--no-motor"}, {WRITE_BYTES_BINARY, "/dev/ttyUSB0", "0102FB01FEEEFE", "3"}, bus);
    EXPECT_EQ(tap.process.status, 3);
    EXPECT_EQ(tap.sent_frames(), (std::vector<std::string>{"0102", "FB01FEEE", "FE"}));
    EXPECT_EQ(tap.all("tx").at(0).fields.at("kind"), "unknown");
    EXPECT_EQ(tap.all("tx").at(2).fields.at("kind"), "unknown");
    EXPECT_EQ(tap.sent_frames(), bus.sent_frames());
    EXPECT_EQ(tap.low_latency(), "no");
}

struct ReplayCase {
    const char* recording;
    std::vector<std::string> args;
    std::string out;
};

void PrintTo(const ReplayCase& c, std::ostream* out)
{
    *out << c.recording;
}

class ReplayRecording : public EndToEnd, public testing::WithParamInterface<ReplayCase> {};

// Each checked-in recording, made with the tap over motor-sim, played back: the same
// output, status and frames, and the recorded answers in the recorded order.
TEST_P(ReplayRecording, ReproducesOutputStatusAndFrames)
{
    const ReplayCase& c = GetParam();
    const fs::path file = fs::path(RECORDINGS_DIR) / c.recording;
    const sim::Recording recording = load(file);
    const SimRun run = simulate({"--replay", file.string()}, c.args);
    EXPECT_EQ(run.process.out, c.out);
    EXPECT_EQ(run.process.err, "");
    ASSERT_TRUE(recording.exit_status.has_value());
    EXPECT_EQ(run.process.status, *recording.exit_status);
    EXPECT_EQ(joined(run.sent_frames()), recorded_bytes(recording, sim::Direction::tx));
    EXPECT_EQ(joined(trace_bytes(run, "rx")), recorded_bytes(recording, sim::Direction::rx));
    // Each gap between writes is renumber's own, so it matches the recorded one.
    const std::vector<long> t = run.sent_times();
    const std::vector<long> recorded_t = recorded_write_ms(recording);
    ASSERT_EQ(t.size(), recorded_t.size());
    for (std::size_t i = 1; i < t.size(); ++i) {
        EXPECT_NEAR(t[i] - t[i - 1], recorded_t[i] - recorded_t[i - 1], 100) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    CheckedIn, ReplayRecording,
    testing::Values(
        ReplayCase{"honest.rec", {"/dev/ttyUSB0", "0", "1"}, "OK! Changed. Now the motor ID:1\n"},
        ReplayCase{"mismatch.rec",
                   {"/dev/ttyUSB0", "0", "1"},
                   "[Error] The ID:2 of the feedback does not match.\n"},
        ReplayCase{"silent.rec",
                   {"/dev/ttyUSB0", "0", "1"},
                   "[ERROR] Modify id 0 to 1 failure, No motor be found(timeout).\n"}),
    [](const testing::TestParamInfo<ReplayCase>& info) {
        const std::string name = info.param.recording;
        return name.substr(0, name.find('.'));
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
