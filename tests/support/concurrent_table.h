// The tap's tables (e2e_tap_test.cpp) as they declare themselves until their rework: a Suite
// derived from ConcurrentTable<Suite, Row, Outcome> has
//   static constexpr char NAME[] and ALONE (false): what the tables declared when they ran their
//     rows inside the binary;
//   static std::vector<Row> rows(), instantiated with testing::ValuesIn(Suite::registered_rows());
//   static Outcome perform(const Row&, const std::filesystem::path& folder): the row's runs.
// Each row is a test, and so a ctest entry, of its own: its test performs the row's runs, in a
// scratch folder removed afterwards, when it first asks for their outcome.
#pragma once

#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <vector>

template <typename Suite, typename Row, typename Outcome>
class ConcurrentTable : public testing::TestWithParam<Row> {
public:
    static std::vector<Row> registered_rows()
    {
        static_assert(!Suite::ALONE, "ctest runs every row beside the others");
        return Suite::rows();
    }

protected:
    [[nodiscard]] const Outcome& outcome() const
    {
        if (!outcome_) {
            const std::filesystem::path folder = make_scratch();
            if (folder.empty()) {
                ADD_FAILURE() << Suite::NAME << ": no scratch folder could be made under /tmp";
                return outcome_.emplace();
            }
            outcome_ = Suite::perform(this->GetParam(), folder);
            std::filesystem::remove_all(folder);
        }
        return *outcome_;
    }

private:
    mutable std::optional<Outcome> outcome_;
};
