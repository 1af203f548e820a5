// Starting a program and reaping it, for the tests and the benchmarks, which both run the
// project's binaries as black boxes: posix_spawn with the standard streams redirected, the
// caller's descriptors served while the program runs, then wait4's status, time and usage.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <vector>

/// Where one of the program's standard streams goes: onto descriptor fd, else to path opened
/// with flags (mode 0644), else where this process's own goes.
struct Stream {
    int fd = -1;
    std::string path;
    int flags = 0;
};

/// A descriptor served while the program runs: ready gets poll's revents for it and returns
/// false to stop watching it.
struct Watch {
    int fd = -1;
    std::function<bool(short revents)> ready;
};

struct Command {
    std::vector<std::string> argv; // argv[0] is a path, or with search_path a name in PATH
    std::vector<std::string> env;  // the whole environment (see process_environment)
    bool search_path = false;
    std::array<Stream, 3> streams{};    // set up in order, so 2 may take 1's new descriptor
    std::vector<int> close_after_spawn; // this process's copies of the program's pipe ends
    std::vector<Watch> watches;
    bool until_exit = false; // stop serving when the program exits, not when no watch is left
    std::chrono::milliseconds limit{0}; // serving longer kills the program; 0: no limit
    std::function<void(pid_t)> spawned; // told the program's pid, if set, once it runs
};

struct Reaped {
    int status = -1; // exit status, or 128 + signal; -1 when it never ran
    bool timed_out = false;
    std::chrono::steady_clock::duration wall{}; // from just before posix_spawn to wait4's return
    rusage usage{};                             // wait4's: this one child's
    std::string error;                          // the call that failed, if any
};

/// Spawns command, serves its watches until none is left (or with until_exit until it exits),
/// kills it with SIGKILL at its limit, and reaps it.
Reaped process_run(const Command& command);

/// This process's environment with changes made: "NAME=value" sets NAME, "NAME=" removes it.
std::vector<std::string> process_environment(const std::vector<std::string>& changes);
