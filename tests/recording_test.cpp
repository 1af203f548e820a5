// Recordings as motor-sim reads them, and how a replay answers what the command sends.
#include "motor-sim/recording.hpp"
#include "motor-sim/replay.hpp"
#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using sim::Bytes;

constexpr const char* HEADER = "motor-sim recording 3\n";

// Every record kind is read with its line, white space and carriage returns aside; what the tap
// writes reads back as written, any output byte for byte.
TEST(Recording, ReadsEveryRecordKindAndWhatTheTapWrites)
{
    const sim::RecordedChunk written[] = {
        {sim::Direction::rx, 1010047, {0xFC, 0x01, 0x01, 0xBB}},
        {sim::Direction::fail, 1010347, {}, "write", "EIO"},
        {sim::Direction::eof, 1012000, {}},
    };
    const char raw[] = "tab\t\"quoted\" back\\slash \r\x01\xFF\0!\n";
    const std::string output(raw, sizeof raw - 1);
    const std::string lines[] = {
        sim::recording_chunk_line(written[0]), sim::recording_chunk_line(written[1]),
        sim::recording_chunk_line(written[2]), sim::recording_output_line(output),
        sim::recording_end_line(1013207, 254)};
    EXPECT_EQ(lines[0], "rx 1010.047 FC 01 01 BB");
    EXPECT_EQ(lines[1], "fail 1010.347 write EIO");
    EXPECT_EQ(lines[2], "eof 1012.000");
    EXPECT_EQ(lines[3], "out \"tab\\t\\\"quoted\\\" back\\\\slash \\r\\x01\\xFF\\x00!\\n\"");
    EXPECT_EQ(lines[4], "end 1013.207 exit 254");
    std::string text = std::string(HEADER) +
                       "# a comment\n\n"
                       "start 2026-12-08T12:50:00.123456Z monotonic=1234.567890\n"
                       "device /dev/ttyUSB1\r\n"
                       "command renumber /dev/ttyUSB1 0 1\n"
                       "note TIOCSSERIAL with low latency: ok\n"
                       "tx 5 FE EE\n"
                       "flush 1005.1 0102 03\n"
                       "tx\t1005.25\tFB0110BB\n"
                       "line 4000000 baud\n";
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::recording_parse(text, recording, error)) << error;
    EXPECT_TRUE(sim::recording_complete(recording, error)) << error;
    EXPECT_EQ(recording.version, 3);
    EXPECT_EQ(recording.device, "/dev/ttyUSB1");
    EXPECT_EQ(recording.device_line, 5U);
    EXPECT_EQ(recording.command, "renumber /dev/ttyUSB1 0 1");
    EXPECT_EQ(recording.command_line, 6U);
    EXPECT_EQ(recording.line_settings, "4000000 baud");
    EXPECT_EQ(recording.line_settings_line, 11U);
    ASSERT_EQ(recording.chunks.size(), 6U);
    EXPECT_EQ(recording.chunks[0].us, 5000);
    EXPECT_EQ(recording.chunks[1].direction, sim::Direction::flush);
    EXPECT_EQ(recording.chunks[1].us, 1005100);
    EXPECT_EQ(recording.chunks[1].bytes, (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(recording.chunks[2].us, 1005250);
    EXPECT_EQ(recording.chunks[2].bytes, (Bytes{0xFB, 0x01, 0x10, 0xBB}));
    EXPECT_EQ(recording.chunks[2].line, 10U);
    for (std::size_t i = 0; i < std::size(written); ++i) {
        const sim::RecordedChunk& read = recording.chunks[3 + i];
        EXPECT_EQ(read.direction, written[i].direction) << lines[i];
        EXPECT_EQ(read.us, written[i].us) << lines[i];
        EXPECT_EQ(read.bytes, written[i].bytes) << lines[i];
        EXPECT_EQ(read.call, written[i].call) << lines[i];
        EXPECT_EQ(read.error, written[i].error) << lines[i];
    }
    ASSERT_EQ(recording.output.size(), 1U);
    EXPECT_EQ(recording.output[0].text, output);
    EXPECT_EQ(recording.output[0].line, 15U);
    EXPECT_EQ(recording.exit_status, 254);
    EXPECT_EQ(recording.exit_line, 16U);
    EXPECT_EQ(recording.end_us, 1013207);
}

// Versions 1 and 2 are still read, each with its own records: version 1 lacks start, flush,
// fail and eof, and both end with exit where version 3 has end (and out). Anything else is
// refused with its line and why.
TEST(Recording, EachVersionsRecordsAreReadAndMalformedFilesRefused)
{
    const std::string h = HEADER;
    const std::string not_recording =
        "line 1: not a motor-sim recording: the first line must be 'motor-sim recording 3'";
    const auto bad_time = [](const std::string& time) {
        return "line 2: bad time '" + time +
               "': milliseconds since the command started, such as 12.345";
    };
    const auto bad_bytes = [](const std::string& bytes) {
        return "line 2: bad bytes '" + bytes + "': pairs of hexadecimal digits such as FE or FEEE";
    };
    const std::string end_needs = "line 2: end needs the time the command exited and its status "
                                  "from 0 to 255, such as 'end 1013.5 exit 0'";
    const std::string out_needs = "line 2: out needs its text in double quotes, escaped as \\n, "
                                  "\\r, \\t, \\\\, \\\" or \\xNN, such as 'out \"OK\\n\"'";
    const std::pair<std::string, std::string> cases[] = {
        {"motor-sim recording 1\ntx 5 FB\nexit 0\n", ""},
        {"motor-sim recording 1\nflush 5\n",
         "line 2: unknown record 'flush' (expected tx, rx, device, command, note, line or exit)"},
        {"motor-sim recording 2\nflush 5\nexit 0\n", ""},
        {"motor-sim recording 2\nend 5 exit 0\n",
         "line 2: unknown record 'end' (expected tx, rx, flush, fail, eof, start, device, command, "
         "note, line or exit)"},
        {"motor-sim recording 3\nexit 0\n",
         "line 2: unknown record 'exit' (expected tx, rx, flush, fail, eof, out, close, start, device, "
         "command, note, line or end)"},
        {"", not_recording},
        {"tx t=4 kind=control\n", not_recording}, // a trace instead
        {"motor-sim recording 4\n",
         "line 1: version '4' is not supported: this motor-sim reads versions 1 to 3"},
        {h + "# ok\nrecv 1 FC\n",
         "line 3: unknown record 'recv' (expected tx, rx, flush, fail, eof, out, close, start, device, "
         "command, note, line or end)"},
        {h + "fail 3 write\n",
         "line 2: fail needs a time, the call and its error, such as 'fail 7.5 write EIO'"},
        {h + "eof 3 FC\n", "line 2: eof takes a time only"},
        // A megabyte of garbage is quoted cut, its unprintable bytes escaped.
        {h + "tx 1 \x01" + std::string(1 << 20, 'A') + "\n",
         bad_bytes("\\x01" + std::string(39, 'A') + "...")},
        {h + "tx\n", "line 2: tx needs a time and bytes"},
        {h + "rx 12.5\n", "line 2: rx without bytes"},
        {h + "tx 12ms FB\n", bad_time("12ms")},
        {h + "tx -1 FB\n", bad_time("-1")},
        {h + "tx 1.2345 FB\n", bad_time("1.2345")},
        {h + "tx 99999999999 FB\n", bad_time("99999999999")},
        {h + "tx 5 FB\nrx 4.999 FC\n", "line 3: time 4.999 is before the previous record's"},
        {h + "tx 5 FB\nend 4 exit 0\n", "line 3: time 4 is before the previous record's"},
        {h + "tx 5 FB 0\n", bad_bytes("0")},
        {h + "tx 5 FB 0G\n", bad_bytes("0G")},
        {h + "device ttyUSB0\n", "line 2: device needs one absolute path such as /dev/ttyUSB0"},
        {h + "device /dev/ttyUSB0\ndevice /dev/ttyUSB1\n", "line 3: a second device record"},
        {h + "command a\ncommand b\n", "line 3: a second command record"},
        {h + "line 9600 baud\nline 4000000 baud\n", "line 3: a second line record"},
        {h + "end 5 exit 256\n", end_needs},
        {h + "end 5 0\n", end_needs},
        {"motor-sim recording 2\nexit ok\n", "line 2: exit needs a status from 0 to 255"},
        {h + "end 0 exit 0\ntx 1 FB\n", "line 3: a record after end"},
        {"motor-sim recording 2\nexit 0\ntx 1 FB\n", "line 3: a record after exit"},
        {h + "out OK\n", out_needs},
        {h + "out \"say \"hi\"\"\n", out_needs},
        {h + "out \"\\q\"\n", out_needs},
        {h + "out \"\\x4\"\n", out_needs},
        {h + std::string("tx 1 FB\0", 8) + "\n", "line 2: a NUL byte: this is not a text file"},
        {h + "tx 1 FB 01 1",
         "line 2: cut short (no newline ends the line): the recording is incomplete"},
    };
    for (const auto& [text, message] : cases) {
        sim::Recording recording;
        std::string error;
        EXPECT_EQ(sim::recording_parse(text, recording, error), message.empty())
            << text.substr(0, 80);
        EXPECT_EQ(error, message) << text.substr(0, 80);
    }
}

// A recording is a whole run or nothing: without its device, its command or its end (the tap
// writes the end last, once it has seen the command exit), a replay refuses it.
TEST(Recording, AnIncompleteRecordingSaysWhatIsMissing)
{
    const std::string whole = "device /dev/ttyUSB0\ncommand renumber /dev/ttyUSB0 0 1\n";
    const std::pair<std::string, std::string> cases[] = {
        {HEADER + whole + "end 1 exit 0\n", ""},
        {HEADER, "an incomplete recording: no device, command or end record (the tap did not "
                 "finish: it or its command was killed)"},
        {HEADER + whole, "an incomplete recording: no end record (the tap did not finish: it or "
                         "its command was killed)"},
        {std::string(HEADER) + "command renumber\nend 1 exit 0\n",
         "an incomplete recording: no device record"},
        {std::string(HEADER) + "device /dev/ttyUSB0\nend 1 exit 0\n",
         "an incomplete recording: no command record"},
        {"motor-sim recording 2\n" + whole,
         "an incomplete recording: no exit record (the tap did not finish: it or its command was "
         "killed)"},
    };
    for (const auto& [text, message] : cases) {
        sim::Recording recording;
        std::string error;
        ASSERT_TRUE(sim::recording_parse(text, recording, error)) << error;
        EXPECT_EQ(sim::recording_complete(recording, error), message.empty()) << text;
        EXPECT_EQ(message.empty() ? "" : error, message) << text;
    }
}

// Cut anywhere, at a record's end or within one, a checked-in recording is refused: only the
// whole file is a run.
TEST(Recording, EveryCutOfACheckedInRecordingIsRefused)
{
    std::size_t cuts = 0;
    for (const auto& entry : std::filesystem::directory_iterator(RECORDINGS_DIR)) {
        if (entry.path().extension() != ".rec") {
            continue;
        }
        const std::string text = read_text(entry.path());
        sim::Recording recording;
        std::string error;
        ASSERT_TRUE(sim::recording_parse(text, recording, error) &&
                    sim::recording_complete(recording, error))
            << entry.path() << ": " << error;
        for (std::size_t length = 0; length < text.size(); ++length, ++cuts) {
            const bool whole = sim::recording_parse(text.substr(0, length), recording, error) &&
                               sim::recording_complete(recording, error);
            ASSERT_FALSE(whole) << entry.path() << " cut to " << length << " bytes";
        }
    }
    EXPECT_GT(cuts, 3000U); // every checked-in recording was cut
}

sim::Replay replay_of(const std::string& body)
{
    sim::Recording recording;
    std::string error;
    EXPECT_TRUE(sim::recording_parse(HEADER + body, recording, error)) << error;
    return sim::replay_prepare(recording);
}

constexpr std::int64_t MS = 1'000'000;

/// The bytes due by now; a hang-up shows as the word "hangup".
std::vector<Bytes> take_due(sim::Replay& replay, std::int64_t now_ns)
{
    std::vector<Bytes> taken;
    for (const sim::ReplayDue& due : sim::replay_take_due(replay, now_ns)) {
        taken.push_back(due.hangup ? Bytes{'h', 'u', 'p'} : due.bytes);
    }
    return taken;
}

TEST(Replay, AnswersWhenTheWholeRecordedWriteHasArrivedAfterTheRecordedDelay)
{
    sim::Replay replay = replay_of("tx 10 FE EE 00\n"
                                   "rx 10.5 FD\n"
                                   "rx 12 DD\n"
                                   "tx 20 FB\n");
    // The write arrives in two pieces; nothing is due before its last byte.
    EXPECT_FALSE(sim::replay_feed(replay, Bytes{0xFE, 0xEE}, 100 * MS));
    EXPECT_FALSE(sim::replay_next_due(replay));
    EXPECT_FALSE(sim::replay_feed(replay, Bytes{0x00}, 200 * MS));
    EXPECT_EQ(sim::replay_next_due(replay), 200 * MS + MS / 2);
    EXPECT_TRUE(take_due(replay, 200 * MS).empty());
    EXPECT_EQ(take_due(replay, 203 * MS), (std::vector<Bytes>{{0xFD}, {0xDD}}));
    EXPECT_FALSE(sim::replay_feed(replay, Bytes{0xFB}, 300 * MS));
    EXPECT_FALSE(sim::replay_next_due(replay)); // the last write had no answer
    EXPECT_EQ(sim::replay_unfinished(replay), "");
}

TEST(Replay, BytesReadBeforeAnyWriteComeAfterTheOpen)
{
    sim::Replay replay = replay_of("rx 3 AA\ntx 4 FB\n");
    EXPECT_FALSE(sim::replay_next_due(replay));
    sim::replay_opened(replay, 50 * MS);
    sim::replay_opened(replay, 60 * MS); // a second open schedules nothing again
    EXPECT_EQ(take_due(replay, 53 * MS), (std::vector<Bytes>{{0xAA}}));
    EXPECT_FALSE(sim::replay_next_due(replay));
}

TEST(Replay, DepartingFromTheRecordingSilencesTheMotor)
{
    sim::Replay other = replay_of("tx 1 FB 01 10 BB\nrx 2 FC 01 01 BB\n");
    EXPECT_EQ(sim::replay_feed(other, Bytes{0xFB, 0x01, 0x20, 0xBB}, 0),
              "the command sent 20 where the recording has 10 (byte 3 it sent): the recorded "
              "motor answers nothing more");
    EXPECT_FALSE(sim::replay_next_due(other));
    EXPECT_FALSE(sim::replay_feed(other, Bytes{0xFB, 0x01, 0x10, 0xBB}, 0));
    EXPECT_FALSE(sim::replay_next_due(other));

    sim::Replay more = replay_of("tx 1 FB\nrx 2 FC\n");
    EXPECT_EQ(sim::replay_feed(more, Bytes{0xFB, 0x01}, 0),
              "the command sent more than the recording holds (from byte 2): the recorded motor "
              "answers nothing more");
    // The answer to the write that did match still comes.
    EXPECT_EQ(take_due(more, MS), (std::vector<Bytes>{{0xFC}}));
}

// What the tap records beyond bytes: flushed bytes wait on the line with the read before
// them, a failed write or drain fails every such call at its frame, end of file hangs the line
// up.
TEST(Replay, FlushedBytesFailedCallsAndEndOfFileComeBackInPlace)
{
    sim::Replay replay = replay_of("tx 10 FE\n"
                                   "rx 11 FD\n"
                                   "fail 210 drain EINTR\n"
                                   "flush 1010 01 02\n"
                                   "tx 1011 FB\n"
                                   "fail 1012 write EIO\n"
                                   "fail 1012.5 drain EIO\n"
                                   "eof 1500\n");
    EXPECT_EQ(sim::replay_call(replay, "write", 0, 0), 0);
    EXPECT_FALSE(sim::replay_feed(replay, Bytes{0xFE}, 0));
    EXPECT_EQ(take_due(replay, MS), (std::vector<Bytes>{{0xFD}, {0x01, 0x02}}));
    // The first frame's drain, and every retry of it (a signal interrupted each).
    EXPECT_EQ(sim::replay_call(replay, "drain", 1, 0), EINTR);
    EXPECT_EQ(sim::replay_call(replay, "drain", 1, 0), EINTR);
    EXPECT_EQ(sim::replay_call(replay, "write", 1, 0), 0); // the write of FB went through
    // Where the command is comes from what it wrote, which the line may not have carried yet.
    // The drain of FB's frame; the one that failed followed the failed write after it.
    EXPECT_EQ(sim::replay_call(replay, "drain", 2, 0), 0);
    EXPECT_EQ(sim::replay_call(replay, "write", 2, 0), EIO);
    EXPECT_EQ(sim::replay_call(replay, "drain", 2, 0), EIO);
    EXPECT_EQ(sim::replay_call(replay, "write", 2, 0), EIO); // shown once, failing alike
    EXPECT_FALSE(sim::replay_feed(replay, Bytes{0xFB}, 2000 * MS));
    EXPECT_TRUE(take_due(replay, 2488 * MS).empty());
    EXPECT_EQ(take_due(replay, 2489 * MS), (std::vector<Bytes>{{'h', 'u', 'p'}}));
}

/// A replayed run as the layer and motor-sim would tell it, matching the recording below
/// unless a row changes it.
struct Played {
    std::vector<std::string> command{"build/renumber", "/dev/ttyUSB0", "0", "1"};
    bool opened = true;
    Bytes first{0xFE, 0xEE};
    Bytes second{0xFB, 0x01, 0x10, 0xBB}; // none: not written
    std::int64_t second_ms = 1000;        // when it began the second write
    bool flushed = true;                  // the input, after the first write
    std::int64_t exit_ms = 4000;
    std::string output = "OK\n";
    std::string settings =
        "4000000 baud, 8 data bits, no parity, 1 stop bit, no flow control, raw, NOFLSH clear";
    int status = 0;
};

struct VerdictCase {
    const char* name;
    Played run;
    std::optional<std::size_t> line; // of the first difference; none for a match
    std::string what;
};

sim::ReplayVerdict judge(const std::string& text, const Played& run)
{
    sim::Recording recording;
    std::string error;
    EXPECT_TRUE(sim::recording_parse(text, recording, error)) << error;
    sim::Replay replay = sim::replay_prepare(recording);
    constexpr std::int64_t START = 7000 * MS; // any moment: only differences count
    if (run.opened) {
        sim::replay_opened(replay, START);
    }
    std::size_t written = 0;
    using Write = std::pair<Bytes, std::int64_t>;
    for (const auto& [bytes, at_ms] : {Write{run.first, 1}, Write{run.second, run.second_ms}}) {
        if (bytes.empty()) {
            continue;
        }
        sim::replay_call(replay, "write", written, START + at_ms * MS);
        sim::replay_feed(replay, bytes, START + at_ms * MS);
        written += bytes.size();
        if (run.flushed && written == run.first.size()) {
            sim::replay_flushed(replay, written);
        }
    }
    const sim::ReplayedRun ran{"/dev/ttyUSB0", run.command, run.status,  START + run.exit_ms * MS,
                               std::nullopt,   run.output,  run.settings};
    return sim::replay_verdict(replay, recording, ran);
}

// One row per check of the verdict, each the first difference at its line, where the replay's
// tampered recordings (e2e_tap_test.cpp) cannot show it: another program path, other arguments, a
// foreign device, an extra flush, other output, other line settings and another status are
// theirs. The recording was made through a wrapper, as the tap over motor-sim makes them.
TEST(Replay, VerdictNamesTheFirstDifferenceAndItsLine)
{
    const std::string text =
        std::string(HEADER) +
        "device /dev/ttyUSB0\n"
        "command motor-sim --motor 0 -- /usr/bin/renumber /dev/ttyUSB0 0 1\n"
        "tx 1 FE EE\n"
        "rx 2 FD DD\n"
        "flush 999\n"
        "tx 1001 FB 01 10 BB\n"
        "out \"OK\\n\"\n"
        "line 4000000 baud, 8 data bits, no parity, 1 stop bit, no flow control, raw, NOFLSH clear "
        "(ch341: the driver clamps rates without saying so; the chip may run another)\n"
        "end 4001 exit 0\n";
    const auto with = [](auto change) {
        Played run;
        change(run);
        return run;
    };
    const VerdictCase cases[] = {
        {"matched", {}, std::nullopt, ""},
        {"the device never opened", with([](Played& r) {
             r.opened = false;
             r.first.clear();
             r.second.clear();
         }),
         2, "the command never opened /dev/ttyUSB0, where the recording has it write and read"},
        {"other byte", with([](Played& r) { r.second[2] = 0x20; }), 7,
         "the command sent 20 where the recording has 10 (byte 5 it sent)"},
        {"more bytes", with([](Played& r) { r.second.push_back(0xFB); }), 7,
         "the command sent more than the recording holds (from byte 7)"},
        {"fewer bytes", with([](Played& r) { r.second.clear(); }), 7,
         "the recording holds 4 more bytes the command did not send"},
        {"pause just short of the tolerance", with([](Played& r) { r.second_ms = 690; }), 7,
         "the recording has this write 1000.0 ms after the one before, the command made it "
         "689.0 ms after (300.0 ms either way allowed)"},
        {"pause a little shorter, within the tolerance", with([](Played& r) { r.second_ms = 712; }),
         std::nullopt, ""},
        {"pause just past the tolerance", with([](Played& r) { r.second_ms = 1310; }), 7,
         "the recording has this write 1000.0 ms after the one before, the command made it "
         "1309.0 ms after (300.0 ms either way allowed)"},
        {"answer wait cut short", with([](Played& r) { r.exit_ms = 2000; }), 10,
         "the recording has the command exit 3000.0 ms after its last write, it exited 1000.0 "
         "ms after (500.0 ms either way allowed)"},
        {"no flush", with([](Played& r) { r.flushed = false; }), 6,
         "the recording has an input flush here, after 1 writes; the command made none"},
        {"more output", with([](Played& r) { r.output = "OK\nmore"; }), 8,
         "the command printed 'more', where the recording has no more output"},
        {"no output", with([](Played& r) { r.output.clear(); }), 8,
         "the command printed nothing more, the recording has 'OK\\n'"},
        {"the first of several differences", with([](Played& r) {
             r.output = "[ERROR]\n";
             r.status = 255;
         }),
         8, "the command printed '[ERROR]\\n', the recording has 'OK\\n'"},
    };
    for (const VerdictCase& c : cases) {
        const sim::ReplayVerdict verdict = judge(text, c.run);
        EXPECT_TRUE(verdict.unchecked.empty()) << c.name;
        ASSERT_EQ(verdict.departure.has_value(), c.line.has_value())
            << c.name << ": " << (verdict.departure ? verdict.departure->what : "");
        if (verdict.departure) {
            EXPECT_EQ(verdict.departure->line, *c.line) << c.name;
            EXPECT_EQ(verdict.departure->what, c.what) << c.name;
        }
    }
}

// A recording of an earlier version cannot show everything: its verdict says what went
// unchecked, and judges the rest (version 2's is CheckedIn/ReplayRecording's version_2).
TEST(Replay, EarlierVersionsSayWhatTheyCouldNotCheck)
{
    const std::string body = "device /dev/ttyUSB0\n"
                             "command renumber /dev/ttyUSB0 0 1\n"
                             "tx 1 FE EE\n"
                             "tx 1001 FB 01 10 BB\n"
                             "line 4000000 baud, 8 data bits, no parity, 1 stop bit, no flow "
                             "control, raw, NOFLSH clear\n"
                             "exit 0\n";
    Played run;
    run.exit_ms = 1;
    const sim::ReplayVerdict first = judge("motor-sim recording 1\n" + body, run);
    EXPECT_FALSE(first.departure) << first.departure->what;
    EXPECT_EQ(first.unchecked.front(), "input flushes");
    run.second_ms = 500;
    EXPECT_EQ(judge("motor-sim recording 1\n" + body, run).departure->line, 5U);
}

} // namespace
