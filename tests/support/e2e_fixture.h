// Fixtures of the end-to-end suites: renumber under motor-sim, and tables whose rows are tests of
// their own. ctest runs each row as an entry, side by side with the others, since a run mostly
// waits out the protocol's pauses.
#pragma once

#include "support/protocol_waits.h"
#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

/// The including test defines RENUMBER_BINARY and MOTOR_SIM_BINARY.

/// One run under motor-sim: motor-sim's options, the command and its environment additions (see
/// run_process).
struct SimJob {
    std::vector<std::string> sim_options;
    std::vector<std::string> command;
    std::vector<std::string> env;
};

/// renumber with args under motor-sim with sim_options. libserialport's own trace is off unless
/// env turns it on ("LIBSERIALPORT_DEBUG=1").
/// launcher, if any, starts renumber (it and its arguments come first on the command line).
inline SimJob renumber_job(const std::vector<std::string>& sim_options,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {"LIBSERIALPORT_DEBUG="},
                           const std::vector<std::string>& launcher = {})
{
    std::vector<std::string> command = launcher;
    command.emplace_back(RENUMBER_BINARY);
    command.insert(command.end(), args.begin(), args.end());
    return SimJob{sim_options, command, env};
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

    SimRun run_job(const SimJob& job, const std::string& trace = "trace")
    {
        return run_under_sim(MOTOR_SIM_BINARY, job.sim_options, job.command, scratch_ / trace,
                             job.env);
    }
    SimRun simulate(const std::vector<std::string>& sim_options,
                    const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {"LIBSERIALPORT_DEBUG="})
    {
        return run_job(renumber_job(sim_options, args, env));
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
    bool hangs_up = false;      // the trace must show the adapter vanishing
    void (*also)(const SimRun&) = nullptr; // checks of this row alone: frames, times
    std::string err{}; // standard error: the failed call and its reason, when the open fails
    std::vector<std::string> launcher{}; // a program that starts renumber, with its arguments
};

inline void PrintTo(const E2eRow& row, std::ostream* out)
{
    *out << row.name;
}

/// What every row must show: its message and status, standard error quiet but for a failed open's
/// reason, the motors as the table says, an end within the protocol's waits, and no success the
/// motors do not bear out.
inline void expect_row(const SimRun& run, const E2eRow& row)
{
    EXPECT_EQ(run.process.out, row.out);
    EXPECT_EQ(run.process.err, row.err);
    EXPECT_EQ(run.process.status, row.status);
    EXPECT_EQ(run.motor_ids(), row.final_ids);
    EXPECT_EQ(run.all("hangup").size(), row.hangs_up ? 1U : 0U);
    EXPECT_FALSE(run.process.timed_out);
    EXPECT_LT(run.process.elapsed, waits::EVERY_WAIT + waits::SLOW_MACHINE);
    // Status 0 comes only with the success message as the last word, and then a motor carries the
    // target.
    const std::string target = row.args.at(2);
    EXPECT_EQ(run.process.status == 0,
              run.process.out.ends_with("OK! Changed. Now the motor ID:" + target + "\n"));
    if (run.process.status == 0) {
        const std::vector<int> ids = run.motor_ids();
        EXPECT_NE(std::find(ids.begin(), ids.end(), std::stoi(target)), ids.end());
    }
    if (row.also != nullptr) {
        row.also(run);
    }
}

/// A table of E2eRow: each row one run of renumber under motor-sim. A table is a class derived
/// from it, with TEST_P(Table, EndsAsTheTableSays) { run_row(); } and its rows instantiated.
class E2eRows : public RowsEndToEnd<E2eRow> {
protected:
    void run_row()
    {
        const E2eRow& row = GetParam();
        expect_row(run_job(renumber_job(row.sim_options, row.args, {"LIBSERIALPORT_DEBUG="},
                                        row.launcher)),
                   row);
    }
};

// e2e_tap_test.cpp's tables still run their rows inside the binary.
#include "support/concurrent_table.h"
