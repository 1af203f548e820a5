// The process around the procedure: started by a service or a cron job with standard streams
// closed, writing into a pipe whose reader has gone, or kept off the port by another program.
// Nothing but the three frames may reach the bus, and the exit status must tell the outcome.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

namespace {

constexpr std::array<const char*, 3> THREE_FRAMES{"FEEE000000000000000000000000006523",
                                                  "FEEE7000000000000000000000000044AF", "FB0110BB"};

// A shell runs script with "$@" standing for motor-sim running renumber /dev/ttyUSB0 0 1, tracing
// into folder. The shell stays outside the simulated adapter, whose layer a sanitized build
// cannot preload into it; motor-sim hands its standard descriptors on as it got them.
SimRun through_shell(const std::filesystem::path& folder, const std::string& sim_options,
                     const std::string& script, const std::string& debug)
{
    return run_under_sim(MOTOR_SIM_BINARY, words(sim_options),
                         {RENUMBER_BINARY, "/dev/ttyUSB0", "0", "1"}, folder / "trace",
                         {"LIBSERIALPORT_DEBUG=" + debug}, {"/bin/sh", "-c", script, "sh"});
}

using Process = EndToEnd;

struct StreamCase {
    const char* name;
    std::string script; // run by the shell: closes standard descriptors, or pipes them
    std::string debug;  // LIBSERIALPORT_DEBUG
    std::string sim_options;
    std::string out; // the shell's standard output
    int status;
    int final_id;
};

void PrintTo(const StreamCase& c, std::ostream* out)
{
    *out << c.name;
}

class StandardStreams : public RowsEndToEnd<StreamCase> {};

TEST_P(StandardStreams, NeverReachTheBus)
{
    const StreamCase& c = GetParam();
    const SimRun run = through_shell(scratch_, c.sim_options, c.script, c.debug);
    // Every byte on the wire is traced: a message or a trace line would show as more.
    EXPECT_EQ(run.sent_frames(),
              std::vector<std::string>(THREE_FRAMES.begin(), THREE_FRAMES.end()));
    EXPECT_EQ(run.process.out, c.out);
    EXPECT_EQ(run.process.status, c.status);
    EXPECT_EQ(run.motor_ids(), std::vector<int>{c.final_id});
}

// A motor that takes another identifier (reply-id=2) fails the run, which then prints on standard
// output and explains itself on standard error; the library's trace writes on standard error.
// Into a pipe whose reader (":") has gone, the success message is lost but not the status, which
// goes out by the shell's own standard output; motor-sim exits with renumber's status.
INSTANTIATE_TEST_SUITE_P(
    Process, StandardStreams,
    testing::ValuesIn(std::vector<StreamCase>{
        {"StdoutMismatch", R"(exec "$@" >&-)", "", "--motor 0:reply-id=2", "", 254, 2},
        {"StderrTracedMismatch", R"(exec "$@" 2>&-)", "1", "--motor 0:reply-id=2", mismatch(2), 254,
         2},
        {"AllThreeTracedChanged", R"(exec "$@" <&- >&- 2>&-)", "1", "--motor 0", "", 0, 1},
        {"PipeWithoutReader", R"(exec 3>&1; { "$@"; echo "status=$?" >&3; } | :)", "", "--motor 0",
         "status=0\n", 0, 1},
    }),
    row_name<StreamCase>);

TEST_F(Process, PortHeldByAnotherProgram)
{
    // e2e-helper lock opens the simulated device and holds an exclusive flock on it, as a program
    // on libserialport 0.1.2 does, then opens it with the library itself, or starts renumber, which
    // a motor taking another identifier fails. The explanation scans the machine's processes within
    // a time limit, so ctest runs this test alone (CMakeLists.txt).
    auto held = [this](std::vector<std::string> command) {
        command.insert(command.begin(), {HELPER_BINARY, "lock", "/dev/ttyUSB0"});
        return run_under_sim(MOTOR_SIM_BINARY, {"--motor", "0:reply-id=2"}, command,
                             scratch_ / "trace");
    };
    const SimRun probe = held({});
    ASSERT_TRUE(probe.process.status == 0 || probe.process.status == 1) << probe.process.err;
    const bool library_locks = probe.process.status == 1;

    // Refused, the open names the lock's holder; opened, the failed run names the holder after
    // its message, and how to stop it. Either way renumber never names itself.
    const SimRun run = held({RENUMBER_BINARY, "/dev/ttyUSB0", "0", "1"});
    const std::string holder = library_locks
                                   ? "the port is locked by another program: e2e-helper, pid "
                                   : "/dev/ttyUSB0 is open in pid ";
    EXPECT_NE(run.process.err.find(holder), std::string::npos) << run.process.err;
    EXPECT_EQ(run.process.err.find("renumber, pid"), std::string::npos) << run.process.err;
    if (library_locks) {
        EXPECT_EQ(run.process.status, 255);
        EXPECT_EQ(run.process.out, OPEN_FAILED);
        EXPECT_TRUE(run.sent_frames().empty());
    } else {
        EXPECT_EQ(run.process.status, 254);
        EXPECT_EQ(run.process.out, mismatch(2));
        EXPECT_NE(run.process.err.find(" (e2e-helper): "), std::string::npos) << run.process.err;
        EXPECT_NE(run.process.err.find("Fix: quit those programs first (or kill "),
                  std::string::npos);
        EXPECT_TRUE(
            run.process.err.ends_with("For the whole picture: renumber-doctor /dev/ttyUSB0\n"));
    }
}

} // namespace
