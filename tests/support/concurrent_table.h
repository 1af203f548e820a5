// Tables of rows whose runs overlap inside one test binary: e2e_tap_test.cpp's, until its rework
// makes each of their rows a ctest entry as the other tables' are. The rows of every table in the
// binary start together before the first table's first row, and each row's test then judges its
// own outcome.
#pragma once

#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

/// At most this many rows of a table at once (fewer where RENUMBER_TEST_BATCH_WIDTH says).
inline constexpr std::size_t SIM_BATCH_WIDTH = 32;

/// Calls work(0) ... work(count - 1) on at most width threads at once and returns when every call
/// has. Each call must touch only what belongs to its own index.
inline void run_concurrently(std::size_t count, std::size_t width,
                             const std::function<void(std::size_t)>& work)
{
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    const std::size_t threads = std::min(count, std::max<std::size_t>(width, 1));
    workers.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < count; i = next++) {
                work(i);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

/// Where a table is in a round of the tests (one iteration of --gtest_repeat): not started, its
/// runs started, or its rows judged.
enum class TableState { idle, started, judged };

/// A table as the binary's other tables see it.
struct TableStart {
    void (*start)();
    TableState& (*state)();
};

inline std::vector<TableStart>& registered_tables()
{
    static std::vector<TableStart> tables;
    return tables;
}

/// Starts every table that has not started in this round.
inline void start_every_table()
{
    for (const TableStart& table : registered_tables()) {
        table.start();
    }
}

/// Once no started table is left to judge, the round is over: every table may start again.
inline void end_round_when_judged()
{
    for (const TableStart& table : registered_tables()) {
        if (table.state() == TableState::started) {
            return;
        }
    }
    for (const TableStart& table : registered_tables()) {
        table.state() = TableState::idle;
    }
}

/// The names of the rows of the test suite named fixture (or "<prefix>/<fixture>") that the
/// test filter selects. A row's test is named "<test>/<row>".
inline std::set<std::string> selected_rows(const std::string& fixture)
{
    std::set<std::string> rows;
    const testing::UnitTest* unit = testing::UnitTest::GetInstance();
    for (int s = 0; s < unit->total_test_suite_count(); ++s) {
        const testing::TestSuite* suite = unit->GetTestSuite(s);
        const std::string name = suite->name();
        if (name != fixture && !name.ends_with("/" + fixture)) {
            continue;
        }
        for (int i = 0; i < suite->total_test_count(); ++i) {
            const testing::TestInfo* info = suite->GetTestInfo(i);
            const std::string test = info->name();
            if (info->should_run()) {
                rows.insert(test.substr(test.find('/') + 1));
            }
        }
    }
    return rows;
}

/// Parameterised rows whose runs overlap with each other and with the other tables of the binary.
/// Suite derives from ConcurrentTable<Suite, Row, Outcome> and has
///   static constexpr char NAME[]: its fixture's name, as TEST_P names it;
///   static std::vector<Row> rows(): Row has a name, the row's test name; the suite is
///     instantiated with testing::ValuesIn(Suite::registered_rows());
///   static Outcome perform(const Row&, const std::filesystem::path& folder): the row's runs,
///     with a scratch folder of the row's own that is removed afterwards. It runs on a thread of
///     its own, so it records what happened and leaves every check to the row's test, which then
///     names the row that failed.
/// At most batch_width(SIM_BATCH_WIDTH) rows of a table run at once.
template <typename Suite, typename Row, typename Outcome>
class ConcurrentTable : public testing::TestWithParam<Row> {
public:
    static void SetUpTestSuite()
    {
        // No table runs alone any more: the layer stamps frames as they are written.
        static_assert(!Suite::ALONE);
        start_every_table();
    }

    static void TearDownTestSuite()
    {
        batch() = {};
        state() = TableState::judged;
        end_round_when_judged();
    }

    /// Suite::rows(), for INSTANTIATE_TEST_SUITE_P: gtest asks for every suite's rows before the
    /// first test runs, and the table joins the binary's tables then.
    static std::vector<Row> registered_rows()
    {
        static const bool joined = [] {
            registered_tables().push_back({&start, &state});
            return true;
        }();
        return joined ? Suite::rows() : std::vector<Row>{};
    }

protected:
    /// The outcome of this row's runs, once every selected row of the table has ended.
    [[nodiscard]] const Outcome& outcome() const
    {
        static const Outcome none{};
        const Outcomes& all = batch().get();
        const auto found = all.find(std::string(this->GetParam().name));
        if (found == all.end()) {
            ADD_FAILURE() << "the row never ran: no scratch folder could be made under /tmp";
            return none;
        }
        return found->second;
    }

private:
    using Outcomes = std::map<std::string, Outcome>;

    static void start()
    {
        if (state() != TableState::idle) {
            return;
        }
        const std::set<std::string> selected = selected_rows(Suite::NAME);
        std::vector<Row> rows;
        for (const Row& row : Suite::rows()) {
            if (selected.contains(row.name)) {
                rows.push_back(row);
            }
        }
        if (rows.empty()) {
            return;
        }
        state() = TableState::started;
        batch() = std::async(std::launch::async, run_rows, std::move(rows)).share();
    }

    static Outcomes run_rows(const std::vector<Row>& rows)
    {
        const std::filesystem::path scratch = make_scratch();
        if (scratch.empty()) {
            return {};
        }
        std::vector<Outcome> ended(rows.size());
        run_concurrently(rows.size(), batch_width(SIM_BATCH_WIDTH), [&](std::size_t i) {
            const std::filesystem::path folder = scratch / std::string(rows[i].name);
            std::filesystem::create_directory(folder);
            ended[i] = Suite::perform(rows[i], folder);
        });
        std::filesystem::remove_all(scratch);
        Outcomes by_name;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            by_name[std::string(rows[i].name)] = std::move(ended[i]);
        }
        return by_name;
    }

    static TableState& state()
    {
        static TableState where = TableState::idle;
        return where;
    }

    static std::shared_future<Outcomes>& batch()
    {
        static std::shared_future<Outcomes> outcomes;
        return outcomes;
    }
};
