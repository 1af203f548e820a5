// Starting and reaping a program: what the tests' run_process and the benchmarks rely on.
#include "support/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>

namespace {

struct Row {
    const char* name;
    std::vector<std::string> argv;
    bool search_path;
    bool until_exit;
    int limit_ms;
    int status;
    bool timed_out;
    std::optional<std::string> output; // what the watch read from stdout and stderr
    int at_least_ms;                   // the wall time, from the spawn to the reaping
};

std::vector<Row> rows()
{
    return {
        // stdin from a file, stdout into the watched pipe and stderr after it, in that order
        {"Redirected", {"sh", "-c", "cat; echo e >&2"}, true, false, 0, 0, false, "input\ne\n", 0},
        {"KilledBySignal", {"/bin/sh", "-c", "kill -9 $$"}, false, false, 0, 137, false, "", 0},
        {"KilledAtTheLimit", {"/bin/sleep", "5"}, false, false, 200, 137, true, "", 200},
        // A grandchild keeps the pipe open: serving must end at the program's own exit.
        {"ServedUntilExit", {"sh", "-c", "sleep 5 & exit"}, true, true, 4000, 0, false, {}, 0},
    };
}

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

class Spawned : public testing::TestWithParam<Row> {};

TEST_P(Spawned, IsServedAndReaped)
{
    const Row& row = GetParam();
    char input[] = "/tmp/renumber-process-XXXXXX";
    const int input_fd = mkstemp(input);
    ASSERT_GE(input_fd, 0);
    ASSERT_EQ(write(input_fd, "input\n", 6), 6);
    close(input_fd);
    std::array<int, 2> pipe_ends{};
    ASSERT_EQ(pipe2(pipe_ends.data(), O_CLOEXEC), 0);

    Command command;
    command.argv = row.argv;
    command.env = process_environment({});
    command.search_path = row.search_path;
    command.streams = {{{-1, input, O_RDONLY}, {pipe_ends[1], "", 0}, {STDOUT_FILENO, "", 0}}};
    command.close_after_spawn = {pipe_ends[1]};
    std::string output;
    command.watches = {{pipe_ends[0], [&](short) {
                            std::array<char, 256> chunk{};
                            const ssize_t got = read(pipe_ends[0], chunk.data(), chunk.size());
                            output.append(chunk.data(),
                                          static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
                            return got > 0;
                        }}};
    command.until_exit = row.until_exit;
    command.limit = std::chrono::milliseconds(row.limit_ms);
    const Reaped reaped = process_run(command);
    close(pipe_ends[0]);
    unlink(input);

    EXPECT_EQ(reaped.status, row.status) << reaped.error;
    EXPECT_EQ(reaped.timed_out, row.timed_out);
    EXPECT_TRUE(reaped.error.empty()) << reaped.error;
    if (row.output) {
        EXPECT_EQ(output, *row.output);
    }
    EXPECT_GE(reaped.wall, std::chrono::milliseconds(row.at_least_ms));
    EXPECT_GT(reaped.usage.ru_maxrss, 0); // wait4 filled in the child's usage
}

INSTANTIATE_TEST_SUITE_P(Rows, Spawned, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& row) { return row.param.name; });

TEST(SpawnEnvironment, SetsAndRemovesWholeNamesOnly)
{
    setenv("PROCESS_TEST", "old", 1);
    setenv("PROCESS_TEST_LONGER", "kept", 1);
    setenv("PROCESS_TEST_GONE", "old", 1);
    const std::vector<std::string> env =
        process_environment({"PROCESS_TEST=new", "PROCESS_TEST_GONE="});
    const auto count = [&](const std::string& entry) {
        return std::count(env.begin(), env.end(), entry);
    };
    EXPECT_EQ(count("PROCESS_TEST=new"), 1);
    EXPECT_EQ(count("PROCESS_TEST=old"), 0);
    EXPECT_EQ(count("PROCESS_TEST_LONGER=kept"), 1);
    EXPECT_EQ(count("PROCESS_TEST_GONE=old"), 0);
}

} // namespace
