// Fixtures of the end-to-end suites: renumber under motor-sim in a scratch folder, and tables whose
// rows are tests of their own. ctest runs each row as an entry, side by side with the others,
// since a run mostly waits out the protocol's pauses.
#pragma once

#include "support/protocol_waits.h"
#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <limits>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

/// The including test defines RENUMBER_BINARY and MOTOR_SIM_BINARY.

/// Operator texts, the tests' own copies.
inline constexpr char WRITE_ERROR[] = "[Error] Error occurred during serial port write.\n";
inline constexpr char MULTIPLE[] =
    "[ERROR] Error message, don't connect multiple motors at the 485 cable.\n";
inline constexpr char OPEN_FAILED[] =
    "[Error] Failed to open serial port, try opening with administrator privileges.\n";

inline std::string changed(int target)
{
    return "OK! Changed. Now the motor ID:" + std::to_string(target) + "\n";
}

inline std::string mismatch(int reported)
{
    return "[Error] The ID:" + std::to_string(reported) + " of the feedback does not match.\n";
}

inline std::string timeout(int id, int target)
{
    return "[ERROR] Modify id " + std::to_string(id) + " to " + std::to_string(target) +
           " failure, No motor be found(timeout).\n";
}

// What standard error says of an adapter that vanished, before the command went out or after.
inline std::string gone_before_command(int id)
{
    return "/dev/ttyUSB0: hung up (the adapter was unplugged or reset) before the change command "
           "went out; motor " +
           std::to_string(id) + " kept its identifier\n";
}

inline std::string gone_after_command(int id, int target)
{
    const std::string new_id = std::to_string(target);
    return "/dev/ttyUSB0: hung up (the adapter was unplugged or reset) while renumber waited for "
           "the answer; motor " +
           std::to_string(id) + " may already have taken identifier " + new_id +
           ", so check that first: renumber /dev/ttyUSB0 " + new_id + " " + new_id +
           " answers only if it has\n";
}

inline std::string times(int count, const std::string& line)
{
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += line;
    }
    return lines;
}

/// A wait as motor-sim's options spell it.
inline std::string ms(std::chrono::milliseconds wait)
{
    return std::to_string(wait.count());
}

/// The words of a command line as typed, split at spaces.
inline std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

/// A scratch folder per test, and runs of renumber under motor-sim in it.
template <typename Base> class InScratch : public Base {
protected:
    void SetUp() override
    {
        scratch_ = make_scratch();
        ASSERT_FALSE(scratch_.empty());
    }
    void TearDown() override { std::filesystem::remove_all(scratch_); }

    /// renumber with args under motor-sim with sim_options, tracing into the folder's file trace.
    /// launcher, if any, starts renumber (it and its arguments come first on the command line).
    SimRun simulate(const std::vector<std::string>& sim_options,
                    const std::vector<std::string>& args, const std::string& trace = "trace",
                    const std::vector<std::string>& launcher = {})
    {
        std::vector<std::string> command = launcher;
        command.emplace_back(RENUMBER_BINARY);
        command.insert(command.end(), args.begin(), args.end());
        return run_under_sim(MOTOR_SIM_BINARY, sim_options, command, scratch_ / trace);
    }

    std::filesystem::path scratch_;
};

using EndToEnd = InScratch<testing::Test>;
/// A table whose rows of Row are tests of their own.
template <typename Row> using RowsEndToEnd = InScratch<testing::TestWithParam<Row>>;

/// Names a table's row test after the row (Row has a name).
template <typename Row> std::string row_name(const testing::TestParamInfo<Row>& info)
{
    return std::string(info.param.name);
}

/// One run of a table and how it must end.
struct E2eRow {
    std::string name;                     // the row's test name
    std::vector<std::string> sim_options; // motor-sim's options, --motor included
    std::vector<std::string> args;        // renumber's arguments
    std::string out;
    int status = 0;
    std::vector<int> final_ids; // the simulated motors' identifiers at the end, in --motor order
    void (*also)(const SimRun&) = nullptr; // checks of this row alone: frames, times
    std::string err{}; // standard error: why the open failed, or what a hang-up meant
    std::vector<std::string> launcher{}; // a program that starts renumber, with its arguments
};

/// A row with motor-sim's options and renumber's arguments as typed.
inline E2eRow e2e_row(std::string name, const std::string& sim_options, const std::string& args,
                      std::string out, int status, std::vector<int> final_ids,
                      void (*also)(const SimRun&) = nullptr, std::string err = "")
{
    return {std::move(name), words(sim_options),   words(args), std::move(out),
            status,          std::move(final_ids), also,        std::move(err)};
}

inline void PrintTo(const E2eRow& row, std::ostream* out)
{
    *out << row.name;
}

/// A table of E2eRow: each row one run of renumber under motor-sim. A table is a class derived
/// from it, with TEST_P(Table, EndsAsTheTableSays) { run_row(); } and its rows instantiated.
class E2eRows : public RowsEndToEnd<E2eRow> {
protected:
    /// What every row must show: its message and status, standard error as the row says, the
    /// motors as the table says, an end within the protocol's waits, and no success the motors do
    /// not bear out.
    void run_row()
    {
        const E2eRow& row = GetParam();
        const SimRun run = simulate(row.sim_options, row.args, "trace", row.launcher);
        EXPECT_EQ(run.process.out, row.out);
        EXPECT_EQ(run.process.err, row.err);
        EXPECT_EQ(run.process.status, row.status);
        EXPECT_EQ(run.motor_ids(), row.final_ids);
        // A row that unplugs the adapter must see it vanish, or it tests nothing.
        const bool unplugs =
            std::any_of(row.sim_options.begin(), row.sim_options.end(),
                        [](const std::string& o) { return o.starts_with("--hangup"); });
        EXPECT_EQ(run.all("hangup").size(), unplugs ? 1U : 0U);
        EXPECT_FALSE(run.process.timed_out);
        EXPECT_LT(run.process.elapsed, waits::EVERY_WAIT + waits::SLOW_MACHINE);
        // Status 0 comes only with the success message as the last word, and then a motor carries
        // the target.
        const int target = std::stoi(row.args.at(2));
        EXPECT_EQ(run.process.status == 0, run.process.out.ends_with(changed(target)));
        if (run.process.status == 0) {
            const std::vector<int> ids = run.motor_ids();
            EXPECT_NE(std::find(ids.begin(), ids.end(), target), ids.end());
        }
        if (row.also != nullptr) {
            row.also(run);
        }
    }
};

/// When renumber closed the device, as motor-sim saw it (ms from the start): the verdict is out by
/// then.
inline std::chrono::milliseconds closed_at(const SimRun& run)
{
    const std::vector<TraceRecord> closes = run.all("close");
    return std::chrono::milliseconds(closes.empty() ? std::numeric_limits<long>::max()
                                                    : std::stol(closes.back().fields.at("t")));
}

/// A transmitter that never empties: each frame's one drain is cut short by the bound, never
/// retried, and the run is not held much past its answer wait.
inline void drain_bounded(const SimRun& run)
{
    EXPECT_EQ(run.all("drain").size(), 3U);
    EXPECT_LT(closed_at(run), waits::COMMAND_PAUSE + waits::ANSWER_WAIT + 3 * waits::CONTROL_WAIT);
}
