// The real renumber binary run under motor-sim, and what the trace says happened on the bus.
#pragma once

#include "support/run_process.h"

#include <filesystem>
#include <istream>
#include <map>
#include <string>
#include <vector>

struct TraceRecord {
    std::string kind;
    std::map<std::string, std::string> fields;
};

struct SimRun {
    ProcessResult process;
    std::vector<TraceRecord> trace;

    [[nodiscard]] std::vector<TraceRecord> all(const std::string& kind) const;
    /// Bytes of every frame the command sent, in hexadecimal, in order.
    [[nodiscard]] std::vector<std::string> sent_frames() const;
    [[nodiscard]] std::vector<long> sent_times() const;
    /// "yes" or "no" as the trace's low-latency record says, "" without one.
    [[nodiscard]] std::string low_latency() const;
    /// Identifier of each simulated motor at the end of the run, in --motor order.
    [[nodiscard]] std::vector<int> motor_ids() const;
};

/// Records of a `--trace lines` trace: the first word is the kind, then key=value fields.
std::vector<TraceRecord> parse_trace(std::istream& in);

/// A fresh folder under /tmp, or an empty path if none could be made.
std::filesystem::path make_scratch();
/// The whole of a text file; "" if it cannot be read.
std::string read_text(const std::filesystem::path& path);

/// Runs motor-sim with sim_options and the command, tracing to trace_file. extra_env goes to
/// motor-sim and so to the command (see run_process); libserialport's own trace is off unless it
/// turns it on ("LIBSERIALPORT_DEBUG=1"). launcher, if any, starts motor-sim (it and its
/// arguments come first on the command line).
SimRun run_under_sim(const std::string& motor_sim, const std::vector<std::string>& sim_options,
                     const std::vector<std::string>& command,
                     const std::filesystem::path& trace_file,
                     const std::vector<std::string>& extra_env = {"LIBSERIALPORT_DEBUG="},
                     const std::vector<std::string>& launcher = {});
