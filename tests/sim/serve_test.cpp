// motor-sim --serve: the motors on a line of the test's own (a pseudo-terminal whose slave
// motor-sim serves), answering what is written on the master, until a signal or the line's end
// stops the run with the motors' identifiers in the trace.
#include "support/process.h"
#include "support/protocol_waits.h"
#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Known answers: the control frame for motor 0 in mode 0, and the change of motor 0 to 1.
constexpr std::array<unsigned char, 17> CONTROL_TO_0{0xFE, 0xEE, 0x00, 0, 0, 0, 0,    0,   0,
                                                     0,    0,    0,    0, 0, 0, 0x65, 0x23};
constexpr std::array<unsigned char, 4> CHANGE_0_TO_1{0xFB, 0x01, 0x10, 0xBB};
constexpr std::array<unsigned char, 4> CHANGED_TO_1{0xFC, 0x01, 0x01, 0xBB};
constexpr std::size_t CONTROL_ANSWER_SIZE = 16;
// A run's limit: far above what any of these steps takes; a limit only, never a pace.
constexpr auto LIMIT = waits::RUN_LIMIT;

// Polls for what motor-sim writes once it serves the line; there is no event to wait on.
bool appears(const std::filesystem::path& path, const std::string& text)
{
    const auto deadline = std::chrono::steady_clock::now() + LIMIT;
    while (std::chrono::steady_clock::now() < deadline) {
        if (read_text(path).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::vector<unsigned char> read_exactly(int fd, std::size_t count)
{
    std::vector<unsigned char> bytes;
    const auto deadline = std::chrono::steady_clock::now() + LIMIT;
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            continue;
        }
        std::array<unsigned char, 64> chunk{};
        const ssize_t got = read(fd, chunk.data(), std::min(chunk.size(), count - bytes.size()));
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    return bytes;
}

enum class End { signal, hang_up };

class Serve : public testing::TestWithParam<End> {};

TEST_P(Serve, AnswersOnTheLineAndReportsTheMotorsAtTheEnd)
{
    const std::filesystem::path scratch = make_scratch();
    ASSERT_FALSE(scratch.empty());
    const std::filesystem::path trace = scratch / "trace";
    // Close-on-exec: a master motor-sim inherited would keep its line from ever hanging up.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string line = ptsname(master);

    // motor-sim serves, limited to a run's time, while this thread plays the line's far end.
    Command command;
    command.argv = {MOTOR_SIM_BINARY, "--serve", line,           "--motor",     "0",
                    "--trace",        "lines",   "--trace-file", trace.string()};
    command.env = process_environment({});
    command.until_exit = true;
    command.limit = LIMIT;
    std::atomic<pid_t> server{-1};
    command.spawned = [&server](pid_t pid) { server = pid; };
    Reaped reaped;
    std::thread serving([&] { reaped = process_run(command); });

    if (appears(trace, "serve device=" + line)) {
        EXPECT_EQ(write(master, CONTROL_TO_0.data(), CONTROL_TO_0.size()),
                  static_cast<ssize_t>(CONTROL_TO_0.size()));
        EXPECT_EQ(read_exactly(master, CONTROL_ANSWER_SIZE).size(), CONTROL_ANSWER_SIZE);
        EXPECT_EQ(write(master, CHANGE_0_TO_1.data(), CHANGE_0_TO_1.size()),
                  static_cast<ssize_t>(CHANGE_0_TO_1.size()));
        EXPECT_EQ(read_exactly(master, CHANGED_TO_1.size()),
                  std::vector<unsigned char>(CHANGED_TO_1.begin(), CHANGED_TO_1.end()));
    } else {
        ADD_FAILURE() << "motor-sim did not serve " << line;
    }
    if (GetParam() == End::signal && server > 0) { // never kill(-1, ...): every process of ours
        kill(server, SIGTERM);
    }
    close(master); // the line's end: the served slave hangs up
    serving.join();
    EXPECT_FALSE(reaped.timed_out) << "motor-sim still serving after the line's end";
    EXPECT_EQ(reaped.status, 0) << reaped.error;
    EXPECT_NE(read_text(trace).find("motor index=0 start=0 end=1\n"), std::string::npos)
        << read_text(trace);
    std::filesystem::remove_all(scratch);
}

INSTANTIATE_TEST_SUITE_P(Ends, Serve, testing::Values(End::signal, End::hang_up),
                         [](const testing::TestParamInfo<End>& end) {
                             return end.param == End::signal ? std::string("Signal")
                                                             : std::string("HangUp");
                         });

} // namespace
