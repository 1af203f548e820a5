// Runs a program to completion with captured output, for tests that treat binaries as black
// boxes.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal
    bool timed_out = false;
    std::chrono::milliseconds elapsed{0};
};

/// Runs argv[0] (a path) with argv, the current environment plus extra_env ("NAME=value";
/// "NAME=" removes NAME), standard input from /dev/null. Kills it after limit.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extra_env = {},
                          std::chrono::milliseconds limit = std::chrono::seconds(30));
