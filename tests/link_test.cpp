// The serial link's operations against a simulated adapter. This binary runs under motor-sim
// (see CMakeLists.txt): /dev/ttyUSB0 reaches one honest motor 0, and nobody answers motor 9.
#include "motor/motor.h"
#include "serial/serial.h"

#include <libserialport.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;
using Answer = std::array<std::uint8_t, CONTROL_ANSWER_SIZE>;

constexpr char DEVICE[] = "/dev/ttyUSB0";
constexpr int ANSWERING_MOTOR = 0;
constexpr int ABSENT_MOTOR = 9;

long long elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

class Link : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(serial_open(link_, DEVICE), 0);
        // The simulated line keeps its input across opens; start each test from a quiet bus.
        sp_flush(link_.port, SP_BUF_BOTH);
    }
    // Every test after the first opens the port the one before closed: the close releases it.
    void TearDown() override
    {
        EXPECT_EQ(serial_close(link_), 0);
        EXPECT_EQ(link_.port, nullptr);
    }
    [[nodiscard]] std::int32_t exchange(int motor, std::span<std::uint8_t> answer,
                                        std::uint16_t timeout_ms) const
    {
        const ControlFrame frame = motor_control_frame(motor, 0);
        return serial_exchange(link_.port, frame, answer, timeout_ms);
    }

    SerialLink link_{};
};

TEST_F(Link, ExchangeReturnsTheWholeAnswer)
{
    Answer answer{};
    const auto start = Clock::now();
    EXPECT_EQ(exchange(ANSWERING_MOTOR, answer, 500), 16);
    EXPECT_LT(elapsed_ms(start), 400); // returns once the capacity is filled
    EXPECT_EQ(answer[0], 0xFD);
    EXPECT_EQ(answer[1], 0xDD);
}

TEST_F(Link, SilentExchangeReturnsZeroAfterTheTimeout)
{
    Answer answer{};
    const auto start = Clock::now();
    EXPECT_EQ(exchange(ABSENT_MOTOR, answer, 300), 0);
    EXPECT_GE(elapsed_ms(start), 300);
    EXPECT_EQ(answer, Answer{});
}

TEST_F(Link, AnswerBeyondTheCapacityWaitsForTheNextExchange)
{
    Answer whole{};
    ASSERT_EQ(exchange(ANSWERING_MOTOR, whole, 500), 16);

    Answer split{};
    ASSERT_EQ(exchange(ANSWERING_MOTOR, std::span(split).first(4), 500), 4);
    // Nobody answers this frame: what it reads is the rest of the previous answer.
    EXPECT_EQ(exchange(ABSENT_MOTOR, std::span(split).subspan(4), 300), 12);
    EXPECT_EQ(split, whole);
}

TEST_F(Link, SendIsAnsweredOnTheNextRead)
{
    const ControlFrame frame = motor_control_frame(ANSWERING_MOTOR, 2);
    EXPECT_EQ(serial_send(link_.port, frame), 0);
    Answer answer{};
    EXPECT_EQ(exchange(ABSENT_MOTOR, answer, 500), 16);
    EXPECT_EQ(answer[2], 0x70); // the answer to the status-7 frame sent without reading
}

TEST(LinkNotOpen, SendGivesTheLibrarysCode)
{
    sp_port* port = nullptr;
    ASSERT_EQ(sp_get_port_by_name(DEVICE, &port), SP_OK);
    const ControlFrame frame = motor_control_frame(ANSWERING_MOTOR, 0);
    EXPECT_EQ(serial_send(port, frame), SP_ERR_ARG);
    sp_free_port(port);
}

// The port lookup reaches the layer through whichever lstat entry point this build calls:
// lstat, lstat64, or __lstat64_time64 on a 32-bit system built for 64-bit time.
TEST(SimulatedAdapter, SysfsEntryIsALinkIntoAUsbDevice)
{
    const char* entry = "/sys/class/tty/ttyUSB0";
    struct stat info {};
    ASSERT_EQ(lstat(entry, &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    std::array<char, 256> target{};
    const ssize_t length = readlink(entry, target.data(), target.size());
    ASSERT_GT(length, 0);
    EXPECT_EQ(info.st_size, length);
    const std::string_view link(target.data(), static_cast<std::size_t>(length));
    EXPECT_NE(link.find("/usb1/"), std::string_view::npos) << link;
    EXPECT_TRUE(link.ends_with("/tty/ttyUSB0")) << link;
}

} // namespace
