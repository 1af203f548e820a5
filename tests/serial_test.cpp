// The link's terminal adjustments on descriptors that need no adapter: a pseudo-terminal, a
// pipe, and a stand-in serial driver that answers the serial-settings requests.
#include "serial/drain.h"
#include "serial/serial.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <vector>

namespace {

// What the stand-in driver behind one descriptor answers, and the requests it saw.
struct FakeSerialDriver {
    int fd = -1;
    bool settings_readable = true;
    int write_back_result = 0;
    std::vector<unsigned long> requests{};
    int written_flags = -1;
} fake_driver;

// A transmitter behind one descriptor, for the drain's bound: each call of tcdrain takes the
// next of these steps.
enum class DrainStep {
    empties,                // the frame has left: 0
    stalls,                 // never empties: the wait ends only when a signal interrupts it
    stopped_past_the_bound, // as a Ctrl-Z held past the bound: the bound's signal and SIGCONT
};

struct FakeTransmitter {
    int fd = -1;
    std::vector<DrainStep> steps{};
    std::size_t calls = 0;
} fake_transmitter;

} // namespace

// The drain's calls resolve here; other descriptors go on to libc.
extern "C" int tcdrain(int fd)
{
    FakeTransmitter& fake = fake_transmitter;
    if (fd != fake.fd) {
        using DrainFunction = int (*)(int);
        static const auto real = reinterpret_cast<DrainFunction>(dlsym(RTLD_NEXT, "tcdrain"));
        return real(fd);
    }
    const DrainStep step = fake.steps.at(std::min(fake.calls, fake.steps.size() - 1));
    ++fake.calls;
    if (step == DrainStep::empties) {
        return 0;
    }
    pause(); // until the bound's timer fires
    if (step == DrainStep::stopped_past_the_bound) {
        raise(SIGCONT); // delivered with it, as when the process is continued
    }
    errno = EINTR;
    return -1;
}

// Calls from the serial module resolve to this definition; every descriptor but the stand-in's
// goes on to libc.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);

    FakeSerialDriver& fake = fake_driver;
    if (fd != fake.fd || (request != TIOCGSERIAL && request != TIOCSSERIAL)) {
        using IoctlFunction = int (*)(int, unsigned long, ...);
        static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, argument);
    }
    fake.requests.push_back(request);
    auto* settings = static_cast<serial_struct*>(argument);
    if (request == TIOCGSERIAL) {
        if (!fake.settings_readable) {
            errno = ENOTTY;
            return -1;
        }
        *settings = serial_struct{};
        settings->flags = ASYNC_SKIP_TEST; // a flag of the driver's own, to be kept
        return 0;
    }
    fake.written_flags = settings->flags;
    return fake.write_back_result;
}

namespace {

class Pipe : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(pipe(ends_), 0); }
    void TearDown() override
    {
        close(ends_[0]);
        close(ends_[1]);
        fake_driver = FakeSerialDriver{};
    }
    int ends_[2] = {-1, -1};
};

struct LowLatencyCase {
    bool settings_readable;
    int write_back_result;
    std::int32_t expected_result;
    std::vector<unsigned long> expected_requests;
};

using LowLatency = Pipe;

TEST_F(LowLatency, WritesBackOnlySettingsItRead)
{
    const LowLatencyCase cases[] = {
        {true, 0, 0, {TIOCGSERIAL, TIOCSSERIAL}},
        {true, -1, -1, {TIOCGSERIAL, TIOCSSERIAL}},
        {false, 0, -1, {TIOCGSERIAL}},
    };
    for (const LowLatencyCase& c : cases) {
        fake_driver = FakeSerialDriver{.fd = ends_[0],
                                       .settings_readable = c.settings_readable,
                                       .write_back_result = c.write_back_result};
        EXPECT_EQ(serial_set_low_latency(ends_[0]), c.expected_result);
        EXPECT_EQ(fake_driver.requests, c.expected_requests);
        if (c.settings_readable) {
            EXPECT_EQ(fake_driver.written_flags, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
        }
    }
}

using DisableNoflsh = Pipe;

TEST_F(DisableNoflsh, ReportsTcgetattrOnANonTerminal)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_disable_noflsh(ends_[0]), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tcgetattr: Inappropriate ioctl for device\n");
}

TEST(DisableNoflshOnTerminal, ClearsOnlyNoflsh)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);

    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_lflag |= NOFLSH | ECHO;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_disable_noflsh(slave), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag & ~static_cast<tcflag_t>(NOFLSH));

    close(slave);
    close(master);
}

struct DrainCase {
    const char* name;
    std::vector<DrainStep> steps;
    bool block_alarm; // the process runs with SIGALRM blocked, as a parent may leave it
    Drain result;
    std::size_t calls;
};

extern "C" void callers_own_handler(int /*signal*/) {}

// The bound holds whatever signal state it meets, puts back the caller's, calls tcdrain once per
// frame, and does not count a stop against the adapter.
TEST_F(Pipe, DrainIsBoundedOncePerFrameWhateverTheSignalState)
{
    const DrainCase cases[] = {
        {"empties", {DrainStep::empties}, false, Drain::done, 1},
        {"stalls", {DrainStep::stalls}, false, Drain::timed_out, 1},
        {"stalls with SIGALRM blocked", {DrainStep::stalls}, true, Drain::timed_out, 1},
        {"stopped past the bound, then empties",
         {DrainStep::stopped_past_the_bound, DrainStep::empties},
         false,
         Drain::done,
         2},
    };
    for (const DrainCase& c : cases) {
        fake_transmitter = FakeTransmitter{.fd = ends_[1], .steps = c.steps};
        struct sigaction own {};
        own.sa_handler = callers_own_handler;
        sigemptyset(&own.sa_mask);
        struct sigaction before {};
        sigaction(SIGALRM, &own, &before);
        sigset_t mask{};
        sigemptyset(&mask);
        sigaddset(&mask, SIGALRM);
        sigset_t mask_before{};
        sigprocmask(c.block_alarm ? SIG_BLOCK : SIG_UNBLOCK, &mask, &mask_before);
        const itimerval callers_timer{{0, 0}, {60, 0}};
        setitimer(ITIMER_REAL, &callers_timer, nullptr);

        EXPECT_EQ(drain_within_limit(ends_[1]), c.result) << c.name;
        EXPECT_EQ(fake_transmitter.calls, c.calls) << c.name;

        struct sigaction after {};
        sigaction(SIGALRM, &before, &after);
        EXPECT_EQ(after.sa_handler, &callers_own_handler) << c.name;
        sigset_t mask_after{};
        sigprocmask(SIG_SETMASK, &mask_before, &mask_after);
        EXPECT_EQ(sigismember(&mask_after, SIGALRM) == 1, c.block_alarm) << c.name;
        itimerval left{};
        const itimerval stopped{};
        setitimer(ITIMER_REAL, &stopped, &left);
        EXPECT_GT(left.it_value.tv_sec, 50) << c.name << ": the caller's own timer was lost";
    }
    fake_transmitter = FakeTransmitter{};
}

} // namespace
