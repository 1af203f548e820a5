// motor-sim's own view of the bus: how the bytes a command sends are split into frames, how a
// motor answers them, and what the line carries when several motors answer at once.
#include "collision.hpp"
#include "crc16.hpp"
#include "frames.hpp"
#include "motor.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::Bytes;
using sim::FrameKind;

Bytes hex(const std::string& text)
{
    Bytes bytes;
    EXPECT_TRUE(sim::hex_parse(text, bytes)) << text;
    return bytes;
}

// A control frame to motor 0 with status 0 and a good checksum, and the honest answer to it.
constexpr char CONTROL_0[] = "FEEE00"
                             "000000000000000000000000"
                             "6523";
constexpr char ANSWER_0[] = "FDDD00"
                            "0000000000000000000000"
                            "BB15";

std::string describe(const std::vector<sim::Frame>& frames)
{
    std::string text;
    for (const sim::Frame& frame : frames) {
        const char* kind = frame.kind == FrameKind::control         ? "control"
                           : frame.kind == FrameKind::short_command ? "short"
                                                                    : "unknown";
        text += std::string(text.empty() ? "" : " ") + kind + ":" + sim::hex_compact(frame.bytes);
    }
    return text;
}

struct SplitCase {
    std::vector<std::string> feeds; // the bytes as they arrive, in hexadecimal
    std::string frames;             // what the splitter reports, finish included
};

TEST(FrameSplitter, SplitsOnHeadersAlone)
{
    const std::string control = CONTROL_0;
    const SplitCase cases[] = {
        {{control}, "control:" + control},
        // A frame may arrive in pieces, a header split across two reads included.
        {{"FE", control.substr(2, 10), control.substr(12)}, "control:" + control},
        {{"FB01", "10BB"}, "short:FB0110BB"},
        {{control + "FB0110BB"}, "control:" + control + " short:FB0110BB"},
        // Unknown bytes in a row are one entry, reported when a frame starts after them.
        {{"0102", "03FB0110BB"}, "unknown:0102 unknown:03 short:FB0110BB"},
        {{"010203FB0110BB"}, "unknown:010203 short:FB0110BB"},
        // A lone FE is an unknown byte; the byte after it starts afresh.
        {{"FE01FB0110BB"}, "unknown:FE01 short:FB0110BB"},
        {{"FEFE", "EE" + control.substr(4)}, "unknown:FE control:" + control},
        // A unknown run waits while a frame may be starting behind it.
        {{"01FE", "02"}, "unknown:01FE02"},
        // A cut-short frame swallows the bytes after it; an unfinished one is unknown at the end.
        {{"FB01FB0110BB"}, "short:FB01FB01 unknown:10BB"},
        {{"FEEE0000"}, "unknown:FEEE0000"},
        {{"FB"}, "unknown:FB"},
        {{}, ""},
    };
    for (const SplitCase& c : cases) {
        sim::FrameSplitter splitter;
        std::vector<sim::Frame> frames;
        for (const std::string& feed : c.feeds) {
            sim::splitter_feed(splitter, hex(feed), frames);
        }
        sim::splitter_finish(splitter, frames);
        EXPECT_EQ(describe(frames), c.frames) << testing::PrintToString(c.feeds);
    }
}

TEST(ControlFrames, ChecksumAndAnswer)
{
    EXPECT_TRUE(sim::control_checksum_good(hex(CONTROL_0)));
    Bytes flipped = hex(CONTROL_0);
    flipped[16] ^= 0x01;
    EXPECT_FALSE(sim::control_checksum_good(flipped));
    flipped[16] ^= 0x01;
    flipped.pop_back();
    EXPECT_FALSE(sim::control_checksum_good(flipped));
    EXPECT_EQ(sim::hex_compact(sim::control_answer(0, 0)), ANSWER_0);
    // Identifier in the low four bits, status in bits 4-6.
    EXPECT_EQ(sim::hex_compact(sim::control_answer(3, 7)).substr(0, 6), "FDDD73");
}

TEST(Collisions, ZeroBitsWinOverTheIdleLine)
{
    EXPECT_EQ(sim::collide({}), Bytes{});
    EXPECT_EQ(sim::collide({hex("FC0101BB")}), hex("FC0101BB"));
    EXPECT_EQ(sim::collide({hex("FC0101BB"), hex("FC0102BB")}), hex("FC0100BB"));
    // A shorter answer counts as the idle line where it has ended.
    EXPECT_EQ(sim::collide({hex("FC01"), hex("FC0102BB")}), hex("FC0102BB"));
    EXPECT_EQ(sim::collide({hex("0F"), hex("F0"), hex("FF")}), hex("00"));
}

/// Default faults (none) with change applied.
template <typename Change> sim::MotorFaults with(Change change)
{
    sim::MotorFaults faults;
    change(faults);
    return faults;
}

sim::Motor motor(std::uint8_t id, sim::MotorFaults faults = {})
{
    return sim::Motor{id, id, std::move(faults)};
}

TEST(MotorAnswers, ControlFrames)
{
    const auto answer = sim::motor_on_control(motor(0), hex(CONTROL_0));
    ASSERT_TRUE(answer);
    EXPECT_EQ(sim::hex_compact(answer->bytes), ANSWER_0);
    EXPECT_EQ(answer->delay_ms, 0U);
    // Broadcast (status 7) reaches every motor; the answer carries the motor's own identifier.
    const auto broadcast =
        sim::motor_on_control(motor(4), hex("FEEE7F" + std::string(24, '0') + "6F9A"));
    ASSERT_TRUE(broadcast);
    EXPECT_EQ(broadcast->bytes, sim::control_answer(4, 7));
    EXPECT_FALSE(sim::motor_on_control(motor(1), hex(CONTROL_0)));
    Bytes bad = hex(CONTROL_0);
    bad[15] ^= 0xFF;
    EXPECT_FALSE(sim::motor_on_control(motor(0), bad));
    EXPECT_FALSE(
        sim::motor_on_control(motor(0, with([](auto& f) { f.silent = true; })), hex(CONTROL_0)));
    const auto late = sim::motor_on_control(motor(0, with([](auto& f) {
                                                      f.control_delay_ms = 600;
                                                      f.control_extra = {0xAA};
                                                  })),
                                            hex(CONTROL_0));
    ASSERT_TRUE(late);
    EXPECT_EQ(sim::hex_compact(late->bytes), std::string(ANSWER_0) + "AA");
    EXPECT_EQ(late->delay_ms, 600U);
}

struct ShortCase {
    const char* name;
    std::uint8_t id;
    sim::MotorFaults faults;
    std::string frame;
    std::string answer; // "" for none
    std::uint8_t id_after;
    std::uint32_t delay_ms = 0;
};

TEST(MotorAnswers, ChangeCommand)
{
    const ShortCase cases[] = {
        {"honest", 0, {}, "FB0110BB", "FC0101BB", 1},
        {"broadcast", 4, {}, "FB011FBB", "FC0101BB", 1},
        {"other motor", 2, {}, "FB0110BB", "", 2},
        {"other command", 0, {}, "FB0210BB", "", 0},
        {"other trailer", 0, {}, "FB0110BA", "", 0},
        {"silent", 0, with([](auto& f) { f.silent = true; }), "FB0110BB", "", 0},
        {"ignore-command", 0, with([](auto& f) { f.ignore_command = true; }), "FB0110BB", "", 0},
        {"reply-id", 0, with([](auto& f) { f.reply_id = 2; }), "FB0110BB", "FC0102BB", 2},
        {"truncate", 0, with([](auto& f) { f.truncate = 2; }), "FB0110BB", "FC01", 1},
        {"truncate longer than the answer", 0, with([](auto& f) { f.truncate = 9; }), "FB0110BB",
         "FC0101BB", 1},
        // reply, then truncate, then extra.
        {"reply truncate extra", 0, with([](auto& f) {
             f.truncate = 1;
             f.reply = Bytes{0x12, 0x34};
             f.extra = {0x56};
         }),
         "FB0110BB", "1256", 1},
        {"delay", 0, with([](auto& f) { f.delay_ms = 3200; }), "FB0110BB", "FC0101BB", 1, 3200},
    };
    for (const ShortCase& c : cases) {
        sim::Motor m = motor(c.id, c.faults);
        const auto answer = sim::motor_on_short(m, hex(c.frame));
        EXPECT_EQ(answer ? sim::hex_compact(answer->bytes) : "", c.answer) << c.name;
        EXPECT_EQ(answer ? answer->delay_ms : 0U, c.delay_ms) << c.name;
        EXPECT_EQ(m.id, c.id_after) << c.name;
        EXPECT_EQ(m.start_id, c.id) << c.name;
    }
}

} // namespace
