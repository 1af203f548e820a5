// motor-sim [OPTION]... [--] COMMAND [ARG]...: runs COMMAND against simulated
// KV-R2730-4 motors behind a simulated USB-to-RS-485 adapter.
#include "child.hpp"
#include "clock.hpp"
#include "options.hpp"
#include "pty.hpp"
#include "recording.hpp"
#include "replay.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "sysfs.hpp"
#include "tap.hpp"
#include "trace.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

// motor-sim's own failures, told apart from COMMAND's statuses as env(1) does.
constexpr int EXIT_OWN_FAILURE = 125;

int own_failure(const std::string &message)
{
    std::fprintf(stderr, "motor-sim: %s\n", message.c_str());
    return EXIT_OWN_FAILURE;
}

int errno_failure(const char *call)
{
    return own_failure(std::string(call) + ": " + std::strerror(errno));
}

// The motors on a real line until a signal or the line's end: a simulated motor that any
// program can open as a serial port.
int serve(sim::Options &options, std::string &error)
{
    sim::Trace trace;
    if (!sim::trace_open(trace, options, error))
        return own_failure(error);
    sim::Signals signals;
    if (!sim::signals_capture(signals, error))
        return own_failure(error);
    sim::Pty line;
    if (!sim::pty_serve(line, options.serve_path, error))
        return own_failure(error);
    sim::trace_serve_header(trace, options);
    sim::SessionSetup setup{options, trace, line, signals, -1, -1, -1, sim::monotonic_ns(),
                            nullptr, true};
    return sim::session_run(setup);
}

// --replay: the recording, refused unless whole, plays the motor side of the recorded device;
// the verdict judges what the command prints, so its standard output comes through motor-sim.
bool prepare_replay(sim::Options &options, sim::Trace &trace, sim::Recording &recording,
                    std::optional<sim::Replay> &replay, sim::CommandOutput &output,
                    std::string &error)
{
    if (!sim::recording_load(options.replay_file, recording, error))
        return false;
    if (!options.device_given)
        options.device = recording.device;
    replay = sim::replay_prepare(recording);
    trace.bus = "the motor side replayed " + options.replay_file;
    return sim::output_open(output, error);
}

// COMMAND against the simulated adapter, from its start to the verdict.
int simulate(sim::Options &options, sim::Trace &trace, sim::Pty &pty, const sim::Signals &signals,
             int events[2], const sim::Sysfs &sysfs, sim::Replay *replay,
             const sim::Recording &recording, sim::CommandOutput &output,
             const std::string &adapter_path)
{
    std::string error;
    std::vector<std::string> environment =
        sim::child_environment(adapter_path, options, pty.slave_path, sysfs.folder, events[1]);
    sim::trace_header(trace, options, pty.slave_path);
    std::int64_t start_ns = sim::monotonic_ns();
    pid_t child = -1;
    if (!sim::child_start(options.command, environment, signals, output.write_end, child, error))
        return own_failure(error);
    close(events[1]);
    sim::output_started(output);

    int pidfd = sim::child_pidfd(child, error);
    if (pidfd < 0)
        return own_failure(error);
    std::string started;
    for (const std::string &word : options.command)
        started += (started.empty() ? "" : " ") + word;
    sim::trace_note(trace, 0, "started: " + started);

    sim::SessionSetup setup{options,   trace, pty,        signals,
                            events[0], pidfd, child,      start_ns,
                            replay,    false, &recording, replay != nullptr ? &output : nullptr,
                            &sysfs};
    return sim::session_run(setup);
}

} // namespace

int main(int argc, char **argv)
{
    sim::Options options;
    std::string error;
    switch (sim::options_parse(argc, argv, options, error)) {
    case sim::ParseOutcome::help:
        std::fputs(sim::usage_text(), stdout);
        return 0;
    case sim::ParseOutcome::error:
        std::fprintf(stderr, "motor-sim: %s\nTry 'motor-sim --help' for more information.\n",
                     error.c_str());
        return EXIT_OWN_FAILURE;
    case sim::ParseOutcome::run:
        break;
    }
    if (!options.serve_path.empty() && !options.command.empty())
        return own_failure("--serve runs no command: the line's far end is the command");
    if (options.serve_path.empty() && options.command.empty()) {
        std::fputs("motor-sim: no command given\n", stderr);
        std::fputs(sim::usage_text(), stderr);
        return EXIT_OWN_FAILURE;
    }

    if (!options.serve_path.empty())
        return serve(options, error);

    std::string adapter_path;
    if (!sim::adapter_locate(adapter_path, error))
        return own_failure(error);
    sim::Trace trace;
    if (!sim::trace_open(trace, options, error))
        return own_failure(error);
    if (options.tap)
        return sim::tap_run(options, trace, adapter_path);
    sim::Recording recording;
    std::optional<sim::Replay> replay;
    sim::CommandOutput output;
    if (!options.replay_file.empty() &&
        !prepare_replay(options, trace, recording, replay, output, error))
        return own_failure(error);
    sim::Pty pty;
    if (!sim::pty_create(pty, error))
        return own_failure(error);
    int events[2];
    if (!sim::child_event_socket(events))
        return errno_failure("socketpair");
    sim::Signals signals;
    if (!sim::signals_capture(signals, error))
        return own_failure(error);
    sim::Sysfs sysfs;
    if (!sim::sysfs_create(options, sysfs, error))
        return own_failure(error);
    const int status = simulate(options, trace, pty, signals, events, sysfs,
                                replay ? &*replay : nullptr, recording, output, adapter_path);
    sim::sysfs_remove(sysfs);
    return status;
}
