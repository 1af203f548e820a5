// Fixtures of the end-to-end suites: renumber under motor-sim, one run at a time or a whole table
// of runs at once.
#pragma once

#include "support/protocol_waits.h"
#include "support/sim_batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

/// The including test defines RENUMBER_BINARY and MOTOR_SIM_BINARY.

/// A fresh folder under /tmp, or an empty path if none could be made.
inline std::filesystem::path make_scratch()
{
    char pattern[] = "/tmp/renumber-e2e-XXXXXX";
    return mkdtemp(pattern) != nullptr ? std::filesystem::path(pattern) : std::filesystem::path();
}

/// renumber with args under motor-sim with sim_options. libserialport's own trace is off unless
/// env turns it on ("LIBSERIALPORT_DEBUG=1").
inline SimJob renumber_job(const std::vector<std::string>& sim_options,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {"LIBSERIALPORT_DEBUG="})
{
    std::vector<std::string> command{RENUMBER_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    return SimJob{sim_options, command, env};
}

/// A scratch folder per test, and runs of renumber under motor-sim.
class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = make_scratch();
        ASSERT_FALSE(scratch_.empty());
    }
    void TearDown() override { std::filesystem::remove_all(scratch_); }

    SimRun simulate(const std::vector<std::string>& sim_options,
                    const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {"LIBSERIALPORT_DEBUG="})
    {
        return simulate_all({renumber_job(sim_options, args, env)}).front();
    }

    /// Every job at once; the runs come back in the order of the jobs.
    std::vector<SimRun> simulate_all(const std::vector<SimJob>& jobs)
    {
        return run_batch_under_sim(MOTOR_SIM_BINARY, jobs, scratch_);
    }

    std::filesystem::path scratch_;
};

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
};

inline void PrintTo(const E2eRow& row, std::ostream* out)
{
    *out << row.name;
}

inline std::string row_name(const testing::TestParamInfo<E2eRow>& info)
{
    return info.param.name;
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

/// Parameterised rows whose runs overlap: before the suite's first row, every row of
/// Suite::rows() that the test filter selects is run at once; each row's test then judges its
/// own run. Suite derives from ConcurrentRows<Suite> and has `static std::vector<E2eRow> rows()`.
template <typename Suite> class ConcurrentRows : public testing::TestWithParam<E2eRow> {
public:
    static void SetUpTestSuite()
    {
        scratch() = make_scratch();
        ASSERT_FALSE(scratch().empty());
        // A row's test is named "<test>/<row>".
        std::set<std::string> selected;
        const testing::TestSuite* suite = testing::UnitTest::GetInstance()->current_test_suite();
        for (int i = 0; i < suite->total_test_count(); ++i) {
            const testing::TestInfo* info = suite->GetTestInfo(i);
            const std::string name = info->name();
            if (info->should_run()) {
                selected.insert(name.substr(name.find('/') + 1));
            }
        }
        std::vector<std::string> names;
        std::vector<SimJob> jobs;
        for (const E2eRow& row : Suite::rows()) {
            if (selected.contains(row.name)) {
                names.push_back(row.name);
                jobs.push_back(renumber_job(row.sim_options, row.args));
            }
        }
        std::vector<SimRun> finished = run_batch_under_sim(MOTOR_SIM_BINARY, jobs, scratch());
        for (std::size_t i = 0; i < names.size(); ++i) {
            runs()[names[i]] = std::move(finished[i]);
        }
    }

    static void TearDownTestSuite()
    {
        std::filesystem::remove_all(scratch());
        runs().clear();
    }

protected:
    [[nodiscard]] const SimRun& run() const { return runs().at(GetParam().name); }

private:
    static std::filesystem::path& scratch()
    {
        static std::filesystem::path folder;
        return folder;
    }
    static std::map<std::string, SimRun>& runs()
    {
        static std::map<std::string, SimRun> by_name;
        return by_name;
    }
};
