// Fixture of the end-to-end suites: a scratch folder per test, and renumber under motor-sim.
#pragma once

#include "support/sim_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

/// The including test defines RENUMBER_BINARY and MOTOR_SIM_BINARY.
class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/renumber-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(scratch_); }

    /// libserialport's own trace is off unless env turns it on ("LIBSERIALPORT_DEBUG=1").
    SimRun simulate(const std::vector<std::string>& sim_options,
                    const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {"LIBSERIALPORT_DEBUG="})
    {
        std::vector<std::string> command{RENUMBER_BINARY};
        command.insert(command.end(), args.begin(), args.end());
        return run_under_sim(MOTOR_SIM_BINARY, sim_options, command, scratch_ / "trace", env);
    }

    std::filesystem::path scratch_;
};
