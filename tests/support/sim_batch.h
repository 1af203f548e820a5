// Many runs at once. A run under motor-sim mostly waits out the protocol's pauses, so a batch of
// independent runs takes about as long as its longest run instead of the sum of them all.
#pragma once

#include "support/sim_run.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

/// Calls work(0) ... work(count - 1) on at most width threads at once and returns when every call
/// has. Each call must touch only what belongs to its own index.
void run_concurrently(std::size_t count, std::size_t width,
                      const std::function<void(std::size_t)>& work);

/// One run under motor-sim: motor-sim's options, the command and its environment additions (see
/// run_process).
struct SimJob {
    std::vector<std::string> sim_options;
    std::vector<std::string> command;
    std::vector<std::string> env;
};

/// Enough for every table of the suites to start together; a bound all the same, so a batch of
/// hundreds of runs cannot swamp the machine with processes.
inline constexpr std::size_t SIM_BATCH_WIDTH = 32;

/// preferred, or less where RENUMBER_TEST_BATCH_WIDTH asks for fewer runs at once: a machine that
/// starts processes slowly (an emulator, a sanitizer) would otherwise stretch the protocol's waits.
std::size_t batch_width(std::size_t preferred);

/// Runs every job under motor_sim, at most width at a time, each tracing to its own file in
/// folder (which must exist), and returns the runs in the order of the jobs.
std::vector<SimRun> run_batch_under_sim(const std::string& motor_sim,
                                        const std::vector<SimJob>& jobs,
                                        const std::filesystem::path& folder,
                                        std::size_t width = batch_width(SIM_BATCH_WIDTH));
