// Recordings as motor-sim reads them, and how a replay answers what the command sends.
#include "motor-sim/recording.hpp"
#include "motor-sim/replay.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::Bytes;

constexpr const char* HEADER = "motor-sim recording 1\n";

TEST(Recording, ReadsEveryRecordKind)
{
    const std::string text = std::string(HEADER) + "# a comment\n"
                                                   "\n"
                                                   "device /dev/ttyUSB1\r\n"
                                                   "command renumber /dev/ttyUSB1 0 1\n"
                                                   "note TIOCSSERIAL with low latency: ok\n"
                                                   "tx 5 FE EE\n"
                                                   "rx 5.1 FDDD 00\n"
                                                   "tx\t1005.25\tFB0110BB\n"
                                                   "line 4000000 baud\n"
                                                   "exit 254";
    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::recording_parse(text, recording, error)) << error;
    EXPECT_EQ(recording.device, "/dev/ttyUSB1");
    EXPECT_EQ(recording.command, "renumber /dev/ttyUSB1 0 1");
    EXPECT_EQ(recording.exit_status, 254);
    ASSERT_EQ(recording.chunks.size(), 3U);
    EXPECT_EQ(recording.chunks[0].us, 5000);
    EXPECT_EQ(recording.chunks[1].direction, sim::Direction::rx);
    EXPECT_EQ(recording.chunks[1].us, 5100);
    EXPECT_EQ(recording.chunks[1].bytes, (Bytes{0xFD, 0xDD, 0x00}));
    EXPECT_EQ(recording.chunks[2].us, 1005250);
    EXPECT_EQ(recording.chunks[2].bytes, (Bytes{0xFB, 0x01, 0x10, 0xBB}));
}

TEST(Recording, WrittenLinesReadBack)
{
    const sim::RecordedChunk chunk{sim::Direction::rx, 1010347, {0xFC, 0x01, 0x01, 0xBB}};
    const std::string line = sim::recording_chunk_line(chunk);
    EXPECT_EQ(line, "rx 1010.347 FC 01 01 BB");
    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::recording_parse(std::string(HEADER) + line + "\n", recording, error));
    ASSERT_EQ(recording.chunks.size(), 1U);
    EXPECT_EQ(recording.chunks[0].us, chunk.us);
    EXPECT_EQ(recording.chunks[0].bytes, chunk.bytes);
}

struct Malformed {
    const char* name;
    std::string text;
    std::string error;
};

TEST(Recording, MalformedFilesAreRefusedWithLineAndReason)
{
    const std::string h = HEADER;
    const Malformed cases[] = {
        {"empty file", "",
         "line 1: not a motor-sim recording: the first line must be 'motor-sim recording 1'"},
        {"trace instead", "tx t=4 kind=control\n",
         "line 1: not a motor-sim recording: the first line must be 'motor-sim recording 1'"},
        {"later version", "motor-sim recording 2\n",
         "line 1: version '2' is not supported: this motor-sim reads 'motor-sim recording 1'"},
        {"unknown record", h + "# ok\nrecv 1 FC\n",
         "line 3: unknown record 'recv' (expected tx, rx, device, command, note, line or exit)"},
        {"no time", h + "tx\n", "line 2: tx needs a time and bytes"},
        {"no bytes", h + "rx 12.5\n", "line 2: rx without bytes"},
        {"time with unit", h + "tx 12ms FB\n",
         "line 2: bad time '12ms': milliseconds since the command started, such as 12.345"},
        {"negative time", h + "tx -1 FB\n",
         "line 2: bad time '-1': milliseconds since the command started, such as 12.345"},
        {"four decimals", h + "tx 1.2345 FB\n",
         "line 2: bad time '1.2345': milliseconds since the command started, such as 12.345"},
        {"huge time", h + "tx 99999999999 FB\n",
         "line 2: bad time '99999999999': milliseconds since the command started, such as "
         "12.345"},
        {"time goes back", h + "tx 5 FB\nrx 4.999 FC\n",
         "line 3: time 4.999 is before the previous record's"},
        {"odd digit count", h + "tx 5 FB 0\n",
         "line 2: bad bytes '0': pairs of hexadecimal digits such as FE or FEEE"},
        {"not hex", h + "tx 5 FB 0G\n",
         "line 2: bad bytes '0G': pairs of hexadecimal digits such as FE or FEEE"},
        {"relative device", h + "device ttyUSB0\n",
         "line 2: device needs one absolute path such as /dev/ttyUSB0"},
        {"two devices", h + "device /dev/ttyUSB0\ndevice /dev/ttyUSB1\n",
         "line 3: a second device record"},
        {"bad status", h + "exit 256\n", "line 2: exit needs a status from 0 to 255"},
        {"status not a number", h + "exit ok\n", "line 2: exit needs a status from 0 to 255"},
        {"record after exit", h + "exit 0\ntx 1 FB\n", "line 3: a record after exit"},
        {"binary", h + std::string("tx 1 FB\0", 8) + "\n",
         "line 2: a NUL byte: this is not a text file"},
    };
    for (const Malformed& c : cases) {
        sim::Recording recording;
        std::string error;
        EXPECT_FALSE(sim::recording_parse(c.text, recording, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

sim::Replay replay_of(const std::string& body)
{
    sim::Recording recording;
    std::string error;
    EXPECT_TRUE(sim::recording_parse(HEADER + body, recording, error)) << error;
    return sim::replay_prepare(recording);
}

constexpr std::int64_t MS = 1'000'000;

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
    EXPECT_TRUE(sim::replay_take_due(replay, 200 * MS).empty());
    EXPECT_EQ(sim::replay_take_due(replay, 203 * MS), (std::vector<Bytes>{{0xFD}, {0xDD}}));
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
    EXPECT_EQ(sim::replay_take_due(replay, 53 * MS), (std::vector<Bytes>{{0xAA}}));
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
    EXPECT_EQ(sim::replay_take_due(more, MS), (std::vector<Bytes>{{0xFC}}));

    sim::Replay fewer = replay_of("tx 1 FB 01\ntx 2 FE\n");
    EXPECT_FALSE(sim::replay_feed(fewer, Bytes{0xFB, 0x01}, 0));
    EXPECT_EQ(sim::replay_unfinished(fewer), "the recording holds 1 more bytes the command did "
                                             "not send");
}

} // namespace
